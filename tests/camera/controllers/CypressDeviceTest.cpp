// The Cypress controller against the emulated controller: the setup at the
// first camera opening, and what each device operation makes the controller
// receive (exposure and gain, frame rate caps, the multiplexed register,
// alternate mode, the row window, resolution requests, calibration).

#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <vector>

#include <bit>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "camera/calibration/LegacyLoader.h"
#include "devices/core/DeviceExceptions.h"
#include "firmware/FirmwareLocation.h"
#include "source/DataStructures/Tyvo.pb.h"
#include "tests/camera/controllers/ControllerFixture.h"
#include "tests/support/TempFolder.h"
#include "tools/ChunkWriter.h"

namespace controllertest {
namespace {

using tyvo::sim::FrameSize;
using tyvo::sim::UvcControl;
using tyvo::sim::UvcControllerOptions;

using CypressDevice = ControllerFixture;

std::vector<std::int32_t> writesOf(const tyvo::sim::UvcControllerModel& model, UvcControl control) {
    std::vector<std::int32_t> values;
    for (const auto& w : model.controlWrites())
        if (w.control == control) values.push_back(w.value);
    return values;
}

TEST_F(CypressDevice, FirstOpeningAuthenticatesAndSetsTheControllerUp) {
    testing::internal::CaptureStdout();
    startCypress();
    const std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_EQ(printed, "FX3 firmware version: 17\nYour Tyvo Controller's Firmware is up to date.\n");

    EXPECT_TRUE(model->hostAuthenticated());
    EXPECT_EQ(device->serialNumber(), "MKT-210012345");
    EXPECT_EQ(device->deviceClass(), 3);
    EXPECT_EQ(device->firmwareVersion(), 17);
    EXPECT_TRUE(logs->waitFor("Tyvo Controller detected: MKT-210012345"));

    // The calibration in use is the controller's block.
    const auto block = serialise(device->currentCalibration());
    EXPECT_TRUE(std::equal(block.begin(), block.end(), model->memory(100, 156).begin()));

    // No "camera_mode": half the rows.
    EXPECT_EQ(device->horizontalDivisor(), 1);
    EXPECT_EQ(device->verticalDivisor(), 2);
    ASSERT_FALSE(model->videoStats().formatsSet.empty());
    EXPECT_EQ(model->videoStats().formatsSet.back(), (FrameSize{640, 240}));

    // The initial controls, in order: exposure 200 µs, gain 16, control 14
    // on, and the multiplexed settings 17 = 0, 16 = 0, 18, 19, 20 = 1.
    EXPECT_EQ(at(UvcControl::ZoomAbsolute), 200);
    EXPECT_EQ(at(UvcControl::Gain), 16);
    EXPECT_EQ(at(UvcControl::Gamma), 1);
    const auto multiplexed = writesOf(*model, UvcControl::Contrast);
    ASSERT_GE(multiplexed.size(), 5u);
    EXPECT_EQ(std::vector<std::int32_t>(multiplexed.begin(), multiplexed.begin() + 5),
              (std::vector<std::int32_t>{0, 1, 66, 67, 68}));
    // As fast as allowed: the rate control gets its cap.
    EXPECT_EQ(at(UvcControl::FocusAbsolute), 1000);
    for (int control : {1, 13, 14, 16, 17, 18, 19, 20})
        EXPECT_EQ(device->cachedControl(control), control == 1                     ? 200
                                                  : control == 13                  ? 16
                                                  : control == 14                  ? 1
                                                  : control == 16 || control == 17 ? 0
                                                                                   : 1)
            << control;
    // Control 5 is not mapped on this controller: nothing is cached.
    EXPECT_EQ(device->cachedControl(5), 0);
    EXPECT_FALSE(device->isReversed());
}

TEST_F(CypressDevice, ExposureBecomesExposureAndGain) {
    startCypress();
    struct Case {
        double sensitivity;
        float seconds;
        int microseconds;
        int gainCode;
    };
    const Case cases[] = {
        {1.0, 1.0f, 200, 23},                           // capped at the limit, the rest as gain 1.4375
        {1.0, 0.00001f, 60, 16},                        // raised to the shortest exposure
        {1.0, 0.00025f, 200, 20},                       // 200 µs and gain 1.25
        {1.0, 0.00015f, 150, 16}, {0.5, 1.0f, 72, 16},  // a quarter of the limit: 71.875 µs
        {2.0, 1.0f, 200, 23},                           // the gain cap holds whatever the limit
        {1.0, -5.0f, 60, 16},
    };
    for (const Case& c : cases) {
        setting("camera_sensitivity", Value(c.sensitivity));
        device->setExposure(c.seconds);
        EXPECT_EQ(at(UvcControl::ZoomAbsolute), c.microseconds) << c.seconds << " s at " << c.sensitivity;
        EXPECT_EQ(at(UvcControl::Gain), c.gainCode) << c.seconds << " s at " << c.sensitivity;
        EXPECT_EQ(device->cachedControl(1), c.microseconds);
        EXPECT_EQ(device->cachedControl(13), c.gainCode);
    }
}

TEST_F(CypressDevice, AControlTheControllerRefusesKeepsItsCachedValue) {
    startCypress();
    model->refuse(UvcControl::ZoomAbsolute);
    device->setExposure(0.00001f);
    EXPECT_EQ(device->cachedControl(1), 200) << "the refused exposure";
    EXPECT_EQ(device->cachedControl(13), 16);
    EXPECT_EQ(at(UvcControl::ZoomAbsolute), 200);
    model->clearRefusals();
    // Controls the device does not list: false, nothing cached or sent.
    const std::size_t writes = model->controlWrites().size();
    for (int control : {0, 2, 4, 5, 6, 21, 22, 23, 26, -1, 1000}) {
        EXPECT_FALSE(device->setControl(control, 7)) << control;
        if (control >= 0 && control < 26) {
            EXPECT_EQ(device->cachedControl(control), 0) << control;
        }
    }
    EXPECT_EQ(model->controlWrites().size(), writes);
}

TEST_F(CypressDevice, FrameRateFollowsTheRowsAndItsCaps) {
    startCypress();
    device->setFrameRate(30.0f);  // half the rows: 8.695652 per frame per second
    EXPECT_EQ(at(UvcControl::FocusAbsolute), 261);
    device->setFrameRate(200.0f);
    EXPECT_EQ(at(UvcControl::FocusAbsolute), 1000);
    device->onRateLimit(true);
    device->setFrameRate(100.0f);
    EXPECT_EQ(at(UvcControl::FocusAbsolute), 382);
    device->setFrameRate(FLT_MAX);
    EXPECT_EQ(at(UvcControl::FocusAbsolute), 382);
    device->onRateLimit(false);
    device->setFrameRate(100.0f);
    EXPECT_EQ(at(UvcControl::FocusAbsolute), 870);

    device->onResolutionRequest(0);  // all rows
    settle(480);
    device->setFrameRate(30.0f);
    EXPECT_EQ(at(UvcControl::FocusAbsolute), 522);
    device->onResolutionRequest(2);  // a quarter
    settle(120);
    device->setFrameRate(30.0f);
    EXPECT_EQ(at(UvcControl::FocusAbsolute), 140);
    device->setFrameRate(0.0f);
    EXPECT_EQ(at(UvcControl::FocusAbsolute), 0);
}

TEST_F(CypressDevice, ResolutionRequestsRestartTheStreamInTheNewFormat) {
    startCypress();
    const std::size_t before = frames->count();
    device->onResolutionRequest(2);
    EXPECT_EQ(device->verticalDivisor(), 4);
    ASSERT_TRUE(eventually([&] {
        auto latest = frames->latest();
        return frames->count() > before && latest && latest->firstImage.height() == 120;
    }));
    device->onResolutionRequest(0);
    ASSERT_TRUE(eventually([&] {
        auto latest = frames->latest();
        return latest && latest->firstImage.height() == 480;
    }));
    EXPECT_EQ(device->verticalDivisor(), 1);
    // Levels outside 0 to 2 change nothing.
    device->onResolutionRequest(3);
    device->onResolutionRequest(-1);
    EXPECT_EQ(device->verticalDivisor(), 1);
    const auto formats = model->videoStats().formatsSet;
    EXPECT_EQ(formats.back(), (FrameSize{640, 480}));
    // Every opening authenticates again; the setup ran once.
    EXPECT_EQ(model->videoStats().streamOns, 3u);
    EXPECT_TRUE(model->hostAuthenticated());
    EXPECT_EQ(logs->countOf("Tyvo Controller detected"), 1u);
}

TEST_F(CypressDevice, OrientationTogglesOneSettingOfTheMultiplexedRegister) {
    startCypress();
    device->onToggleOrientation();
    EXPECT_EQ(at(UvcControl::Contrast), 1 * 64 + 1);
    EXPECT_TRUE(device->isReversed());
    EXPECT_TRUE(logs->waitFor("Reversed tracking orientation"));
    device->toggleOrientation();
    EXPECT_EQ(at(UvcControl::Contrast), 0 * 64 + 1);
    EXPECT_FALSE(device->isReversed());
    EXPECT_EQ(logs->countOf("Reversed tracking orientation"), 1u);
}

TEST_F(CypressDevice, AlternateModeOnAndOff) {
    startCypress();
    device->setAlternateMode(true);
    EXPECT_EQ(device->verticalDivisor(), 1);
    settle(480);
    EXPECT_EQ(at(UvcControl::ZoomAbsolute), 64);
    EXPECT_EQ(at(UvcControl::Gamma), 1);
    EXPECT_EQ(at(UvcControl::BacklightCompensation), 0);
    EXPECT_EQ(device->cachedControl(17), 1);
    EXPECT_EQ(device->cachedControl(15), 0);
    // 17 went first; 15 re-applied the full rows.
    const auto multiplexed = writesOf(*model, UvcControl::Contrast);
    EXPECT_EQ(multiplexed.back(), 1 * 64 + 0);
    device->setAlternateMode(false);
    EXPECT_EQ(at(UvcControl::Contrast), 0);
    EXPECT_EQ(device->cachedControl(17), 0);
    EXPECT_EQ(device->cachedControl(1), 64) << "off touches nothing else";
}

TEST_F(CypressDevice, RowWindowFromTheProjectedBox) {
    startCypress();
    struct Case {
        int level;          // resolution request: vertical divisor 1, 2, 4
        float top, bottom;  // rectified rows of the box
        int code;
        int centre;  // -1: near the middle (240), even
    };
    const Case cases[] = {
        {2, -0.02f, 0.02f, 2, -1},                               // a narrow band in the middle: a quarter of the rows
        {2, -0.5f, -0.45f, 2, 60},                               // near the top: the window stays on the sensor
        {2, 0.45f, 0.5f, 2, 420},                                // near the bottom
        {2, -0.2f, 0.2f, 1, -1},                                 // more than 120 rows: half
        {2, -0.4f, 0.4f, 0, 240},                                // more than 240 rows: all of them
        {1, -0.02f, 0.02f, 1, -1},                               // half the rows at most
        {1, -0.5f, -0.45f, 1, 120}, {0, -0.02f, 0.02f, 0, 240},  // all rows: the whole sensor
    };
    for (const Case& c : cases) {
        device->onResolutionRequest(c.level);
        settle(480 >> c.level);
        const float box[6] = {-0.1f, 0.1f, 0.1f, -0.1f, c.top, c.bottom};
        device->setRegionOfInterest(box);
        const int centre = device->cachedControl(24);
        EXPECT_EQ(device->cachedControl(25), c.code) << c.top << ".." << c.bottom << " level " << c.level;
        if (c.centre >= 0) {
            EXPECT_EQ(centre, c.centre) << c.top << ".." << c.bottom << " level " << c.level;
        } else {
            EXPECT_NEAR(centre, 240, 8) << c.top << ".." << c.bottom << " level " << c.level;
        }
        EXPECT_EQ(centre % 2, 0);
        // Code first, then the first row; both through the multiplexed
        // register.
        const auto multiplexed = writesOf(*model, UvcControl::Contrast);
        ASSERT_GE(multiplexed.size(), 2u);
        EXPECT_EQ(multiplexed[multiplexed.size() - 2], c.code * 64 + 6);
        EXPECT_EQ(multiplexed.back(), centre * 64 + 5);
    }
}

TEST_F(CypressDevice, ControlMappingOntoCaptureControls) {
    startCypress();
    struct Case {
        int control;
        int value;
        UvcControl capture;
        std::int32_t sent;
    };
    const Case cases[] = {
        {1, 321, UvcControl::ZoomAbsolute, 321},
        {3, 5, UvcControl::IrisAbsolute, 5},
        {7, 9, UvcControl::Hue, 9},
        {13, 40, UvcControl::Gain, 40},
        {14, 0, UvcControl::Gamma, 0},
        {15, 2, UvcControl::BacklightCompensation, 2},
        {17, 1, UvcControl::Contrast, 64},
        {16, 1, UvcControl::Contrast, 65},
        {18, 0, UvcControl::Contrast, 2},
        {19, 0, UvcControl::Contrast, 3},
        {20, 0, UvcControl::Contrast, 4},
        {24, 200, UvcControl::Contrast, 200 * 64 + 5},
        {25, 2, UvcControl::Contrast, 2 * 64 + 6},
    };
    for (const Case& c : cases) {
        EXPECT_TRUE(device->setControl(c.control, c.value)) << c.control;
        EXPECT_EQ(at(c.capture), c.sent) << c.control;
    }
    // Control 15 re-applies the resolution, here unchanged.
    EXPECT_EQ(model->videoStats().formatsSet.back(), (FrameSize{640, 240}));
}

TEST_F(CypressDevice, WithoutACalibrationAndNotRequiredTheDefaultRecordIsUsed) {
    setting("camera_requires_calib", Value(false));
    UvcControllerOptions options;
    options.calibration = tyvo::sim::CalibrationContent::Corrupt;
    startCypress(options);
    const Calibration calibration = device->currentCalibration();
    EXPECT_EQ(calibration.camera[0][LensParam::RectifiedFocal], 1.0f);
    EXPECT_EQ(calibration.camera[0][LensParam::Focal], 100.0f);
    EXPECT_EQ(calibration.camera[1][LensParam::Focal], 100.0f);
    // Nothing was written to the controller.
    EXPECT_EQ(model->memory(48, 1)[0], 0);
}

TEST_F(CypressDevice, CameraModeChoosesTheDivisors) {
    struct Case {
        const char* mode;
        int horizontal, vertical, height;
    };
    // One controller per mode, one after the other on the same port.
    for (const Case c : {Case{"QHVGA", 2, 4, 120}, Case{"VGA", 1, 1, 480}, Case{"QVGA", 2, 2, 240},
                         Case{"HHVGA", 1, 4, 120}, Case{"XGA", 1, 2, 240}}) {
        setting("camera_mode", Value(c.mode));
        startCypress();
        EXPECT_EQ(device->horizontalDivisor(), c.horizontal) << c.mode;
        EXPECT_EQ(device->verticalDivisor(), c.vertical) << c.mode;
        EXPECT_EQ(model->videoStats().formatsSet.back(), (FrameSize{640, static_cast<std::uint32_t>(c.height)}))
            << c.mode;
        ASSERT_TRUE(frames->latest());
        EXPECT_EQ(frames->latest()->firstImage.height(), c.height) << c.mode;
        deviceContext->RequestShutdown();
        device.reset();
        deviceContext.reset();
        frames = std::make_shared<FrameCollector>();
        bus.unplug(port);
    }
}

// A user data folder holding the older calibration file of one serial:
// both cameras with the emulated controller's sample lenses, t = 1.25.
class LegacyCalibrationFile {
public:
    explicit LegacyCalibrationFile(const std::string& serial) {
        namespace msg = Tyvo::Message;
        const auto lenses = tyvo::sim::sampleControllerCalibration().cameras;
        msg::LegacyCalibrationHeader header;
        for (int c = 0; c < 2; ++c) {
            const auto& p = lenses[c];
            msg::LegacyCalibration* camera = header.add_cameras();
            camera->set_camera(c);
            putFloats(camera->mutable_map_x(), {p[0], p[1], p[2], p[3], p[4], p[5], p[6], p[7], p[8], p[9], p[10]});
            putFloats(camera->mutable_map_y(), {p[11], p[12], p[13]});
            msg::CameraExtrinsic* extrinsic = camera->mutable_extrinsic();
            extrinsic->set_param_1(4);
            extrinsic->set_param_4(p[14]);
            extrinsic->set_param_5(p[15]);
            extrinsic->set_param_6(p[16]);
            extrinsic->set_param_7(0.04);
            extrinsic->set_param_8(1.0);
        }
        const std::string payload = header.SerializeAsString();
        const auto chunk =
            MakeChunkFile(std::span(reinterpret_cast<const std::uint8_t*>(payload.data()), payload.size()));
        std::ofstream(LegacyLoader::pathForSerial(serial), std::ios::binary)
            << "HEAD" << std::string(chunk.begin(), chunk.end());
    }

private:
    static void putFloats(Tyvo::Message::FloatImage* image, std::initializer_list<float> values) {
        std::string data;
        for (float v : values)
            for (int k = 0; k < 4; ++k) data.push_back(static_cast<char>(std::bit_cast<std::uint32_t>(v) >> (8 * k)));
        image->set_width(static_cast<int>(values.size()));
        image->set_height(1);
        image->set_data(data);
    }

