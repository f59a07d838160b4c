#pragma once

#include <chrono>
#include <cstdint>
#include <iostream>

#include "firmware/FirmwareImage.h"
#include "firmware/update/UpdateTarget.h"

class ProgressSink;

// In-place update of a controller that still runs working but old firmware.
// The controller is put into update mode through its device memory (the
// update mailbox), the image goes over as 16-bit words through one control of
// the control channel, and progress is logged in steps of ten percent.

// Controllers from this version on are up to date; the update brings them to
// it.
inline constexpr int kCurrentFirmwareVersion = 17;
// Controllers below this version take app1.dat and get the pre-update flag.
inline constexpr int kPreUpdateFlagBelowVersion = 13;

// Device memory of the update.
inline constexpr std::uint32_t kUpdateMailboxAddress = 0x28;  // 4 bytes: start / finish code
inline constexpr std::uint32_t kPreUpdateFlagAddress = 0x30;
inline constexpr std::uint8_t kMailboxReady = 0xFF;  // byte 0x28 once ready for data
inline constexpr std::uint32_t kUpdateStartCode = 0x5D3A17C4;
inline constexpr std::uint32_t kUpdateFinishCode = 0x2B86E94F;

// The control that carries the image words.
inline constexpr int kUpdateWordControl = 2;
// The image is sent in whole blocks of this many bytes, zero-padded.
inline constexpr std::size_t kUpdateBlockSize = 256;

// The support article named in the log before an update; the maker's host is
// not part of the system's record, only the article's path.
inline constexpr const char* kResetUtilityArticle =
    "https://support.tyvo.example/articles/using-the-device-reset-utility";

// The waits of an update. The defaults are the controller's needs; tests
// shorten them.
struct FirmwareUpdateTiming {
    std::chrono::milliseconds beforeUpdate{500};      // after the started event
    std::chrono::milliseconds beforeStartCode{1000};  // after the pre-update flag
    std::chrono::milliseconds readyPoll{10};          // between two mailbox reads
    // The controller gets this long to report ready; past it the update gives
    // up and reports failure instead of waiting for ever.
    std::chrono::milliseconds readyTimeout{10000};
    std::chrono::milliseconds afterImage{100};  // before the finish code
};

class FirmwareUpdate {
public:
    // `progress`, when given, hears of the transfer of the image: begun once
    // the controller is ready, advanced block by block, ended however the
    // transfer ends.
    explicit FirmwareUpdate(UpdateTarget& target, FirmwareUpdateTiming timing = {}, ProgressSink* progress = nullptr);

    // The whole update of a controller running firmware `runningVersion`:
    // builds its personalised image from app2.dat or app1.dat and sends it.
    // True when the image was sent. Every call fires one started and, however
    // it ends (a failure exception included), one finished event.
    bool UpgradeFirmware(std::int32_t runningVersion);

    // Puts the controller into update mode, sends the image and ends update
    // mode. False, before the controller is touched, for an empty image; false
    // when the controller never reports ready (it then stays in update mode:
    // the image was not sent and the finish code is not written).
    bool SendUpdateImage(const FirmwareImage& image);

private:
    bool waitUntilReady();
    void sendWords(const FirmwareImage& buffer);
    void writeCode(std::uint32_t code);

    UpdateTarget& m_target;
    const FirmwareUpdateTiming m_timing;
    ProgressSink* const m_progress;
};

// The version decision of a device's setup. Prints "FX3 firmware version: "
// and the version; when the version is current, also the up-to-date line, and
// returns true.
bool reportFirmwareVersion(int version, std::ostream& out = std::cout);

// The version decision followed, for old firmware, by the update. Returns
// normally only when the firmware is current; otherwise the update runs and
// device_exception "Firmware update succeeded." or "Firmware update failed."
// ends the device's setup (the updated controller comes back as a new
// device). `progress` as for FirmwareUpdate.
void requireCurrentFirmware(UpdateTarget& target, std::ostream& out = std::cout, FirmwareUpdateTiming timing = {},
                            ProgressSink* progress = nullptr);
