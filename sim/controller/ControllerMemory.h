#pragma once
// The memory a controller in normal operation exposes through its memory
// window, with the behaviour behind some of its addresses: the serial area,
// the authentication registers (the response is the SHA-1 of the serial area,
// the salt and the host's challenge), the calibration flag, the firmware
// version, the calibration block, the sensor registers of the embedded
// controller, and the update mailbox that takes the start and finish codes.
// Not thread-safe: the controller model calls it under its own lock.

#include "sim/UsbDescriptors.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <string>

namespace tyvo::sim {

enum class ControllerKind { Cypress, Embedded };

namespace controller_memory {
inline constexpr uint32_t kSerial = 0;  // 14 bytes; first byte 0xFF = blank
inline constexpr uint32_t kSerialSize = 14;
inline constexpr uint32_t kBlankSalt = 14;     // 2 bytes, hashed by a blank Cypress controller
inline constexpr uint32_t kChallenge = 16;     // 4 bytes from the host
inline constexpr uint32_t kResponse = 20;      // 12 bytes: digest bytes 0 to 11
inline constexpr uint32_t kDigestTail = 32;    // 8 bytes from the host: digest bytes 12 to 19
inline constexpr uint32_t kMailbox = 0x28;     // 4 bytes: start and finish codes
inline constexpr uint32_t kMaskedHead = 44;    // 4 bytes from the host
inline constexpr uint32_t kFlag = 0x30;        // calibration written / pre-update flag
inline constexpr uint32_t kVersion = 98;       // Cypress: u16; embedded: major, minor
inline constexpr uint32_t kCalibration = 100;  // 156 bytes
inline constexpr uint32_t kSize = 0x10000;

inline constexpr std::array<uint8_t, 2> kSalt = {0x3B, 0x6E};
inline constexpr uint32_t kHeadMask = 0x5A1C7E93;
inline constexpr uint32_t kStartCode = 0x5D3A17C4;
inline constexpr uint32_t kFinishCode = 0x2B86E94F;
inline constexpr uint8_t kMailboxReady = 0xFF;
}  // namespace controller_memory

class ControllerMemory {
public:
    using Clock = std::chrono::steady_clock;

    enum class Effect { None, UpdateStarted, UpdateFinished };

    explicit ControllerMemory(ControllerKind kind);

    // Factory contents.
    void setSerial(const std::string& serial);  // empty: a blank serial area
    void setBlankSalt(std::array<uint8_t, 2> salt);
    // Cypress: u16 at 98; embedded: version / 100 at 98 and version % 100 at 99.
    void setFirmwareVersion(int version);
    int firmwareVersion() const;
    void load(uint32_t address, const Bytes& bytes);
    void setMailboxDelay(std::chrono::milliseconds delay) { m_mailboxDelay = delay; }
    // Fault: the authentication response is wrong.
    void setWrongAuthentication(bool wrong) { m_wrongAuthentication = wrong; }

    // One byte through the memory window.
    uint8_t read(uint32_t address, Clock::time_point now) const;
    Effect write(uint32_t address, uint8_t value, Clock::time_point now);

    // A word of the update image; false (and dropped) unless the controller
    // is in update mode and ready for data.
    bool takeUpdateWord(uint16_t word, Clock::time_point now);

    // Inspection, without side effects.
    Bytes bytes(uint32_t address, std::size_t length) const;
    std::string serialText() const;
    bool inUpdateMode() const { return m_updateMode; }
    bool updateFinished() const { return m_updateFinished; }
    const Bytes& receivedImage() const { return m_image; }
    // The host sent back the digest tail and the masked digest head of the
    // last challenge correctly.
    bool hostAuthenticated() const;

private:
    std::array<uint8_t, 20> digest() const;
    uint32_t word(uint32_t address) const;

    const ControllerKind m_kind;
    Bytes m_memory;
    std::chrono::milliseconds m_mailboxDelay{20};
    bool m_wrongAuthentication = false;
    bool m_updateMode = false;
    bool m_updateFinished = false;
    Clock::time_point m_readyAt{};
    Bytes m_image;
};

}  // namespace tyvo::sim
