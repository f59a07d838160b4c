#include "firmware/update/FirmwareUpdate.h"

#include <array>
#include <string>
#include <thread>

#include "devices/core/DeviceExceptions.h"
#include "firmware/FX3Firmware.h"
#include "firmware/FirmwareLocation.h"
#include "firmware/ProgressSink.h"
#include "logging/ConsoleLine.h"
#include "logging/LogHandle.h"

namespace {

using Clock = std::chrono::steady_clock;

// Pairs one started event with exactly one finished event, however the update
// ends.
class UpdateEvents {
public:
    explicit UpdateEvents(UpdateTarget& target) : m_target(target) {}

    void started() { m_target.fireFirmwareUpdateStarted(m_target.serialNumber()); }

    void finished() {
        if (m_finished) return;
        m_finished = true;
        m_target.fireFirmwareUpdateFinished();
    }

private:
    UpdateTarget& m_target;
    bool m_finished = false;
};

// What the progress line says while the image goes over.
constexpr const char kSendingImage[] = "Updating the firmware";

// Ends the progress however the transfer ends, a thrown failure included.
class ProgressScope {
public:
    ProgressScope(ProgressSink* sink, std::uint64_t total) : m_sink(sink) {
        if (m_sink) m_sink->begin(kSendingImage, total);
    }
    ~ProgressScope() {
        if (m_sink) m_sink->end();
    }
    ProgressScope(const ProgressScope&) = delete;
    ProgressScope& operator=(const ProgressScope&) = delete;

    void advance(std::uint64_t done) {
        if (m_sink) m_sink->advance(kSendingImage, done);
    }

private:
    ProgressSink* const m_sink;
};

}  // namespace

FirmwareUpdate::FirmwareUpdate(UpdateTarget& target, FirmwareUpdateTiming timing, ProgressSink* progress)
    : m_target(target), m_timing(timing), m_progress(progress) {}

bool FirmwareUpdate::UpgradeFirmware(std::int32_t runningVersion) {
    const LogHandle& log = m_target.updateLog();
    UpdateEvents events(m_target);
    events.started();
    try {
        std::this_thread::sleep_for(m_timing.beforeUpdate);
        log.info("Tyvo Controller firmware version " + std::to_string(runningVersion) + " is out of date.");
        log.info("Initiating firmware upgrade to version " + std::to_string(kCurrentFirmwareVersion) + ".");
        log.warning("Do not unplug your Tyvo Controller.");
        log.info(std::string("If upgrade fails, please visit ") + kResetUtilityArticle + " to reset your firmware.");

        FirmwareImage image;
        {
            // Read for this update only and released before the transfer.
            FX3Firmware firmware(FirmwarePath("app2.dat"), FirmwarePath("app1.dat"));
            image = firmware.ImageForDevice(runningVersion, m_target.serialNumber());
        }
        const bool sent = SendUpdateImage(image);
        // A successful transfer fired its own finished event.
        if (!sent) events.finished();
        return sent;
    } catch (...) {
        events.finished();
        throw;
    }
}

bool FirmwareUpdate::SendUpdateImage(const FirmwareImage& image) {
    const LogHandle& log = m_target.updateLog();
    // A missing or unreadable firmware file leaves the image empty. Sending
    // nothing would still end update mode as if new firmware had arrived, so
    // the update stops here, before the controller is touched.
    if (image.empty()) {
        log.warning("The firmware image is missing or empty; the firmware update was not started.");
        return false;
    }

    if (m_target.firmwareVersion() < kPreUpdateFlagBelowVersion) {
        const std::uint8_t flag = 0x01;
        m_target.writeMemory(kPreUpdateFlagAddress, &flag, 1);
    }
    std::this_thread::sleep_for(m_timing.beforeStartCode);

    const std::size_t size = (image.size() + kUpdateBlockSize - 1) / kUpdateBlockSize * kUpdateBlockSize;
    FirmwareImage buffer(image);
    buffer.resize(size, 0);

    writeCode(kUpdateStartCode);
    log.info("Progress: 0%");
    if (!waitUntilReady()) {
        log.warning("The Tyvo Controller did not get ready for the firmware update.");
        return false;
    }

    sendWords(buffer);

    std::this_thread::sleep_for(m_timing.afterImage);
    log.info("Firmware update succeeded.");
    m_target.fireFirmwareUpdateFinished();
    writeCode(kUpdateFinishCode);
    return true;
}

void FirmwareUpdate::sendWords(const FirmwareImage& buffer) {
    const LogHandle& log = m_target.updateLog();
    ProgressScope progress(m_progress, buffer.size());
    const std::int64_t words = static_cast<std::int64_t>(buffer.size() / 2);
    constexpr std::int64_t kWordsPerBlock = kUpdateBlockSize / 2;
    std::int64_t reported = -10;
    for (std::int64_t i = 0; i < words; ++i) {
        const int word = buffer[2 * i] | (buffer[2 * i + 1] << 8);
        // The controller takes the words as they come; a refused request is
        // not retried (the controller checks the image itself).
        (void)m_target.putControl(kUpdateWordControl, word);
        const std::int64_t percent = i * 90 / words;
        if (percent >= reported + 10) {
            log.info("Progress: " + std::to_string(percent + 10) + "%");
            reported = percent;
        }
        if ((i + 1) % kWordsPerBlock == 0) progress.advance(static_cast<std::uint64_t>(2 * (i + 1)));
    }
}

bool FirmwareUpdate::waitUntilReady() {
    const auto deadline = Clock::now() + m_timing.readyTimeout;
    for (;;) {
        std::uint8_t mailbox = 0;
        m_target.readMemory(kUpdateMailboxAddress, &mailbox, 1);
        if (mailbox == kMailboxReady) return true;
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(m_timing.readyPoll);
    }
}

void FirmwareUpdate::writeCode(std::uint32_t code) {
    const std::array<std::uint8_t, 4> bytes{static_cast<std::uint8_t>(code), static_cast<std::uint8_t>(code >> 8),
                                            static_cast<std::uint8_t>(code >> 16),
                                            static_cast<std::uint8_t>(code >> 24)};
    m_target.writeMemory(kUpdateMailboxAddress, bytes.data(), static_cast<std::uint32_t>(bytes.size()));
}

bool reportFirmwareVersion(int version, std::ostream& out) {
    WriteConsoleLine(out, "FX3 firmware version: " + std::to_string(version));
    if (version < kCurrentFirmwareVersion) return false;
    WriteConsoleLine(out, "Your Tyvo Controller's Firmware is up to date.");
    return true;
}

void requireCurrentFirmware(UpdateTarget& target, std::ostream& out, FirmwareUpdateTiming timing,
                            ProgressSink* progress) {
    const int version = target.firmwareVersion();
    if (reportFirmwareVersion(version, out)) return;
    FirmwareUpdate update(target, timing, progress);
    if (update.UpgradeFirmware(version)) throw device_exception("Firmware update succeeded.");
    throw device_exception("Firmware update failed.");
}
