#include "driver/dpram/dpram_io.h"

#include <cassert>

#include "driver/sdk/tarn_sdk.h"
#include "k5320/dpram_map.h"

namespace k5320::driver::dpram_io {
namespace {

void select_page(uint8_t slot, uint32_t address) {
    assert(address < dpram::kSize);
    _trn_slot_outp(slot, dpram::kPortPageRegister, dpram::page_of(address));
}

void put(uint8_t slot, uint32_t address, uint8_t value) {
    _trn_slot_outp(slot, dpram::window_port_of(address), value);
}

uint8_t get(uint8_t slot, uint32_t address) {
    return static_cast<uint8_t>(_trn_slot_inp(slot, dpram::window_port_of(address)) & 0xFF);
}

bool on_page_boundary(uint32_t address) {
    return (address & dpram::kPageOffsetMask) == 0;
}

template <typename T>
void write_le(uint8_t slot, uint32_t address, T value) {
    select_page(slot, address);
    for (unsigned i = 0; i < sizeof(T); ++i, ++address) {
        if (i > 0 && on_page_boundary(address)) select_page(slot, address);
        put(slot, address, static_cast<uint8_t>(value >> (8 * i)));
    }
}

template <typename T>
T read_le(uint8_t slot, uint32_t address) {
    T value = 0;
    select_page(slot, address);
    for (unsigned i = 0; i < sizeof(T); ++i, ++address) {
        if (i > 0 && on_page_boundary(address)) select_page(slot, address);
        value = static_cast<T>(value | (static_cast<T>(get(slot, address)) << (8 * i)));
    }
    return value;
}

}  // namespace

void write_byte(uint8_t slot, uint32_t address, uint8_t value) {
    select_page(slot, address);
    put(slot, address, value);
}

uint8_t read_byte(uint8_t slot, uint32_t address) {
    select_page(slot, address);
    return get(slot, address);
}

void write_word(uint8_t slot, uint32_t address, uint16_t value) {
    write_le<uint16_t>(slot, address, value);
}
uint16_t read_word(uint8_t slot, uint32_t address) {
    return read_le<uint16_t>(slot, address);
}
void write_dword(uint8_t slot, uint32_t address, uint32_t value) {
    write_le<uint32_t>(slot, address, value);
}
uint32_t read_dword(uint8_t slot, uint32_t address) {
    return read_le<uint32_t>(slot, address);
}

void write_block(uint8_t slot, uint32_t address, const uint8_t* data, uint32_t length) {
    for (uint32_t i = 0; i < length; ++i) write_byte(slot, address + i, data[i]);
}

void read_block(uint8_t slot, uint32_t address, uint8_t* buffer, uint32_t length) {
    for (uint32_t i = 0; i < length; ++i) buffer[i] = read_byte(slot, address + i);
}

void fill(uint8_t slot, uint32_t address, uint8_t value, uint32_t count) {
    for (uint32_t i = 0; i < count; ++i) write_byte(slot, address + i, value);
}

void ring_doorbell(uint8_t slot, uint8_t command) {
    write_byte(slot, dpram::kCommandByte, command);
}

uint8_t read_answer(uint8_t slot) {
    return read_byte(slot, dpram::kAnswerByte);
}

}  // namespace k5320::driver::dpram_io
