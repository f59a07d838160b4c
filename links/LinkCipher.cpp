#include "links/LinkCipher.h"

#include <cstring>
#include <limits>

// The low-level Blowfish calls are deprecated in OpenSSL 3 in favour of the
// EVP interface; the links need exactly these primitives (a raw key schedule
// and CFB64 with our own vector and position), so keep them.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/blowfish.h>

struct LinkCipher::Schedule {
    BF_KEY key;
};

std::array<uint8_t, LinkCipher::kKeyLength> LinkCipher::linkKey(int32_t seed) {
    std::array<uint8_t, kKeyLength> key{};
    int32_t running = seed;
    for (auto& byte : key) {
        byte = static_cast<uint8_t>(running & 0xFF);
        running /= 2;  // rounds toward zero, also for a negative seed
        if (running == 0) running = seed;
    }
    return key;
}

LinkCipher::LinkCipher() : m_schedule(std::make_unique<Schedule>()) {
    auto key = linkKey();
    BF_set_key(&m_schedule->key, static_cast<int>(key.size()), key.data());
}

LinkCipher::LinkCipher(const uint8_t* key, size_t length) : m_schedule(std::make_unique<Schedule>()) {
    BF_set_key(&m_schedule->key, static_cast<int>(length), key);
}

LinkCipher::~LinkCipher() = default;

