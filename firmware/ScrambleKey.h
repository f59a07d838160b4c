#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

// The firmware chunk files and the legacy calibration files are both
// XOR-scrambled with the same 128-byte key. The key is not stored anywhere:
// it is rebuilt from one seed, so every writer and reader must agree on it.
// Changing the seed makes every existing file unreadable.
inline constexpr std::uint32_t kScrambleSeed = 0x5A17C0DE;

inline constexpr std::size_t kScrambleKeySize = 128;

using ChunkScrambleKey = std::array<std::uint8_t, kScrambleKeySize>;

// Key byte i is the low byte of the seed halved i times; once halving reaches
// zero the value starts again from the seed. A seed whose highest set bit is
// bit k therefore gives a key that repeats every k + 1 bytes.
ChunkScrambleKey BuildScrambleKey(std::uint32_t seed = kScrambleSeed);

// out[i] = key[i mod 128] XOR in[i] for n bytes. XOR is its own inverse, so
// the same call scrambles and descrambles; in and out may be the same buffer.
void DescrambleChunk(const std::uint8_t* in, std::uint8_t* out, std::size_t n, const ChunkScrambleKey& key);
