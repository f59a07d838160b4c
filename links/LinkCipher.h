#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

// Blowfish in 64-bit cipher-feedback mode, as used on the payload of every
// TCP link part. Every part is enciphered on its own from an all-zero vector,
// so a part never depends on the parts before it and the same part text
// always gives the same cipher text. Peers must build the same key from the
// same seed.
class LinkCipher {
public:
    static constexpr int32_t kKeySeed = 0x31D7A6B5;
    static constexpr size_t kKeyLength = 1024;
    static constexpr size_t kBlockSize = 8;

    // The link key: byte i is the low byte of a running value that starts
    // at the seed and is halved (toward zero) after each byte, falling back
    // to the seed when it reaches 0.
    static std::array<uint8_t, kKeyLength> linkKey(int32_t seed = kKeySeed);

    // A cipher keyed with the link key.
    LinkCipher();
    // A cipher keyed with arbitrary bytes (Blowfish uses at most 72).
    LinkCipher(const uint8_t* key, size_t length);
    ~LinkCipher();

    LinkCipher(const LinkCipher&) = delete;
    LinkCipher& operator=(const LinkCipher&) = delete;

    // One part, from an all-zero vector. `in` and `out` may be the same.
    void encipher(const void* in, void* out, size_t length) const;
    void decipher(const void* in, void* out, size_t length) const;

    // The general form, from the given 8-byte vector (left unchanged).
    void cfb64(const void* in, void* out, size_t length, const uint8_t* vector, bool encrypt) const;

private:
    // Enciphers the whole blocks that fit in `length` from the vector,
    // leaves in `vector` the vector for what follows, and returns the bytes
    // done.
    size_t encipherBlocks(const void* in, void* out, size_t length, uint8_t* vector) const;
    // Deciphers the whole groups of blocks that fit in `length` from the
    // vector, leaves in `vector` the vector for what follows, and returns the
    // bytes done (a multiple of the block size).
    size_t decipherBlocks(const void* in, void* out, size_t length, uint8_t* vector) const;

    struct Schedule;
    std::unique_ptr<Schedule> m_schedule;  // read-only once built, shared by all threads
};
