// The emulated controller's device side without a bus: its memory map,
// authentication answers, update mailbox, calibration block and controls,
// and the FX3 that boots into it from a controller image in flash.

#include <gtest/gtest.h>

#include <linux/videodev2.h>

#include <thread>

#include "camera/calibration/Calibration.h"
#include "devices/core/DeviceExceptions.h"
#include "firmware/FX3BootImage.h"
#include "sim/controller/ControllerFirmwareBoot.h"
#include "sim/controller/ControllerMemory.h"
#include "sim/controller/UvcControllerModel.h"
#include "tools/SyntheticImages.h"

namespace tyvo::sim {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

Bytes Hex(const char* text) {
    Bytes out;
    for (const char* p = text; p[0] && p[1]; p += 2)
        out.push_back(static_cast<uint8_t>(std::stoi(std::string(p, 2), nullptr, 16)));
    return out;
}

Bytes Read(const ControllerMemory& memory, uint32_t address, std::size_t length) {
    Bytes out;
    for (std::size_t i = 0; i < length; ++i)
        out.push_back(memory.read(address + static_cast<uint32_t>(i), Clock::now()));
    return out;
}

void Write(ControllerMemory& memory, uint32_t address, const Bytes& bytes, Clock::time_point now = Clock::now()) {
    for (std::size_t i = 0; i < bytes.size(); ++i) memory.write(address + static_cast<uint32_t>(i), bytes[i], now);
}

// Digests worked out independently (SHA-1 of serial area, salt, challenge).
TEST(ControllerMemory, TheResponseIsTheDigestOfSerialSaltAndChallenge) {
    ControllerMemory memory(ControllerKind::Cypress);
    memory.setSerial("MKT-210012345");
    Write(memory, 16, {1, 2, 3, 4});
    const Bytes digest = Hex("1dbeedc36f082867884660da0021f817c480d151");
    EXPECT_EQ(Read(memory, 20, 12), Bytes(digest.begin(), digest.begin() + 12));
    EXPECT_FALSE(memory.hostAuthenticated());
    Write(memory, 32, Bytes(digest.begin() + 12, digest.end()));
    const uint32_t head =
        (digest[0] | digest[1] << 8 | digest[2] << 16 | static_cast<uint32_t>(digest[3]) << 24) ^ 0x5A1C7E93u;
    Write(memory, 44, {uint8_t(head), uint8_t(head >> 8), uint8_t(head >> 16), uint8_t(head >> 24)});
    EXPECT_TRUE(memory.hostAuthenticated());
    memory.setWrongAuthentication(true);
    EXPECT_NE(Read(memory, 20, 12), Bytes(digest.begin(), digest.begin() + 12));
}

TEST(ControllerMemory, ABlankSerialAuthenticatesWithTheControllersOwnSalt) {
    ControllerMemory memory(ControllerKind::Cypress);
    memory.setSerial("");
    memory.setBlankSalt({0xA7, 0x19});
    EXPECT_EQ(Read(memory, 0, 14), Bytes(14, 0xFF));
    EXPECT_EQ(memory.serialText(), "");
    Write(memory, 16, {9, 8, 7, 6});
    const Bytes digest = Hex("f796ba3d43d22761305fb9d7bd34dae4e1318b52");
    EXPECT_EQ(Read(memory, 20, 12), Bytes(digest.begin(), digest.begin() + 12));
}

TEST(ControllerMemory, FirmwareVersionLayoutPerVariant) {
    ControllerMemory cypress(ControllerKind::Cypress);
    cypress.setFirmwareVersion(16);
    EXPECT_EQ(Read(cypress, 98, 2), (Bytes{16, 0}));
    cypress.setFirmwareVersion(-2);
    EXPECT_EQ(cypress.firmwareVersion(), -2);
    ControllerMemory embedded(ControllerKind::Embedded);
    embedded.setFirmwareVersion(718);
    EXPECT_EQ(Read(embedded, 98, 2), (Bytes{7, 18}));
    EXPECT_EQ(embedded.firmwareVersion(), 718);
}

TEST(ControllerMemory, TheMailboxOpensOnTheStartCodeAndTakesWordsOnceReady) {
    ControllerMemory memory(ControllerKind::Cypress);
    memory.setMailboxDelay(50ms);
    const auto t0 = Clock::now();
    EXPECT_FALSE(memory.takeUpdateWord(0x1234, t0));  // not in update mode
    Write(memory, 0x28, {0xC4, 0x17, 0x3A}, t0);
    EXPECT_FALSE(memory.inUpdateMode());  // three bytes are no code yet
    EXPECT_EQ(memory.write(0x2B, 0x5D, t0), ControllerMemory::Effect::UpdateStarted);
    EXPECT_EQ(memory.read(0x28, t0 + 10ms), 0xC4);
    EXPECT_FALSE(memory.takeUpdateWord(0x1234, t0 + 10ms));
    EXPECT_EQ(memory.read(0x28, t0 + 60ms), 0xFF);
    EXPECT_TRUE(memory.takeUpdateWord(0x1234, t0 + 60ms));
    EXPECT_TRUE(memory.takeUpdateWord(0xABCD, t0 + 61ms));
    Write(memory, 0x28, {0x4F, 0xE9, 0x86}, t0 + 70ms);
    EXPECT_EQ(memory.write(0x2B, 0x2B, t0 + 70ms), ControllerMemory::Effect::UpdateFinished);
    EXPECT_EQ(memory.receivedImage(), (Bytes{0x34, 0x12, 0xCD, 0xAB}));
    EXPECT_FALSE(memory.takeUpdateWord(0x1111, t0 + 80ms));
}

TEST(ControllerModel, ItsCalibrationBlockPassesTheToolsChecks) {
    auto valid = UvcControllerModel::create();
    CalibrationBlock block{};
    const Bytes bytes = valid->memory(100, 156);
    std::copy(bytes.begin(), bytes.end(), block.begin());
    const Calibration parsed(block);
    EXPECT_EQ(parsed.version, 3);
    EXPECT_FLOAT_EQ(parsed.stereoS, 0.04f);

    UvcControllerOptions corrupt;
    corrupt.calibration = CalibrationContent::Corrupt;
    const Bytes bad = UvcControllerModel::create(corrupt)->memory(100, 156);
    std::copy(bad.begin(), bad.end(), block.begin());
    try {
        Calibration rejected(block);
        FAIL() << "a corrupt block was accepted";
    } catch (const calibration_exception& e) {
        EXPECT_STREQ(e.what(), "Fatal error: Corrupt calibration data (Incorrect checksum)");
    }

    UvcControllerOptions none;
    none.calibration = CalibrationContent::None;
    EXPECT_EQ(UvcControllerModel::create(none)->memory(100, 156), Bytes(156, 0xFF));
}

TEST(ControllerModel, TheWindowControlsReachItsMemory) {
    auto model = UvcControllerModel::create(UvcControllerOptions::embedded());
    EXPECT_EQ(model->setControl(V4L2_CID_SHARPNESS, 0x3821), 0);
    EXPECT_EQ(model->setControl(V4L2_CID_SATURATION, 0x1FF), 0);  // clamped to the range
    int32_t value = 0;
    EXPECT_EQ(model->getControl(V4L2_CID_SATURATION, value), 0);
    EXPECT_EQ(value, 0xFF);
    EXPECT_EQ(model->memory(0x3821, 1), Bytes{0xFF});
    model->refuse(UvcControl::Saturation, 2);
    EXPECT_EQ(model->getControl(V4L2_CID_SATURATION, value), EIO);
    EXPECT_EQ(model->setControl(V4L2_CID_SATURATION, 1), EIO);
    EXPECT_EQ(model->getControl(V4L2_CID_SATURATION, value), 0);
    EXPECT_EQ(model->getControl(V4L2_CID_PAN_ABSOLUTE, value), EINVAL);
    // Exposure and focus are the camera's own until set to manual.
    EXPECT_EQ(model->setControl(V4L2_CID_EXPOSURE_ABSOLUTE, 100), EIO);
    EXPECT_EQ(model->setControl(V4L2_CID_EXPOSURE_AUTO, V4L2_EXPOSURE_MANUAL), 0);
    EXPECT_EQ(model->setControl(V4L2_CID_EXPOSURE_ABSOLUTE, 100), 0);
    EXPECT_EQ(model->setControl(V4L2_CID_FOCUS_ABSOLUTE, 5), EIO);
}

TEST(ControllerFirmwareBoot, AnFx3WithAControllerImagePowersUpAsThatController) {
    Fx3Options options;
    options.firmwareBoot = controllerFirmwareBoot();
    auto chip = Fx3Chip::create(options);
    ControllerImageOptions imageOptions;
    imageOptions.size = 4096;
    imageOptions.firmwareVersion = 17;
    FirmwareImage image = MakeControllerImage(imageOptions);
    ASSERT_TRUE(PersonaliseImage(image, "MKT-480011223"));
    chip->flash().load(0, image);
    auto model = std::dynamic_pointer_cast<UvcControllerModel>(chip->powerUp());
    ASSERT_TRUE(model);
    EXPECT_EQ(chip->mode(), Fx3Chip::Mode::Firmware);
    EXPECT_EQ(model->firmwareVersion(), 17);
    EXPECT_EQ(model->serial(), "MKT-480011223");
    EXPECT_EQ(model->descriptors().productId(), 0x0003);

    // Not personalised yet: the marker is no serial.
    auto blank = Fx3Chip::create(options);
    blank->flash().load(0, MakeControllerImage(imageOptions));
    auto unnamed = std::dynamic_pointer_cast<UvcControllerModel>(blank->powerUp());
    ASSERT_TRUE(unnamed);
    EXPECT_EQ(unnamed->serial(), "");
}

}  // namespace
}  // namespace tyvo::sim
