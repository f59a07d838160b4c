#pragma once

#include <array>
#include <cstdint>
#include <string>

class HardwareAbstraction;
class LogHandle;

// Device memory of a controller in normal operation, as both controllers
// lay it out (addresses of the memory window).
namespace controller_memory {
inline constexpr std::uint32_t kSerialAddress = 0;  // 14 bytes; first byte 0xFF: blank
inline constexpr std::uint32_t kSerialSize = 14;
inline constexpr std::uint32_t kBlankSaltAddress = 14;  // 2 bytes, read only for a blank serial
inline constexpr std::uint32_t kChallengeAddress = 16;  // 4 bytes, written
inline constexpr std::uint32_t kResponseAddress = 20;   // 12 bytes, read
inline constexpr std::uint32_t kResponseSize = 12;
inline constexpr std::uint32_t kDigestTailAddress = 32;       // 8 bytes, written
inline constexpr std::uint32_t kMaskedHeadAddress = 44;       // 4 bytes, written
inline constexpr std::uint32_t kCalibrationFlagAddress = 48;  // 1 after a calibration block
inline constexpr std::uint32_t kFirmwareVersionAddress = 98;
inline constexpr std::uint32_t kCalibrationAddress = 100;  // 156 bytes
}  // namespace controller_memory

// The message a controller's authentication hashes: the serial area (bytes
// 0 to 13), the salt (14, 15) and the host's challenge (16 to 19).
using AuthenticationMessage = std::array<std::uint8_t, 20>;

// The serial a controller with a blank serial area goes by, and the one of
// every embedded controller.
inline constexpr const char* kBlankAreaSerial = "QK47016382590";
inline constexpr const char* kEmbeddedSerial = "ZINDO";

// The fixed salt and the mask of the digest head the host writes back.
inline constexpr std::uint8_t kAuthenticationSalt[2] = {0x3B, 0x6E};
inline constexpr std::uint32_t kDigestHeadMask = 0x5A1C7E93;

// The host's challenge: the C library generator seeded with the current
// time in seconds, one value discarded, the next two taken (low 16 bits of
// each, little-endian in the message).
std::array<std::uint16_t, 2> drawAuthenticationChallenge();

struct AuthenticationOptions {
    // A blank serial area authenticates with the controller's own salt
    // (addresses 14 and 15) instead of the fixed one.
    bool readBlankSalt = true;
    // Logged (critical, EC_BAD_DEVICE_AUTH) when the controller answers
    // wrongly.
    const char* failureText = "Tyvo Controller authentication failed.";
};

// The challenge and response over the device's memory window: reads the
// serial area into the message, writes the challenge, writes back the masked
// head and the tail of the digest of the message, and compares the
// controller's response with the digest's first 12 bytes. True when they
// match; `message` holds what was hashed either way.
bool authenticateController(HardwareAbstraction& device, AuthenticationMessage& message,
                            const AuthenticationOptions& options, const LogHandle& log);

// The serial number in an authenticated message: the zero-terminated text
// at its start, whose first character is put back when it was lost ("MKT-"
// read as a 0 followed by "KT-"); a blank area gives kBlankAreaSerial.
std::string serialFromAuthenticationMessage(AuthenticationMessage message);
