#include "firmware/ScrambleKey.h"

ChunkScrambleKey BuildScrambleKey(std::uint32_t seed) {
    ChunkScrambleKey key{};
    std::uint32_t value = seed;
    for (std::size_t i = 0; i < key.size(); ++i) {
        key[i] = static_cast<std::uint8_t>(value & 0xFF);
        value /= 2;
        if (value == 0) {
            value = seed;
        }
    }
    return key;
}

void DescrambleChunk(const std::uint8_t* in, std::uint8_t* out, std::size_t n, const ChunkScrambleKey& key) {
    for (std::size_t i = 0; i < n; ++i) {
        out[i] = static_cast<std::uint8_t>(in[i] ^ key[i % kScrambleKeySize]);
    }
}
