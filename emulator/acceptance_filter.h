// The SJA1000 acceptance filter: which received frames the chip keeps, decided from the four
// acceptance code (ACR) and mask (AMR) bytes exactly as the chip compares them.
#pragma once

#include <array>
#include <cstdint>

namespace k5320::emulator::sja1000 {

inline constexpr uint8_t kAcceptanceRegisters = 4;

struct FilterRegisters {
    std::array<uint8_t, kAcceptanceRegisters> acr{};
    // A mask bit 1 makes the bit a don't care.
    std::array<uint8_t, kAcceptanceRegisters> amr{};
};

// The registers for a 32-bit code and mask whose most significant byte goes to ACR0/AMR0, the
// order the configuration block keeps them in.
FilterRegisters filter_from_code_and_mask(uint32_t code, uint32_t mask);

// A received frame as the filter sees it. data is read only for the data bytes that the frame
// has (none for a remote frame, DLC of them up to 8 otherwise); a null data pointer means the
// frame has none.
struct FilterFrame {
    uint32_t id = 0;  // 11 or 29 bits; higher bits are not part of a frame and are ignored
    bool extended = false;
    bool remote = false;
    uint8_t dlc = 0;
    const uint8_t* data = nullptr;
};

// Single filter (MOD.AFM = 1): one long filter over the identifier, RTR and, for standard frames,
// the first two data bytes. A compared data byte that the frame does not have passes.
bool accepts(const FilterRegisters& acr_amr, uint32_t id, bool extended, bool remote, uint8_t dlc,
             const uint8_t* data);
bool accepts_single(const FilterRegisters& acr_amr, const FilterFrame& frame);

// Dual filter (MOD.AFM = 0): the frame passes when either of two short filters matches.
// Standard frames: filter 1 compares ID10..0, RTR and data byte 1 (ACR0, ACR1 and the low
// nibbles of ACR1 and ACR3); filter 2 compares ID10..0 and RTR (ACR2, ACR3 bits 7..4).
// Extended frames: filter 1 compares ID28..13 (ACR0, ACR1), filter 2 the same bits (ACR2, ACR3).
bool accepts_dual(const FilterRegisters& acr_amr, const FilterFrame& frame);

}  // namespace k5320::emulator::sja1000
