#include "firmware/restore/RestoreStages.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <string_view>

#include "devices/core/DeviceExceptions.h"
#include "firmware/ChunkFile.h"
#include "firmware/FX3Firmware.h"
#include "firmware/FirmwareLocation.h"
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
        throw device_exception("");
    }
    const LoadResult result = device.LoadImage(image, target);
    if (result != LoadResult::Loaded) {
        WriteErrorLine(result, stage);
        // The console shows only the number; standard error says which
        // request failed on which device, for whoever looks into it.
        if (const std::string failed = device.DescribeFailedRequest(); !failed.empty())
            std::cerr << "tyvo-reset: " << failed << std::endl;
        throw scorch_exception(kFirmwareUpdateFailed);
    }
    device.Close();
}

}  // namespace

void RunBootLoaderStage(const RestoreStageSettings& settings) {
    FirmwareImage image;
    ReadFirmwareImage(FirmwarePath("app0.dat"), image, kBootProgrammerImageMaxSize);
    LoadIntoFirstDevice(image, ImageTarget::Ram, std::nullopt, "1/2", settings);
}

void RunBootProgrammerStage(const RestoreStageSettings& settings) {
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
