// Little-endian field access inside byte records. Records put 32-bit fields at any offset, so
// they are read and written with memcpy (the ABI is x86: little-endian).
#pragma once

#include <cstdint>
#include <cstring>

namespace kov::message {

inline std::uint32_t readU32(const void* record, std::uint32_t offset) {
    std::uint32_t value;
    std::memcpy(&value, static_cast<const std::uint8_t*>(record) + offset, 4);
    return value;
}

inline void writeU32(void* record, std::uint32_t offset, std::uint32_t value) {
    std::memcpy(static_cast<std::uint8_t*>(record) + offset, &value, 4);
}

inline void writeU16(void* record, std::uint32_t offset, std::uint16_t value) {
    std::memcpy(static_cast<std::uint8_t*>(record) + offset, &value, 2);
}

// PayloadHead: length, then version 1.0.
inline void writePayloadHead(void* record, std::uint32_t length) {
    writeU32(record, 0, length);
    writeU16(record, 4, 1);
    writeU16(record, 6, 0);
}

} // namespace kov::message
