#pragma once

#include <cstddef>
#include <cstdint>

// Chunk headers and FX3 boot images store their numbers little-endian,
// whatever the host's order.

inline std::uint32_t ReadLittleEndian32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

inline void WriteLittleEndian32(std::uint8_t* p, std::uint32_t value) {
    for (std::size_t i = 0; i < 4; ++i) {
        p[i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}
