#include "camera/controllers/Sha1.h"

#include <cstring>

namespace {

constexpr std::size_t kBlockSize = 64;

constexpr std::uint32_t rotateLeft(std::uint32_t value, int bits) { return (value << bits) | (value >> (32 - bits)); }

// One 64-byte block into the running state.
void compress(std::array<std::uint32_t, 5>& state, const std::uint8_t* block) {
    std::uint32_t w[80];
    for (int i = 0; i < 16; ++i) {
        w[i] = static_cast<std::uint32_t>(block[4 * i]) << 24 | static_cast<std::uint32_t>(block[4 * i + 1]) << 16 |
               static_cast<std::uint32_t>(block[4 * i + 2]) << 8 | static_cast<std::uint32_t>(block[4 * i + 3]);
    }
    for (int i = 16; i < 80; ++i) w[i] = rotateLeft(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);

    std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3], e = state[4];
    for (int i = 0; i < 80; ++i) {
        std::uint32_t f = 0;
        std::uint32_t k = 0;
        if (i < 20) {
            f = (b & c) | (~b & d);
            k = 0x5A827999;
        } else if (i < 40) {
            f = b ^ c ^ d;
            k = 0x6ED9EBA1;
        } else if (i < 60) {
            f = (b & c) | (b & d) | (c & d);
            k = 0x8F1BBCDC;
        } else {
            f = b ^ c ^ d;
            k = 0xCA62C1D6;
        }
        const std::uint32_t next = rotateLeft(a, 5) + f + e + k + w[i];
        e = d;
        d = c;
        c = rotateLeft(b, 30);
        b = a;
        a = next;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
}

}  // namespace

Sha1Digest sha1(const std::uint8_t* data, std::size_t length) {
    std::array<std::uint32_t, 5> state{0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0};

    std::size_t whole = length - length % kBlockSize;
    for (std::size_t at = 0; at < whole; at += kBlockSize) compress(state, data + at);

    // The tail, the 0x80 marker, zeros, and the message length in bits as a
    // big-endian 64-bit number: one block, or two when the tail leaves no
    // room for the length.
    std::uint8_t tail[2 * kBlockSize] = {};
    const std::size_t rest = length - whole;
    if (rest != 0) std::memcpy(tail, data + whole, rest);
    tail[rest] = 0x80;
    const std::size_t tailSize = rest + 1 + 8 <= kBlockSize ? kBlockSize : 2 * kBlockSize;
    const std::uint64_t bits = static_cast<std::uint64_t>(length) * 8;
    for (int i = 0; i < 8; ++i) tail[tailSize - 1 - i] = static_cast<std::uint8_t>(bits >> (8 * i));
    for (std::size_t at = 0; at < tailSize; at += kBlockSize) compress(state, tail + at);

    Sha1Digest digest{};
    for (int i = 0; i < 5; ++i) {
        digest[4 * i] = static_cast<std::uint8_t>(state[i] >> 24);
        digest[4 * i + 1] = static_cast<std::uint8_t>(state[i] >> 16);
        digest[4 * i + 2] = static_cast<std::uint8_t>(state[i] >> 8);
        digest[4 * i + 3] = static_cast<std::uint8_t>(state[i]);
    }
    return digest;
}
