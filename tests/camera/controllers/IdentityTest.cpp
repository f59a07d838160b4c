// The controllers' own SHA-1, the serial in an authentication message, and
// the challenge and response against the emulated controller's memory
// (whose SHA-1 comes from OpenSSL), without a bus.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "camera/capture/HardwareAbstraction.h"
#include "camera/controllers/ControllerIdentity.h"
#include "camera/controllers/Sha1.h"
#include "sim/controller/ControllerMemory.h"

namespace {

std::string hex(const Sha1Digest& digest) {
    std::string text;
    char byte[3];
    for (std::uint8_t b : digest) {
        std::snprintf(byte, sizeof byte, "%02x", b);
        text += byte;
    }
    return text;
}

Sha1Digest sha1Of(const std::string& text) {
    return sha1(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

TEST(Sha1, KnownAnswers) {
    // FIPS 180 examples, and a 20-byte message (0x00 to 0x13) like the one
    // authentication hashes.
    EXPECT_EQ(hex(sha1Of("abc")), "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_EQ(hex(sha1(nullptr, 0)), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
    std::uint8_t twenty[20];
    for (int i = 0; i < 20; ++i) twenty[i] = static_cast<std::uint8_t>(i);
    EXPECT_EQ(hex(sha1(twenty, sizeof twenty)), "602c63d2f3d13ca3206cdf204cde24e7d8f4266c");
    EXPECT_EQ(hex(sha1Of("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq")),
              "84983e441c3bd26ebaae4aa1f95129e5e54670f1");
}

TEST(Sha1, PaddingAtBlockBoundaries) {
    // 55 bytes leave room for the length in the last block, 56 do not, and
    // 64 fill a block exactly; a million bytes run many blocks.
    EXPECT_EQ(hex(sha1Of(std::string(55, 'a'))), "c1c8bbdc22796e28c0e15163d20899b65621d65a");
    EXPECT_EQ(hex(sha1Of(std::string(56, 'a'))), "c2db330f6083854c99d4b5bfb6e8f29f201be699");
    EXPECT_EQ(hex(sha1Of(std::string(64, 'a'))), "0098ba824b5c16427bd7a1122a5a442a25ec644d");
    EXPECT_EQ(hex(sha1Of(std::string(1000000, 'a'))), "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
}

AuthenticationMessage messageWithSerial(const std::string& area) {
    AuthenticationMessage message{};
    for (std::size_t i = 0; i < area.size() && i < 14; ++i) message[i] = static_cast<std::uint8_t>(area[i]);
    message[13] = 'Z';  // byte 13 is never part of the serial
    return message;
}

TEST(SerialFromMessage, TextBlankAreaAndRepair) {
    struct Case {
        std::string area;
        std::string serial;
    };
    const std::vector<Case> cases = {
        {"MKT-210012345", "MKT-210012345"},
        {"QK12", "QK12"},
        // The first character was lost: the rest of "MKT-" puts it back.
        {std::string("\0KT-210012345", 13), "MKT-210012345"},
        {std::string("\0KT-", 4), "MKT-"},
        // Only that prefix is repaired; anything else stays empty.
        {std::string("\0KX-210012345", 13), ""},
        {std::string("\0QK47016", 8), ""},
        // Fourteen characters: the last one is cut.
        {"ABCDEFGHIJKLMN", "ABCDEFGHIJKLM"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(serialFromAuthenticationMessage(messageWithSerial(c.area)), c.serial) << c.serial;

    AuthenticationMessage blank{};
    blank.fill(0xFF);
    EXPECT_EQ(serialFromAuthenticationMessage(blank), "QK47016382590");
}

// A device whose memory window reaches the emulated controller's memory
// directly.
class MemoryBackedDevice : public HardwareAbstraction {
public:
    explicit MemoryBackedDevice(tyvo::sim::ControllerMemory& memory) : m_memory(memory) {}

    void readMemory(std::uint32_t address, std::uint8_t* buffer, std::uint32_t length) override {
        for (std::uint32_t i = 0; i < length; ++i) {
            buffer[i] = m_memory.read(address + i, tyvo::sim::ControllerMemory::Clock::now());
            reads.push_back(address + i);
        }
    }
    void writeMemory(std::uint32_t address, const std::uint8_t* buffer, std::uint32_t length) override {
        for (std::uint32_t i = 0; i < length; ++i) {
            m_memory.write(address + i, buffer[i], tyvo::sim::ControllerMemory::Clock::now());
            writes.push_back(address + i);
        }
    }
    Calibration currentCalibration() const override { return Calibration(1.0f); }
    Calibration readCalibration() override { return Calibration(1.0f); }
    bool isReversed() const override { return false; }
    bool setControl(int, int) override { return false; }
    void toggleOrientation() override {}
    bool putControl(int, int) override { return false; }

    std::vector<std::uint32_t> reads;
    std::vector<std::uint32_t> writes;

private:
    tyvo::sim::ControllerMemory& m_memory;
};

struct AuthenticationCase {
    const char* name;
    std::string serial;  // empty: blank area
    bool readBlankSalt;
    bool answersWrongly;
    bool accepted;
    bool hostAuthenticated;  // as the controller sees it
};

void PrintTo(const AuthenticationCase& c, std::ostream* out) { *out << c.name; }

class Authentication : public ::testing::TestWithParam<AuthenticationCase> {};

TEST_P(Authentication, ChallengeAndResponse) {
    const AuthenticationCase& c = GetParam();
    tyvo::sim::ControllerMemory memory(tyvo::sim::ControllerKind::Cypress);
    memory.setSerial(c.serial);
    memory.setWrongAuthentication(c.answersWrongly);
    MemoryBackedDevice device(memory);
    AuthenticationMessage message{};
    AuthenticationOptions options;
    options.readBlankSalt = c.readBlankSalt;
    const LogHandle log;
    EXPECT_EQ(authenticateController(device, message, options, log), c.accepted);
    // The controller checks what the host wrote back.
    EXPECT_EQ(memory.hostAuthenticated(), c.hostAuthenticated);
    const bool saltRead = std::find(device.reads.begin(), device.reads.end(), 14u) != device.reads.end();
    EXPECT_EQ(saltRead, c.serial.empty() && c.readBlankSalt);
    // The message keeps what was hashed: the serial area and the challenge.
    EXPECT_EQ(std::equal(message.begin() + 16, message.end(), memory.bytes(16, 4).begin()), true);
}

INSTANTIATE_TEST_SUITE_P(Controllers, Authentication,
                         ::testing::Values(AuthenticationCase{"Serial", "MKT-210012345", true, false, true, true},
                                           AuthenticationCase{"BlankWithOwnSalt", "", true, false, true, true},
                                           // A host that keeps the fixed salt; a blank Cypress
                                           // controller then hashes something else.
                                           AuthenticationCase{"BlankWithFixedSalt", "", false, false, false, false},
                                           AuthenticationCase{"SerialFixedSalt", "ZND-000000123", false, false, true,
                                                              true},
                                           AuthenticationCase{"WrongAnswer", "MKT-210012345", true, true, false, true}),
                         [](const auto& info) { return std::string(info.param.name); });

// The emulated embedded controller matches its host, which never reads the
// blank-serial bytes: blank, it hashes the fixed salt; a blank Cypress
// controller hashes its own bytes, which only a reading host knows.
TEST(BlankSerialAuthentication, AControllerHashesWhatItsOwnHostHashes) {
    for (const auto kind : {tyvo::sim::ControllerKind::Cypress, tyvo::sim::ControllerKind::Embedded}) {
        const bool embeddedKind = kind == tyvo::sim::ControllerKind::Embedded;
        for (const bool readBlankSalt : {true, false}) {
            tyvo::sim::ControllerMemory memory(kind);
            memory.setSerial({});
            MemoryBackedDevice device(memory);
            AuthenticationMessage message{};
            AuthenticationOptions options;
            options.readBlankSalt = readBlankSalt;
            const LogHandle log;
            const bool hostMatches = embeddedKind != readBlankSalt;
            EXPECT_EQ(authenticateController(device, message, options, log), hostMatches)
                << (embeddedKind ? "embedded" : "Cypress") << " controller, host reads the salt: " << readBlankSalt;
            EXPECT_EQ(memory.hostAuthenticated(), hostMatches);
        }
    }
}

}  // namespace
