#pragma once
// A minimal hand encoder of the protocol-buffer wire form, so that the
// expectations of the schema tests do not come from the library under test.

#include <cstdint>
#include <string>

namespace wiretest {

inline std::string varint(uint64_t v) {
    std::string out;
    while (v >= 0x80) {
        out.push_back(static_cast<char>((v & 0x7F) | 0x80));
        v >>= 7;
    }
    out.push_back(static_cast<char>(v));
    return out;
}

// Wire types: 0 varint, 1 fixed 64 bits, 2 length-delimited, 5 fixed 32 bits.
inline std::string tag(uint32_t field, uint32_t wire) { return varint((uint64_t{field} << 3) | wire); }

}  // namespace wiretest
