// The embedded controller against the emulated controller: authentication
// only above firmware 7.17, the serial and class every embedded controller
// has, the sensor registers behind its controls, gain codes and exposure
// lines, and a setup that ends at a bad calibration block.

#include <gtest/gtest.h>

#include <algorithm>

#include "sim/controller/ControllerMemory.h"
#include "tests/camera/controllers/ControllerFixture.h"

namespace controllertest {
namespace {

using tyvo::sim::FrameSize;
using tyvo::sim::UvcControl;
using tyvo::sim::UvcControllerOptions;

using EmbeddedDevice = ControllerFixture;

std::uint8_t registerOf(const tyvo::sim::UvcControllerModel& model, std::uint32_t address) {
    return model.memory(address, 1)[0];
}

// An embedded controller whose mirror register holds other bits too.
UvcControllerOptions withMirrorRegister(std::uint8_t value, int firmwareVersion = 718) {
    UvcControllerOptions options = UvcControllerOptions::embedded(0x05A9, 0xF580, firmwareVersion);
    tyvo::sim::ControllerMemory memory(tyvo::sim::ControllerKind::Embedded);
    memory.setSerial(options.serial);
    memory.load(100, tyvo::sim::encodeControllerCalibration(options.calibrationContent));
    memory.load(OV580UVCDevice::kMirrorRegister, {value});
    options.memory = memory.bytes(0, tyvo::sim::controller_memory::kSize);
    return options;
}

TEST_F(EmbeddedDevice, AuthenticatedFrom718AndSetUp) {
    testing::internal::CaptureStdout();
    startEmbedded(withMirrorRegister(0xA7));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Zindo Firmware v718\n");
    EXPECT_TRUE(model->hostAuthenticated());
    EXPECT_EQ(embedded->serialNumber(), "ZINDO");
    EXPECT_EQ(embedded->deviceClass(), 8);
    EXPECT_EQ(embedded->firmwareVersion(), 718);
    EXPECT_TRUE(logs->waitFor("Tyvo Embedded Controller detected: ZINDO"));

    // Alternate mode off: all rows, one line more than the image; 360 µs
    // as 10 sensor lines and gain 2 as code 16.
    EXPECT_EQ(model->videoStats().formatsSet.back(), (FrameSize{640, 481}));
    EXPECT_EQ(at(UvcControl::BacklightCompensation), 10);
    EXPECT_EQ(at(UvcControl::Gain), 16);
    EXPECT_EQ(registerOf(*model, OV580UVCDevice::kControl15Register), 0xFF);
    EXPECT_EQ(registerOf(*model, OV580UVCDevice::kControl19Register), 8);
    // Orientation 0 clears bit 2 and keeps the others.
    EXPECT_EQ(registerOf(*model, OV580UVCDevice::kMirrorRegister), 0xA3);
    EXPECT_EQ(embedded->cachedControl(1), 360);
    EXPECT_EQ(embedded->cachedControl(13), 32);
    EXPECT_EQ(embedded->cachedControl(19), 1);
    // Nothing went through the frame rate control.
    for (const auto& w : model->controlWrites()) EXPECT_NE(w.control, UvcControl::FocusAbsolute);
    const auto block = serialise(embedded->currentCalibration());
    EXPECT_TRUE(std::equal(block.begin(), block.end(), model->memory(100, 156).begin()));
}

// The embedded host never reads the blank-serial bytes at 14 and 15: a
// blank embedded controller hashes the fixed salt, and the two agree.
TEST_F(EmbeddedDevice, ABlankSerialAreaAuthenticatesWithTheFixedSalt) {
    UvcControllerOptions options = UvcControllerOptions::embedded();
    options.serial.clear();
    options.blankSalt = {0xA7, 0x19};  // what a host that read them would hash instead
    testing::internal::CaptureStdout();
    startEmbedded(options);
    testing::internal::GetCapturedStdout();
    ASSERT_EQ(model->memory(0, 1)[0], 0xFF) << "the serial area is blank";
    EXPECT_TRUE(model->hostAuthenticated());
    EXPECT_EQ(logs->countOf("Device authentication failed."), 0u);
    EXPECT_EQ(embedded->serialNumber(), "ZINDO");
    EXPECT_EQ(embedded->deviceClass(), 8);
}

TEST_F(EmbeddedDevice, Version717IsNotAuthenticated) {
    testing::internal::CaptureStdout();
    startEmbedded(UvcControllerOptions::embedded(0xF182, 0x1001, 717));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Zindo Firmware v717\n");
    EXPECT_FALSE(model->hostAuthenticated());
    // No challenge was written.
    EXPECT_EQ(model->memory(16, 4), (tyvo::sim::Bytes{0, 0, 0, 0}));
    EXPECT_EQ(embedded->serialNumber(), "ZINDO");
    EXPECT_EQ(embedded->deviceClass(), 8);
}

TEST_F(EmbeddedDevice, FailedAuthenticationOnlyLogsAndFramesStillFlow) {
    plug(UvcControllerOptions::embedded());
    model->answerAuthenticationWrongly(true);
    embedded = build<OV580UVCDevice>();
    run();
    LogRecord record;
    ASSERT_TRUE(logs->waitFor("Device authentication failed.", &record));
    EXPECT_EQ(record.severity, LOG_CRITICAL);
    EXPECT_EQ(record.errorCode, EC_BAD_DEVICE_AUTH);
    ASSERT_TRUE(frames->waitForFrames(3));
    EXPECT_FALSE(embedded->configured());
    EXPECT_EQ(embedded->serialNumber(), "");
    EXPECT_EQ(frames->latest()->calibration.camera[0][LensParam::RectifiedFocal], 1.0f);
}

TEST_F(EmbeddedDevice, GainCodesAndExposureLines) {
    startEmbedded();
    const std::pair<int, int> gains[] = {{15, 0},   {16, 0},   {31, 15}, {32, 16},  {62, 31},  {63, 32},
                                         {126, 48}, {252, 64}, {0, 0},   {100, 41}, {251, 63}, {1000, 111}};
    for (const auto& [gain, code] : gains) {
        EXPECT_EQ(OV580UVCDevice::sensorGainCode(gain), code) << gain;
        EXPECT_TRUE(embedded->setControl(13, gain));
        EXPECT_EQ(at(UvcControl::Gain), code) << gain;
    }
    const std::pair<int, int> exposures[] = {{360, 10}, {0, 0}, {17, 0}, {18, 1}, {1000, 28}, {-20, 0}};
    for (const auto& [microseconds, lines] : exposures) {
        EXPECT_TRUE(embedded->setControl(1, microseconds));
        EXPECT_EQ(at(UvcControl::BacklightCompensation), lines) << microseconds;
    }
    // Every requested time sends 360 µs; the rest is gain, capped at 2.4.
    struct Case {
        double sensitivity;
        float seconds;
        int gainTimes16;
    };
    for (const Case& c : {Case{1.0, 1.0f, 32}, Case{1.0, 0.0001f, 16}, Case{2.0, 1.0f, 38}, Case{1.0, 0.0005f, 22}}) {
        setting("camera_sensitivity", Value(c.sensitivity));
        embedded->setExposure(c.seconds);
        EXPECT_EQ(at(UvcControl::BacklightCompensation), 10) << c.seconds;
        EXPECT_EQ(embedded->cachedControl(13), c.gainTimes16) << c.seconds << " at " << c.sensitivity;
        EXPECT_EQ(at(UvcControl::Gain), OV580UVCDevice::sensorGainCode(c.gainTimes16));
    }
}

TEST_F(EmbeddedDevice, OrientationFlipsBit2AndKeepsTheRest) {
    startEmbedded(withMirrorRegister(0x5B));
    EXPECT_EQ(registerOf(*model, OV580UVCDevice::kMirrorRegister), 0x5B);
    embedded->toggleOrientation();
    EXPECT_EQ(registerOf(*model, OV580UVCDevice::kMirrorRegister), 0x5F);
    EXPECT_EQ(embedded->cachedControl(16), 1);
    EXPECT_FALSE(embedded->isReversed()) << "this device never reports reversed";
    EXPECT_TRUE(logs->waitFor("Reversed device orientation"));
    embedded->toggleOrientation();
    EXPECT_EQ(registerOf(*model, OV580UVCDevice::kMirrorRegister), 0x5B);
    // The pipeline's toggle and rate limit mean nothing here.
    embedded->onToggleOrientation();
    embedded->onRateLimit(true);
    EXPECT_EQ(registerOf(*model, OV580UVCDevice::kMirrorRegister), 0x5B);
    EXPECT_EQ(embedded->cachedControl(16), 0);
}

TEST_F(EmbeddedDevice, RegisterControlsAndResolutionRequests) {
    startEmbedded();
    const struct {
        int control, value;
        std::uint32_t address;
        std::uint8_t written;
    } cases[] = {
        {15, 1, OV580UVCDevice::kControl15Register, 0x00}, {15, 2, OV580UVCDevice::kControl15Register, 0xAA},
        {15, 0, OV580UVCDevice::kControl15Register, 0xFF}, {19, 0, OV580UVCDevice::kControl19Register, 0},
        {19, 1, OV580UVCDevice::kControl19Register, 8},    {21, 1, OV580UVCDevice::kResolutionRegister, 1},
        {21, 4, OV580UVCDevice::kResolutionRegister, 0},
    };
    for (const auto& c : cases) {
        EXPECT_TRUE(embedded->setControl(c.control, c.value)) << c.control;
        EXPECT_EQ(registerOf(*model, c.address), c.written) << c.control << "=" << c.value;
    }
    for (int control : {2, 3, 5, 7, 14, 17, 18, 20, 24, 25}) EXPECT_FALSE(embedded->setControl(control, 1)) << control;

    const struct {
        int level, height, control21;
        std::uint8_t written;
    } levels[] = {{2, 120, 0, 0}, {1, 240, 1, 1}, {0, 480, 4, 0}};
    for (const auto& l : levels) {
        embedded->onResolutionRequest(l.level);
        settle(l.height);
        EXPECT_EQ(model->videoStats().formatsSet.back(), (FrameSize{640, static_cast<std::uint32_t>(l.height) + 1}));
        EXPECT_EQ(embedded->cachedControl(21), l.control21);
        EXPECT_EQ(registerOf(*model, OV580UVCDevice::kResolutionRegister), l.written);
    }
    embedded->setFrameRate(60.0f);
    for (const auto& w : model->controlWrites()) EXPECT_NE(w.control, UvcControl::FocusAbsolute);

    embedded->setAlternateMode(true);
    EXPECT_EQ(at(UvcControl::BacklightCompensation), 0);
    EXPECT_EQ(at(UvcControl::Gain), 0);
    EXPECT_EQ(registerOf(*model, OV580UVCDevice::kControl15Register), 0xFF);
    EXPECT_EQ(embedded->cachedControl(13), 16);
}

TEST_F(EmbeddedDevice, ABadCalibrationBlockEndsTheSetup) {
    UvcControllerOptions options = UvcControllerOptions::embedded();
    options.calibration = tyvo::sim::CalibrationContent::Corrupt;
    plug(options);
    embedded = build<OV580UVCDevice>();
    testing::internal::CaptureStderr();
    run();
    // The exception leaves the event and ends the capture thread, which
    // stops the device's context.
    const bool stopped = eventually([&] { return deviceContext->IsStopping(); });
    embedded->capture().WaitForCompletion();
    const std::string printed = testing::internal::GetCapturedStderr();
    ASSERT_TRUE(stopped);
    EXPECT_NE(printed.find("Fatal error: Corrupt calibration data (Incorrect checksum)\n"), std::string::npos);
    EXPECT_FALSE(embedded->configured());
    EXPECT_EQ(embedded->serialNumber(), "ZINDO");
}

}  // namespace
}  // namespace controllertest
