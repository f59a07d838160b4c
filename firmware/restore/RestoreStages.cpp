#include "firmware/restore/RestoreStages.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <string_view>
#include <vector>

#include "devices/core/DeviceExceptions.h"
#include "firmware/ChunkFile.h"
#include "firmware/FX3Firmware.h"
#include "firmware/FirmwareLocation.h"
#include "firmware/ProgressSink.h"
#include "firmware/restore/FlashVerify.h"
#include "firmware/restore/RestoreObserver.h"
#include "logging/ConsoleLine.h"
#include "usb/CCyFX3DriverDevice.h"
#include "usb/UsbDriverPort.h"

namespace {

constexpr const char kFirmwareUpdateFailed[] = "Firmware update failed.";

#ifndef TYVO_UDEV_RULE_INSTALLED
#define TYVO_UDEV_RULE_INSTALLED "/usr/local/lib/udev/rules.d/70-tyvo-reset.rules"
#endif

void WriteLine(std::string_view text) { WriteConsoleLine(std::cout, text); }

void WriteErrorLine(LoadResult result, std::string_view stage) {
    WriteLine("Error " + std::to_string(LoadResultCode(result)) + " when restoring firmware (" + std::string(stage) +
              ")");
}

int StageNumber(std::string_view stage) { return stage == "1/2" ? 1 : 2; }

void Tell(const RestoreStageSettings& settings, const RestoreEvent& event) {
    if (settings.observer) settings.observer->onRestoreEvent(event);
}

RestoreEvent Event(RestoreEvent::Kind kind, std::string_view stage) {
    RestoreEvent event;
    event.kind = kind;
    event.stage = StageNumber(stage);
    return event;
}

// The flash behind an open boot programmer: reads with 0xC3, erases and
// writes with the requests stage 2 uses.
class ProgrammerFlash : public FlashAccess {
public:
    explicit ProgrammerFlash(CCyFX3DriverDevice& device) : m_device(device) {}

    ReadResult readPages(uint16_t page, uint8_t* into, int32_t length) override {
        if (m_device.SendVendorRequest(into, CCyFX3DriverDevice::kFlashReadRequest, uint32_t{page} << 16, length, true))
            return ReadResult::Read;
        const auto& failed = m_device.LastFailedRequest();
        return failed && failed->error == EPIPE ? ReadResult::NotSupported : ReadResult::Failed;
    }
    bool eraseSector(uint16_t sector) override { return m_device.EraseFlashSector(sector) == 0; }
    bool writePages(uint16_t page, const uint8_t* data, int32_t length) override {
        std::vector<uint8_t> piece(data, data + length);
        return m_device.SendVendorRequest(piece.data(), CCyFX3DriverDevice::kFlashWriteRequest, uint32_t{page} << 16,
                                          length, false);
    }

private:
    CCyFX3DriverDevice& m_device;
};

// Reads the flash back after stage 2 and says what it found; throws as a
// failed stage when the flash does not hold what was written.
void VerifyWrittenFlash(CCyFX3DriverDevice& device, const FirmwareImage& image, const RestoreStageSettings& settings) {
    ProgrammerFlash flash(device);
    const FlashVerifyResult result = VerifyFlash(flash, image, settings.progress.get());
    using Outcome = FlashVerifyResult::Outcome;
    RestoreEvent event = Event(RestoreEvent::Kind::Verified, "2/2");
    if (!result.rewrittenSectors.empty()) {
        std::string sectors;
        for (const uint16_t s : result.rewrittenSectors) sectors += (sectors.empty() ? "" : ", ") + std::to_string(s);
        WriteLine("Verification found a difference at address " + FormatFlashAddress(result.firstDifference) +
                  "; sector" + (result.rewrittenSectors.size() > 1 ? "s " : " ") + sectors + " written again.");
    }
    switch (result.outcome) {
        case Outcome::Verified:
            event.message = "Verified: the flash holds the " + std::to_string(result.bytesCompared) + " bytes written.";
            WriteLine(event.message);
            Tell(settings, event);
            return;
        case Outcome::Unverifiable:
            event.kind = RestoreEvent::Kind::VerifyUnavailable;
            event.message =
                "Verification is not available: this boot programmer cannot read the flash back (request 0xC3).";
            WriteLine(event.message);
            Tell(settings, event);
            return;
        case Outcome::Differs:
            event.kind = RestoreEvent::Kind::VerifyFailed;
            event.address = result.lastFirstDifference;
            event.message = "Verification failed: the flash differs from the firmware at address " +
                            FormatFlashAddress(result.lastFirstDifference) + " after writing it again.";
            WriteLine(event.message);
            Tell(settings, event);
            throw scorch_exception(kFirmwareUpdateFailed);
        case Outcome::ReadFailed:
        case Outcome::RewriteFailed: {
            // A request failed as it would have in the stage itself: the
            // same error line and number.
            const LoadResult failed = result.outcome == Outcome::RewriteFailed && result.eraseFailed
                                          ? LoadResult::EraseFailed
                                          : LoadResult::RequestFailed;
            WriteErrorLine(failed, "2/2");
            if (const std::string what = device.DescribeFailedRequest(); !what.empty())
                std::cerr << "tyvo-reset: " << what << std::endl;
            event.kind = RestoreEvent::Kind::StageFailed;
            event.code = LoadResultCode(failed);
            event.message = device.DescribeFailedRequest();
            Tell(settings, event);
            throw scorch_exception(kFirmwareUpdateFailed);
        }
    }
}

// Hands the driver's progress to the sink: one begin() when the load
// starts, advance() as it goes, and end() on every way out.
class ProgressScope {
public:
    ProgressScope(CCyFX3DriverDevice& device, ProgressSink* sink) : m_device(device), m_sink(sink) {
        if (!m_sink) return;
        m_device.SetLoadProgress([this](const char* what, uint64_t done, uint64_t total) {
            if (!m_begun) {
                m_sink->begin(what, total);
                m_begun = true;
            }
            m_sink->advance(what, done);
        });
    }
    ~ProgressScope() { finish(); }
    ProgressScope(const ProgressScope&) = delete;
    ProgressScope& operator=(const ProgressScope&) = delete;

