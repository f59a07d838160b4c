// The controllers end to end: the real attach monitor with the real manifest
// on the emulated bus builds the device objects, which authenticate, update,
// calibrate and stream; failures end the device context and the monitor
// takes the controller again or refuses it, as the failure demands.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "camera/controllers/StatusNotifier.h"
#include "firmware/FirmwareLocation.h"
#include "tests/camera/controllers/ControllerFixture.h"
#include "tests/support/TempFolder.h"
#include "tools/ChunkWriter.h"
#include "tools/SyntheticImages.h"

namespace controllertest {
namespace {

using tyvo::sim::FrameSize;
using tyvo::sim::UvcControllerOptions;
using namespace std::chrono_literals;

using ControllerEndToEnd = ControllerFixture;

std::size_t countOf(const std::string& text, const std::string& needle) {
    std::size_t n = 0;
    for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
    return n;
}

// A small app2.dat (and app1.dat) in a folder of their own, so an update
// sends a few thousand words rather than the real image.
class FirmwareFolder {
public:
    FirmwareFolder() {
        for (const char* name : {"app1.dat", "app2.dat"}) {
            ControllerImageOptions options;
            options.size = 4096;
            options.firmwareVersion = 17;
            options.seed = name[3] == '2' ? 2 : 1;
            const FirmwareImage image = MakeControllerImage(options);
            std::string error;
            if (!WriteChunkFile(image, m_folder.file(name), error)) ADD_FAILURE() << error;
        }
        SetFirmwareFolder(m_folder.string());
    }
    ~FirmwareFolder() { SetFirmwareFolder({}); }

private:
    TempFolder m_folder{"tyvo-controllers"};
};

TEST_F(ControllerEndToEnd, OldFirmwareIsUpdatedAndTheControllerTakenAgain) {
    FirmwareFolder firmware;
    plug(UvcControllerOptions::cypress("MKT-210012345", 16));
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    startMonitor();

    const bool updated = eventually([&] { return model->updateFinished(); }, 30s);
    const auto again = waitForConfigured<CyUVCDevice>();
    // The last context the monitor made is the updated controller's (the old
    // one may be taken once more while it leaves the bus).
    const bool streams = again && eventually([&] {
                             const std::size_t joined = joiner->joined();
                             return joined >= 2 && joiner->collector(joined - 1)->count() >= 3;
                         });
    const std::string printed = testing::internal::GetCapturedStdout();
    const std::string errors = testing::internal::GetCapturedStderr();
    ASSERT_TRUE(updated);
    ASSERT_TRUE(again) << "the updated controller was not taken again";
    EXPECT_TRUE(streams);

    EXPECT_EQ(printed,
              "FX3 firmware version: 16\n"
              "FX3 firmware version: 17\n"
              "Your Tyvo Controller's Firmware is up to date.\n");
    // The exception that ended the first device context.
    EXPECT_EQ(countOf(errors, "Firmware update succeeded.\n"), 1u) << errors;

    // The controller got the personalised image in whole 256-byte blocks,
    // and came back with the image's version and its own memory.
    const tyvo::sim::Bytes image = model->receivedImage();
    EXPECT_EQ(image.size(), 4096u);
    ASSERT_GE(image.size(), 2u);
    EXPECT_EQ(image[0], 'C');
    EXPECT_EQ(image[1], 'Y');
    ASSERT_TRUE(model->successor());
    EXPECT_EQ(again->firmwareVersion(), 17);
    EXPECT_EQ(again->serialNumber(), "MKT-210012345");
    EXPECT_TRUE(model->successor()->hostAuthenticated());

    for (const char* line :
         {"Tyvo Controller detected: MKT-210012345", "Tyvo Controller firmware version 16 is out of date.",
          "Initiating firmware upgrade to version 17.", "Do not unplug your Tyvo Controller.", "Progress: 0%",
          "Progress: 90%", "Firmware update succeeded.", "Tyvo Controller disconnected: MKT-210012345"})
        EXPECT_TRUE(logs->waitFor(line, nullptr, 2s)) << line;
    EXPECT_EQ(logs->countOf("Progress: 100%"), 0u);
    EXPECT_FALSE(monitor->IsRefused(path()));
}

TEST_F(ControllerEndToEnd, AWrongAnswerEndsTheContextUntilTheControllerAnswersRightly) {
    plug();
    model->answerAuthenticationWrongly(true);
    testing::internal::CaptureStderr();
    startMonitor();
    LogRecord record;
    const bool logged = logs->waitFor("Tyvo Controller authentication failed.", &record);
    // Each ended context is followed by a new one for the same controller.
    const bool retaken = eventually([&] { return joiner->joined() >= 3; });
    model->answerAuthenticationWrongly(false);
    const auto device = waitForConfigured<CyUVCDevice>();
    const std::string errors = testing::internal::GetCapturedStderr();
    ASSERT_TRUE(logged);
    EXPECT_EQ(record.severity, LOG_CRITICAL);
    EXPECT_EQ(record.errorCode, EC_BAD_DEVICE_AUTH);
    EXPECT_TRUE(retaken);
    ASSERT_TRUE(device);
    EXPECT_EQ(device->serialNumber(), "MKT-210012345");
    EXPECT_GE(countOf(errors, "Device authentication failed.\n"), 2u) << errors;
    EXPECT_FALSE(monitor->IsRefused(path()));
    // Nothing of the failed attempts was configured or announced.
    EXPECT_EQ(logs->countOf("Tyvo Controller detected"), 1u);
}

TEST_F(ControllerEndToEnd, SerialAreasAndDeviceClasses) {
    struct Case {
        std::string area;  // empty: blank
        std::string serial;
        int deviceClass;
    };
    const std::vector<Case> cases = {
        {"", "QK47016382590", 7},
        {std::string("\0KT-210012345", 13), "MKT-210012345", 3},  // first character lost
        {"OLDKIT", "OLDKIT", 2},
        {"OLDKITS", "OLDKITS", 0},
        {"MKT-210099887", "MKT-210099887", 3},
        {"MKT-21900123", "MKT-21900123", 7},
        {"MKT-360012345", "MKT-360012345", 4},
        {"MKT-480012345", "MKT-480012345", 5},
        {"MKT-570012345", "MKT-570012345", 6},
        {"QK12345678901", "QK12345678901", 7},
        {"ZZ-1", "ZZ-1", 0},
    };
    startMonitor();
    for (const Case& c : cases) {
        plug(UvcControllerOptions::cypress(c.area));
        const auto device = waitForConfigured<CyUVCDevice>();
        ASSERT_TRUE(device) << c.serial;
        EXPECT_EQ(device->serialNumber(), c.serial);
        EXPECT_EQ(device->deviceClass(), c.deviceClass) << c.serial;
        EXPECT_TRUE(model->hostAuthenticated()) << c.serial;
        ASSERT_TRUE(bus.unplug(port));
        ASSERT_TRUE(eventually([&] { return !monitor->HasContexts(); })) << c.serial;
    }
}

TEST_F(ControllerEndToEnd, AMissingCalibrationThatIsRequiredRefusesTheController) {
    setting("camera_requires_calib", Value(true));
    std::vector<std::string> statuses;
    std::mutex statusLock;
    installStatusNotifier([&](const std::string& status) {
        std::lock_guard<std::mutex> lock(statusLock);
        statuses.push_back(status);
    });
    UvcControllerOptions options;
    options.calibration = tyvo::sim::CalibrationContent::None;
    plug(options);
    testing::internal::CaptureStderr();
    startMonitor();
    const bool refused = eventually([&] { return monitor->IsRefused(path()); });
    const bool ended = eventually([&] { return !liveDeviceContext(); });
    // Another device on the bus makes the monitor scan again: the refused
    // controller is left alone.
    UvcControllerOptions other = UvcControllerOptions::cypress("MKT-210054321");
    other.vendorId = 0x1234;
    bus.plug(tyvo::sim::UvcControllerModel::create(other));
    std::this_thread::sleep_for(300ms);
    const std::size_t joinedWhileRefused = joiner->joined();
    // Resuming clears the refusals: it is taken, and refused, again.
    monitor->ResumeDevices();
    const bool retaken = eventually([&] { return joiner->joined() == 2 && monitor->IsRefused(path()); });
    const std::string errors = testing::internal::GetCapturedStderr();
    installStatusNotifier({});

    ASSERT_TRUE(refused);
    EXPECT_TRUE(ended);
    EXPECT_EQ(joinedWhileRefused, 1u);
    EXPECT_TRUE(retaken);
    EXPECT_GE(countOf(errors, "Failed to load calibration.\n"), 1u) << errors;
    LogRecord record;
    ASSERT_TRUE(logs->waitFor("You must recalibrate your device (Settings -> Troubleshooting)", &record));
    EXPECT_EQ(record.severity, LOG_CRITICAL);
    EXPECT_EQ(record.errorCode, EC_BAD_CALIB);
    std::lock_guard<std::mutex> lock(statusLock);
    ASSERT_FALSE(statuses.empty());
    EXPECT_EQ(statuses.front(), "bad_calib");
}

TEST_F(ControllerEndToEnd, AMissingCalibrationThatIsNotRequiredGivesTheDefaultRecord) {
    setting("camera_requires_calib", Value(false));
    UvcControllerOptions options;
    options.calibration = tyvo::sim::CalibrationContent::None;
    plug(options);
    startMonitor();
    const auto device = waitForConfigured<CyUVCDevice>();
    ASSERT_TRUE(device);
    ASSERT_TRUE(eventually([&] { return joiner->joined() == 1 && joiner->collector(0)->count() >= 3; }));
    const auto record = joiner->collector(0)->latest();
    EXPECT_EQ(record->calibration.camera[0][LensParam::RectifiedFocal], 1.0f);
    EXPECT_EQ(record->calibration.camera[1][LensParam::Focal], 100.0f);
    EXPECT_FALSE(monitor->IsRefused(path()));
}

TEST_F(ControllerEndToEnd, CameraModeQhvgaStreamsAQuarterOfTheRows) {
    setting("camera_mode", Value("QHVGA"));
    plug();
    startMonitor();
    const auto device = waitForConfigured<CyUVCDevice>();
    ASSERT_TRUE(device);
    EXPECT_EQ(device->horizontalDivisor(), 2);
    EXPECT_EQ(device->verticalDivisor(), 4);
    ASSERT_TRUE(eventually([&] { return joiner->joined() == 1 && joiner->collector(0)->count() >= 3; }));
    EXPECT_EQ(joiner->collector(0)->latest()->firstImage.height(), 120);
    EXPECT_EQ(model->videoStats().formatsSet.back(), (FrameSize{640, 120}));
}

TEST_F(ControllerEndToEnd, EmbeddedControllersOfBothIdentitiesStream) {
    startMonitor();
    for (const auto& [vendor, product] : {std::pair<std::uint16_t, std::uint16_t>{0x05A9, 0xF580}, {0xF182, 0x1001}}) {
        plug(UvcControllerOptions::embedded(vendor, product, 718));
        const auto device = waitForConfigured<OV580UVCDevice>();
        ASSERT_TRUE(device) << std::hex << vendor << ":" << product;
        EXPECT_EQ(device->serialNumber(), "ZINDO");
        EXPECT_EQ(device->deviceClass(), 8);
        const std::size_t index = joiner->joined() - 1;
        EXPECT_TRUE(joiner->collector(index)->waitForFrames(3));
        ASSERT_TRUE(bus.unplug(port));
        ASSERT_TRUE(eventually([&] { return !monitor->HasContexts(); }));
    }
}

}  // namespace
}  // namespace controllertest