    // Built before the body writes the file: the folder, then APPDATA on it.
    TempFolder m_home{"tyvo-legacy"};
    ScopedEnvironment m_appData{"APPDATA", m_home.string()};
};

TEST_F(CypressDevice, EarlyKitsFallBackToTheirCalibrationFileAndKeepItInTheController) {
    LegacyCalibrationFile file("MKT-360012345");
    UvcControllerOptions options = UvcControllerOptions::cypress("MKT-360012345");
    options.calibration = tyvo::sim::CalibrationContent::None;
    startCypress(options);
    EXPECT_EQ(device->deviceClass(), 4);
    const Calibration calibration = device->currentCalibration();
    EXPECT_EQ(calibration.camera[0][LensParam::RectifiedFocal], 1.25f);
    EXPECT_EQ(calibration.camera[1][LensParam::Focal], 428.75f);
    // Written into the controller, with the calibration-written flag.
    const auto block = serialise(calibration);
    EXPECT_TRUE(std::equal(block.begin(), block.end(), model->memory(100, 156).begin()));
    EXPECT_EQ(model->memory(48, 1)[0], 1);
}

TEST_F(CypressDevice, OtherKitsDoNotLookForACalibrationFile) {
    setting("camera_requires_calib", Value(false));
    LegacyCalibrationFile file("MKT-480012345");
    UvcControllerOptions options = UvcControllerOptions::cypress("MKT-480012345");
    options.calibration = tyvo::sim::CalibrationContent::None;
    startCypress(options);
    EXPECT_EQ(device->deviceClass(), 5);
    EXPECT_EQ(device->currentCalibration().camera[0][LensParam::RectifiedFocal], 1.0f) << "the default record";
    EXPECT_EQ(model->memory(48, 1)[0], 0);
}

// The kits of classes 3, 4 and 6 kept their calibration in a file; no
// other class looks for one, even with a file of its serial at hand.
TEST_F(CypressDevice, TheCalibrationFileIsLookedForByClasses3_4And6Only) {
    setting("camera_requires_calib", Value(false));
    struct Case {
        const char* serial;
        int deviceClass;
        bool fromFile;
    };
    for (const Case c : {Case{"MKT-210012345", 3, true}, Case{"MKT-570012345", 6, true}, Case{"OLDKIT", 2, false},
                         Case{"QK0012345", 7, false}}) {
        LegacyCalibrationFile file(c.serial);
        UvcControllerOptions options = UvcControllerOptions::cypress(c.serial);
        options.calibration = tyvo::sim::CalibrationContent::None;
        startCypress(options);
        EXPECT_EQ(device->deviceClass(), c.deviceClass) << c.serial;
        EXPECT_EQ(device->currentCalibration().camera[0][LensParam::RectifiedFocal], c.fromFile ? 1.25f : 1.0f)
            << c.serial;
        EXPECT_EQ(model->memory(48, 1)[0], c.fromFile ? 1 : 0) << c.serial;
        deviceContext->RequestShutdown();
        device.reset();
        deviceContext.reset();
        frames = std::make_shared<FrameCollector>();
        bus.unplug(port);
    }
}

// An erased version area (0xFFFF) is version -1 as a signed 16-bit number:
// old firmware, so the controller is updated, not taken as up to date.
TEST_F(CypressDevice, AnErasedVersionAreaIsMinusOneAndLeadsToTheUpdate) {
    // No firmware files: the update stops before the controller is touched,
    // and its failure ends the device's setup.
    TempFolder noFirmware{"tyvo-no-firmware"};
    SetFirmwareFolder(noFirmware.string());
    plug(UvcControllerOptions::cypress("MKT-210012345", -1));
    ASSERT_EQ(model->memory(98, 2), (tyvo::sim::Bytes{0xFF, 0xFF}));
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    device = build<CyUVCDevice>();
    run();
    const bool updating = logs->waitFor("Tyvo Controller firmware version -1 is out of date.");
    const bool ended = eventually([&] { return device->capture().IsCompleted(); });
    const std::string printed = testing::internal::GetCapturedStdout();
    const std::string errors = testing::internal::GetCapturedStderr();
    SetFirmwareFolder({});
    EXPECT_TRUE(updating);
    EXPECT_TRUE(ended);
    EXPECT_EQ(printed.rfind("FX3 firmware version: -1\n", 0), 0u) << printed;
    EXPECT_EQ(printed.find("up to date"), std::string::npos) << printed;
    EXPECT_NE(errors.find("Firmware update failed."), std::string::npos) << errors;
    EXPECT_FALSE(device->configured());
}

// A controller that goes away while its calibration is read says nothing
// about the calibration: the disconnection ends the setup as it is, and is
// neither taken for a missing calibration (which would refuse the device)
// nor replaced by the default record.
class DisconnectingCypress : public CyUVCDevice {
public:
    Calibration readCalibration() override {
        ++reads;
        throw NotConnectedException();
    }
    std::atomic<int> reads{0};
};

TEST_F(CypressDevice, DisconnectionWhileReadingTheCalibrationIsNotTakenForABadCalibration) {
    for (const bool required : {false, true}) {
        setting("camera_requires_calib", Value(required));
        plug();
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        auto disconnecting = build<DisconnectingCypress>();
        run();
        const bool ended = eventually([&] { return disconnecting->capture().IsCompleted(); });
        testing::internal::GetCapturedStdout();
        const std::string errors = testing::internal::GetCapturedStderr();
        ASSERT_TRUE(ended) << "the setup went on after the disconnection (calibration required: " << required << ")";
        EXPECT_EQ(disconnecting->reads, 1);
        EXPECT_FALSE(disconnecting->configured());
        EXPECT_NE(errors.find("Device is no longer connected"), std::string::npos) << errors;
        EXPECT_EQ(errors.find("Failed to load calibration."), std::string::npos) << errors;
        EXPECT_EQ(logs->countOf("You must recalibrate your device (Settings -> Troubleshooting)"), 0u);
        deviceContext->RequestShutdown();
        disconnecting.reset();
        deviceContext.reset();
        bus.unplug(port);
    }
}

}  // namespace
}  // namespace controllertest
