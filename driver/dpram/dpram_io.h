// Port-level access to a module's dual-port RAM through the backplane SDK: the page register
// selects a 1 KB page, the data window moves one byte of it. The caller holds the slot lock;
// nothing here checks or locks.
#pragma once

#include <cstdint>

namespace k5320::driver::dpram_io {

void write_byte(uint8_t slot, uint32_t address, uint8_t value);
uint8_t read_byte(uint8_t slot, uint32_t address);

// Little-endian. The page register is written for the first byte and again only when a later
// byte crosses into the next page.
void write_word(uint8_t slot, uint32_t address, uint16_t value);
uint16_t read_word(uint8_t slot, uint32_t address);
void write_dword(uint8_t slot, uint32_t address, uint32_t value);
uint32_t read_dword(uint8_t slot, uint32_t address);

// Byte by byte in address order, the page register written before every byte.
void write_block(uint8_t slot, uint32_t address, const uint8_t* data, uint32_t length);
void read_block(uint8_t slot, uint32_t address, uint8_t* buffer, uint32_t length);
void fill(uint8_t slot, uint32_t address, uint8_t value, uint32_t count);

// Writes the command byte, which interrupts the firmware.
void ring_doorbell(uint8_t slot, uint8_t command);
// Reads the answer byte, which acknowledges the module's interrupt.
uint8_t read_answer(uint8_t slot);

}  // namespace k5320::driver::dpram_io