namespace {

// Blowfish's block function on several blocks at once, from the schedule
// OpenSSL built. It computes exactly what BF_encrypt does for each block; the
// point of doing several together is that each block's 16 rounds are one
// long chain of dependent table look-ups, so interleaving independent
// blocks keeps the processor busy while each look-up is under way.
constexpr int kLanes = 8;

inline uint32_t roundF(const BF_LONG* s, uint32_t x) {
    return ((s[x >> 24] + s[0x100 + ((x >> 16) & 0xFF)]) ^ s[0x200 + ((x >> 8) & 0xFF)]) + s[0x300 + (x & 0xFF)];
}

// Each lane holds a block as two big-endian halves (left, right), the order
// BF_cfb64_encrypt reads the vector in; the result replaces it.
template <int Lanes>
inline void encryptLanes(const BF_KEY& key, uint32_t (&l)[Lanes], uint32_t (&r)[Lanes]) {
    const BF_LONG* p = key.P;
    const BF_LONG* s = key.S;
    for (int i = 0; i < Lanes; ++i) l[i] ^= p[0];
    for (int round = 1; round <= BF_ROUNDS; round += 2) {
        for (int i = 0; i < Lanes; ++i) r[i] ^= p[round] ^ roundF(s, l[i]);
        for (int i = 0; i < Lanes; ++i) l[i] ^= p[round + 1] ^ roundF(s, r[i]);
    }
    for (int i = 0; i < Lanes; ++i) {
        const uint32_t left = r[i] ^ p[BF_ROUNDS + 1];
        r[i] = l[i];
        l[i] = left;
    }
}

inline uint32_t loadBig(const unsigned char* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

inline void storeBig(unsigned char* p, uint32_t v) {
    p[0] = static_cast<unsigned char>(v >> 24);
    p[1] = static_cast<unsigned char>(v >> 16);
    p[2] = static_cast<unsigned char>(v >> 8);
    p[3] = static_cast<unsigned char>(v);
}

}  // namespace

// Enciphering: every block's key stream is E(the cipher text just made), so
// blocks go one after the other; done here rather than in OpenSSL's CFB
// loop so that a block is combined as two words, not byte by byte.
size_t LinkCipher::encipherBlocks(const void* in, void* out, size_t length, uint8_t* vector) const {
    auto* src = static_cast<const unsigned char*>(in);
    auto* dst = static_cast<unsigned char*>(out);
    const BF_KEY& key = m_schedule->key;
    uint32_t l[1] = {loadBig(vector)}, r[1] = {loadBig(vector + 4)};
    size_t done = 0;
    for (; length - done >= kBlockSize; done += kBlockSize) {
        encryptLanes<1>(key, l, r);
        l[0] ^= loadBig(src + done);
        r[0] ^= loadBig(src + done + 4);
        storeBig(dst + done, l[0]);
        storeBig(dst + done + 4, r[0]);
    }
    storeBig(vector, l[0]);
    storeBig(vector + 4, r[0]);
    return done;
}

// Deciphering: the key stream of every block is E(the cipher text block
// before it), and all cipher text is at hand, so whole groups of blocks are
// deciphered together. The cipher text of a group is read before any of its
// plain text is written, so `in` and `out` may be the same.
size_t LinkCipher::decipherBlocks(const void* in, void* out, size_t length, uint8_t* vector) const {
    auto* src = static_cast<const unsigned char*>(in);
    auto* dst = static_cast<unsigned char*>(out);
    const BF_KEY& key = m_schedule->key;
    uint32_t previousLeft = loadBig(vector), previousRight = loadBig(vector + 4);
    size_t done = 0;
    constexpr size_t kGroup = kLanes * kBlockSize;
    for (; length - done >= kGroup; done += kGroup) {
        uint32_t cipherLeft[kLanes], cipherRight[kLanes], l[kLanes], r[kLanes];
        for (int i = 0; i < kLanes; ++i) {
            cipherLeft[i] = loadBig(src + done + i * kBlockSize);
            cipherRight[i] = loadBig(src + done + i * kBlockSize + 4);
        }
        l[0] = previousLeft;
        r[0] = previousRight;
        for (int i = 1; i < kLanes; ++i) {
            l[i] = cipherLeft[i - 1];
            r[i] = cipherRight[i - 1];
        }
        encryptLanes<kLanes>(key, l, r);
        for (int i = 0; i < kLanes; ++i) {
            storeBig(dst + done + i * kBlockSize, cipherLeft[i] ^ l[i]);
            storeBig(dst + done + i * kBlockSize + 4, cipherRight[i] ^ r[i]);
        }
        previousLeft = cipherLeft[kLanes - 1];
        previousRight = cipherRight[kLanes - 1];
    }
    storeBig(vector, previousLeft);
    storeBig(vector + 4, previousRight);
    return done;
}

void LinkCipher::cfb64(const void* in, void* out, size_t length, const uint8_t* vector, bool encrypt) const {
    unsigned char iv[kBlockSize];
    std::memcpy(iv, vector, kBlockSize);
    int position = 0;
    auto* src = static_cast<const unsigned char*>(in);
    auto* dst = static_cast<unsigned char*>(out);
    // Whole blocks (deciphering: whole groups of blocks) here; the rest one
    // byte at a time below, from the vector they left.
    const size_t done = encrypt ? encipherBlocks(src, dst, length, iv) : decipherBlocks(src, dst, length, iv);
    src += done;
    dst += done;
    length -= done;
    // BF_cfb64_encrypt takes a long length; feed very long inputs in pieces
    // (the vector and position carry over, so the result is the same).
    constexpr size_t kChunk = static_cast<size_t>(std::numeric_limits<int>::max()) & ~size_t{7};
    while (length > 0) {
        size_t n = length < kChunk ? length : kChunk;
        BF_cfb64_encrypt(src, dst, static_cast<long>(n), &m_schedule->key, iv, &position,
                         encrypt ? BF_ENCRYPT : BF_DECRYPT);
        src += n;
        dst += n;
        length -= n;
    }
}

void LinkCipher::encipher(const void* in, void* out, size_t length) const {
    static constexpr uint8_t kZero[kBlockSize] = {};
    cfb64(in, out, length, kZero, true);
}

void LinkCipher::decipher(const void* in, void* out, size_t length) const {
    static constexpr uint8_t kZero[kBlockSize] = {};
    cfb64(in, out, length, kZero, false);
}
