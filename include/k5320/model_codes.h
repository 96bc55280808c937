// The model code the host sends in a firmware information frame, by module type; the module's
// resident loader refuses an image announced for another model.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <optional>

namespace k5320::model {

inline constexpr size_t kCodeSize = 3;
using Code = std::array<uint8_t, kCodeSize>;

struct ModelCode {
    const char* type;  // the module type name, matched whole
    Code code;
};

inline constexpr ModelCode kModelCodes[] = {
    {"5320", {0x93, 0x4E, 0xB6}},
    {"5323", {0x94, 0x5B, 0xB5}},
    {"5324", {0x93, 0x66, 0xB5}},
    {"5325", {0x9A, 0x47, 0xA9}},
};

// The code for a zero-terminated type name; none for a type outside the table.
inline std::optional<Code> code_for(const char* type) {
    for (const ModelCode& m : kModelCodes)
        if (std::strcmp(type, m.type) == 0) return m.code;
    return std::nullopt;
}

}  // namespace k5320::model
