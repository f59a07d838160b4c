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

void LinkCipher::cfb64(const void* in, void* out, size_t length, const uint8_t* vector, bool encrypt) const {
    unsigned char iv[kBlockSize];
    std::memcpy(iv, vector, kBlockSize);
    int position = 0;
    auto* src = static_cast<const unsigned char*>(in);
    auto* dst = static_cast<unsigned char*>(out);
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