    void finish() {
        if (!m_sink) return;
        m_device.SetLoadProgress(nullptr);
        if (m_begun) m_sink->end();
        m_begun = false;
    }

private:
    CCyFX3DriverDevice& m_device;
    ProgressSink* m_sink;
    bool m_begun = false;
};

// The user's console shows only "..." for a device that cannot be opened;
// when the reason is a missing permission, standard error says how to fix it.
void ReportUnopenedDevice(const CCyFX3DriverDevice& device) {
    WriteLine("...");
    if (device.LastError() != EACCES) return;
    std::cerr << "tyvo-reset: permission denied opening the controller (" << device.DevicePath()
              << ").\n"
                 "tyvo-reset: install the udev rule, then unplug and replug the controller:\n"
                 "    sudo cp " TYVO_UDEV_RULE_INSTALLED
                 " /etc/udev/rules.d/\n"
                 "    sudo udevadm control --reload-rules"
              << std::endl;
}

// Opens the first device the driver serves, as the stages always have:
// construction opens index 0, then it is opened again by index. Then loads
// the image and closes the device, which its destructor also does on every
// way out.
void LoadIntoFirstDevice(const FirmwareImage& image, ImageTarget target, std::optional<uint16_t> requiredProduct,
                         std::string_view stage, const RestoreStageSettings& settings) {
    CCyFX3DriverDevice device;
    bool usable = device.Open(0);
    if (usable) {
        device.ControlEndPoint()->SetTimeOut(settings.transferTimeoutMs);
        device.SetFlashEraseTimeout(settings.flashEraseTimeout);
        usable = !requiredProduct || device.ProductID() == *requiredProduct;
    }
    if (!usable) {
        ReportUnopenedDevice(device);
        RestoreEvent event = Event(RestoreEvent::Kind::DeviceUnopened, stage);
        event.error = device.IsOpen() ? 0 : device.LastError();
        event.message = device.IsOpen() ? "the device is not the boot programmer" : device.DevicePath();
        Tell(settings, event);
        throw device_exception("");
    }
    LoadResult result;
    {
        ProgressScope progress(device, settings.progress.get());
        result = device.LoadImage(image, target);
    }
    if (result != LoadResult::Loaded) {
        WriteErrorLine(result, stage);
        // The console shows only the number; standard error says which
        // request failed on which device, for whoever looks into it.
        const std::string failed = device.DescribeFailedRequest();
        if (!failed.empty()) std::cerr << "tyvo-reset: " << failed << std::endl;
        RestoreEvent event = Event(RestoreEvent::Kind::StageFailed, stage);
        event.code = LoadResultCode(result);
        event.message = failed;
        Tell(settings, event);
        throw scorch_exception(kFirmwareUpdateFailed);
    }
    if (target == ImageTarget::SpiFlash && settings.verify) VerifyWrittenFlash(device, image, settings);
    device.Close();
    Tell(settings, Event(RestoreEvent::Kind::StageDone, stage));
}

}  // namespace

void RunBootLoaderStage(const RestoreStageSettings& settings) {
    Tell(settings, Event(RestoreEvent::Kind::StageStarted, "1/2"));
    FirmwareImage image;
    ReadFirmwareImage(FirmwarePath("app0.dat"), image, kBootProgrammerImageMaxSize);
    LoadIntoFirstDevice(image, ImageTarget::Ram, std::nullopt, "1/2", settings);
}

void RunBootProgrammerStage(const RestoreStageSettings& settings) {
    Tell(settings, Event(RestoreEvent::Kind::StageStarted, "2/2"));
    FirmwareImage image;
    {
        // Both files are read, the newer one first; the restore always
        // writes the older image.
        const FX3Firmware firmware(FirmwarePath("app2.dat"), FirmwarePath("app1.dat"));
        image = firmware.ImageForDevice(0, kRestoreSerialNumber);
    }
    LoadIntoFirstDevice(image, ImageTarget::SpiFlash, UsbDriverPort::kBootProgrammerProductId, "2/2", settings);
}

void QuitAfterEnter() {
    std::cin.clear();
    std::cin.get();
    // Other threads (the log server, the links, the monitor's libusb
    // events) are still running and use objects with static storage. exit()
    // would destroy those under their feet; quick_exit ends the process
    // without destroying anything, once what was written is out.
    std::cout.flush();
    std::cerr.flush();
    std::fflush(nullptr);
    std::quick_exit(0);
}
