// The payload cipher: published Blowfish vectors, the link key, and the
// property the links rely on (each part enciphered alone from a zero vector).
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

// The one-block form the group deciphering must agree with.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/blowfish.h>

#include "links/LinkCipher.h"
#include "tests/links/LinkTestSupport.h"

namespace {

using namespace linktest;
using Bytes = std::vector<uint8_t>;

Bytes hex(const char* text) {
    Bytes out;
    for (size_t i = 0; text[i] && text[i + 1]; i += 2) {
        out.push_back(static_cast<uint8_t>(std::stoi(std::string(text + i, 2), nullptr, 16)));
    }
    return out;
}

// In CFB the first block of cipher text is E(vector) xor plain text, so an
// all-zero block with the vector set to P gives the block cipher's E(P).
Bytes encryptBlock(const Bytes& key, const Bytes& plain) {
    LinkCipher cipher(key.data(), key.size());
    Bytes zero(8, 0), out(8);
    cipher.cfb64(zero.data(), out.data(), 8, plain.data(), true);
    return out;
}

TEST(LinkCipherVectors, PublishedBlowfishBlockVectors) {
    EXPECT_EQ(encryptBlock(hex("0000000000000000"), hex("0000000000000000")), hex("4EF997456198DD78"));
    EXPECT_EQ(encryptBlock(hex("FFFFFFFFFFFFFFFF"), hex("FFFFFFFFFFFFFFFF")), hex("51866FD5B85ECB8A"));
    EXPECT_EQ(encryptBlock(hex("3000000000000000"), hex("1000000000000001")), hex("7D856F9A613063F2"));
}

TEST(LinkCipherVectors, PublishedCfb64Vector) {
    const Bytes key = hex("0123456789ABCDEFF0E1D2C3B4A59687");
    const Bytes iv = hex("FEDCBA9876543210");
    const char text[] = "7654321 Now is the time for ";  // with its terminating zero: 29 bytes
    const Bytes expected = hex("E73214A2822139CAF26ECF6D2EB9E76E3DA3DE04D1517200519D57A6C3");
    LinkCipher cipher(key.data(), key.size());
    Bytes out(sizeof(text));
    cipher.cfb64(text, out.data(), sizeof(text), iv.data(), true);
    EXPECT_EQ(out, expected);

    Bytes back(sizeof(text));
    cipher.cfb64(out.data(), back.data(), out.size(), iv.data(), false);
    EXPECT_EQ(std::memcmp(back.data(), text, sizeof(text)), 0);

    // The vector is the caller's and stays unchanged.
    EXPECT_EQ(iv, hex("FEDCBA9876543210"));
}

TEST(LinkKey, HalvesTheSeedAndStartsOver) {
    auto key = LinkCipher::linkKey();
    // 0x31D7A6B5, 0x18EBD35A, 0x0C75E9AD, 0x063AF4D6 ...
    EXPECT_EQ(key[0], 0xB5);
    EXPECT_EQ(key[1], 0x5A);
    EXPECT_EQ(key[2], 0xAD);
    EXPECT_EQ(key[3], 0xD6);
    // 0x31D7A6B5 >> 29 is 1, the last value before 0: byte 30 is the seed again.
    EXPECT_EQ(key[29], 0x01);
    EXPECT_EQ(key[30], 0xB5);
    EXPECT_EQ(key[31], 0x5A);

    // A negative seed is halved toward zero: -3, -1, then the seed.
    auto negative = LinkCipher::linkKey(-3);
    EXPECT_EQ(negative[0], 0xFD);
    EXPECT_EQ(negative[1], 0xFF);
    EXPECT_EQ(negative[2], 0xFD);
}

TEST(LinkCipherParts, EachPartStartsFromAZeroVector) {
    LinkCipher cipher;
    const std::string part = "the same part text, long enough to span several blocks";
    std::string a(part.size(), '\0'), b(part.size(), '\0');
    cipher.encipher(part.data(), a.data(), part.size());
    cipher.encipher(part.data(), b.data(), part.size());
    EXPECT_EQ(a, b);
    EXPECT_NE(a, part);
    // A prefix enciphers to a prefix: nothing carries over between calls.
    std::string prefix(10, '\0');
    cipher.encipher(part.data(), prefix.data(), 10);
    EXPECT_EQ(prefix, a.substr(0, 10));
    // In place works and deciphers back.
    std::string inPlace = part;
    cipher.encipher(inPlace.data(), inPlace.data(), inPlace.size());
    EXPECT_EQ(inPlace, a);
    cipher.decipher(inPlace.data(), inPlace.data(), inPlace.size());
    EXPECT_EQ(inPlace, part);
}

// Deciphering takes several blocks at once and enciphering whole blocks as
// words; OpenSSL's CFB64, which goes byte by byte, block after block, is the
// reference. Random keys, vectors and text of random lengths, with every
// length around a group of blocks present.
TEST(LinkCipherGroups, BothDirectionsMatchTheOneBlockFormOnRandomLengths) {
    std::mt19937 random(20261209);
    auto randomBytes = [&](size_t n) {
        Bytes out(n);
        for (auto& b : out) b = static_cast<uint8_t>(random());
        return out;
    };
    std::vector<size_t> lengths;
    for (size_t n = 0; n <= 80; ++n) lengths.push_back(n);
    for (int i = 0; i < 40; ++i) lengths.push_back(std::uniform_int_distribution<size_t>(81, 9000)(random));
    lengths.push_back(131072);

    for (size_t length : lengths) {
        SCOPED_TRACE("length " + std::to_string(length));
        const Bytes key = randomBytes(1 + random() % 56);
        const Bytes vector = randomBytes(8);
        const Bytes text = randomBytes(length);
        LinkCipher cipher(key.data(), key.size());
        BF_KEY reference;
        BF_set_key(&reference, static_cast<int>(key.size()), key.data());

        Bytes expected(length);
        Bytes iv = vector;
        int position = 0;
        BF_cfb64_encrypt(text.data(), expected.data(), static_cast<long>(length), &reference, iv.data(), &position,
                         BF_DECRYPT);

        Bytes got(length);
        cipher.cfb64(text.data(), got.data(), length, vector.data(), false);
        ASSERT_EQ(got, expected);

        // In place, as the links decipher a received part.
        Bytes inPlace = text;
        cipher.cfb64(inPlace.data(), inPlace.data(), length, vector.data(), false);
        ASSERT_EQ(inPlace, expected);

        // Enciphering, against the reference and back.
        Bytes enciphered(length);
        iv = vector;
        position = 0;
        BF_cfb64_encrypt(text.data(), enciphered.data(), static_cast<long>(length), &reference, iv.data(), &position,
                         BF_ENCRYPT);
        Bytes back(length);
        cipher.cfb64(text.data(), back.data(), length, vector.data(), true);
        ASSERT_EQ(back, enciphered);
        cipher.cfb64(back.data(), back.data(), length, vector.data(), false);
        ASSERT_EQ(back, text);
    }
}

// The link's own form (link key, zero vector) against the one-block form.
TEST(LinkCipherGroups, LinkPartsDecipherAsOneBlockAtATime) {
    const auto key = LinkCipher::linkKey();
    BF_KEY reference;
    BF_set_key(&reference, static_cast<int>(key.size()), key.data());
    std::string part(4099, '\0');
    for (size_t i = 0; i < part.size(); ++i) part[i] = static_cast<char>(i * 7 + 3);
    std::string expected(part.size(), '\0');
    unsigned char iv[8] = {};
    int position = 0;
    BF_cfb64_encrypt(reinterpret_cast<const unsigned char*>(part.data()),
                     reinterpret_cast<unsigned char*>(expected.data()), static_cast<long>(part.size()), &reference, iv,
                     &position, BF_DECRYPT);
    std::string got(part.size(), '\0');
    LinkCipher().decipher(part.data(), got.data(), part.size());
    EXPECT_EQ(got, expected);
}

TEST(LinkCipherParts, TcpPartsTravelEncipheredAndIdentical) {
    // The sender enciphers; a peer without the cipher sees the wire bytes.
    auto sender = makeManager(true);
    auto tap = makeManager(false);
    tap->declare("Wire", LinkPattern::PushPull, LinkTransport::Tcp, 0, "");
    auto pull = tap->open("Wire", LinkKind::Pull);
    ASSERT_NE(pull, nullptr);
    sender->declare("Wire", LinkPattern::PushPull, LinkTransport::Tcp, tap->declaration("Wire")->port, "");
    auto push = sender->open("Wire", LinkKind::Push);
    ASSERT_NE(push, nullptr);

    const std::string part = "configuration changed: camera_mode";
    std::string copy = part;
    EXPECT_EQ(push->send(copy.data(), copy.size(), false), static_cast<int>(part.size()));
    EXPECT_EQ(copy, part);  // the caller's bytes are not enciphered in place
    push->send(part.data(), part.size(), false);

    auto first = receiveParts(*pull);
    auto second = receiveParts(*pull);
    ASSERT_EQ(first.size(), 1u);
    ASSERT_EQ(second.size(), 1u);
    EXPECT_EQ(first[0], second[0]);
    EXPECT_NE(first[0], part);
    std::string expected(part.size(), '\0');
    LinkCipher().encipher(part.data(), expected.data(), part.size());
    EXPECT_EQ(first[0], expected);
}

}  // namespace
