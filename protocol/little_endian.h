// Both wire formats put every number on the wire least significant byte
// first; these read and write one 32-bit value at a time.
#pragma once

#include <stdint.h>

#include <vector>

inline uint32_t LoadU32(const uint8_t *at) {
    uint32_t value = 0;
    for (int i = 0; i < 4; ++i) value |= static_cast<uint32_t>(at[i]) << (8 * i);
    return value;
}

inline void StoreU32(uint8_t *at, uint32_t value) {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}

inline void AppendU32(std::vector<uint8_t> *bytes, uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes->push_back(static_cast<uint8_t>(value >> (8 * i)));
}
