#include "camera/controllers/ControllerIdentity.h"

#include <cstdlib>
#include <ctime>

#include "camera/capture/HardwareAbstraction.h"
#include "camera/controllers/Sha1.h"
#include "logging/LogHandle.h"

namespace {

using namespace controller_memory;

constexpr std::uint8_t kBlankMarker = 0xFF;
// A serial whose first character went missing is recognised by the rest of
// this prefix.
constexpr char kRepairablePrefix[] = "MKT-";

std::uint32_t littleEndianWord(const std::uint8_t* bytes) {
    return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
           static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

}  // namespace

std::array<std::uint16_t, 2> drawAuthenticationChallenge() {
    std::srand(static_cast<unsigned>(std::time(nullptr)));
    (void)std::rand();
    const int r1 = std::rand();
    const int r2 = std::rand();
    return {static_cast<std::uint16_t>(r1), static_cast<std::uint16_t>(r2)};
}

bool authenticateController(HardwareAbstraction& device, AuthenticationMessage& message,
                            const AuthenticationOptions& options, const LogHandle& log) {
    message.fill(0);
    message[14] = kAuthenticationSalt[0];
    message[15] = kAuthenticationSalt[1];
    device.readMemory(kSerialAddress, message.data(), kSerialSize);
    if (options.readBlankSalt && message[0] == kBlankMarker) {
        device.readMemory(kBlankSaltAddress, &message[14], 1);
        device.readMemory(kBlankSaltAddress + 1, &message[15], 1);
    }

    const std::array<std::uint16_t, 2> challenge = drawAuthenticationChallenge();
    message[16] = static_cast<std::uint8_t>(challenge[0]);
    message[17] = static_cast<std::uint8_t>(challenge[0] >> 8);
    message[18] = static_cast<std::uint8_t>(challenge[1]);
    message[19] = static_cast<std::uint8_t>(challenge[1] >> 8);
    device.writeMemory(kChallengeAddress, &message[16], 4);

    const Sha1Digest digest = sha1(message.data(), message.size());
    const std::uint32_t maskedHead = littleEndianWord(digest.data()) ^ kDigestHeadMask;
    const std::uint8_t head[4] = {static_cast<std::uint8_t>(maskedHead), static_cast<std::uint8_t>(maskedHead >> 8),
                                  static_cast<std::uint8_t>(maskedHead >> 16),
                                  static_cast<std::uint8_t>(maskedHead >> 24)};
    device.writeMemory(kMaskedHeadAddress, head, 4);

    std::uint8_t response[kResponseSize] = {};
    device.readMemory(kResponseAddress, response, kResponseSize);
    device.writeMemory(kDigestTailAddress, &digest[12], 8);

    for (std::size_t word = 0; word < kResponseSize; word += 4) {
        if (littleEndianWord(response + word) != littleEndianWord(digest.data() + word)) {
            log.critical(options.failureText, -1, EC_BAD_DEVICE_AUTH);
            return false;
        }
    }
    return true;
}

std::string serialFromAuthenticationMessage(AuthenticationMessage message) {
    if (message[0] == kBlankMarker) return kBlankAreaSerial;
    message[13] = 0;
    if (message[0] == 0 && message[1] == kRepairablePrefix[1] && message[2] == kRepairablePrefix[2] &&
        message[3] == kRepairablePrefix[3])
        message[0] = static_cast<std::uint8_t>(kRepairablePrefix[0]);
    std::string serial;
    for (std::size_t i = 0; i < 14 && message[i] != 0; ++i) serial.push_back(static_cast<char>(message[i]));
    return serial;
}
