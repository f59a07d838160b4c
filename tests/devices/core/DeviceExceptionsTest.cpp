#include <gtest/gtest.h>

#include <cstring>

#include "devices/core/DeviceExceptions.h"

namespace {

TEST(DeviceExceptions, ScorchIsAHardwareFailure) {
    try {
        throw scorch_exception("Firmware update failed.");
    } catch (const hardware_exception& e) {
        EXPECT_STREQ(e.what(), "Firmware update failed.");
        return;
    }
    FAIL();
}

TEST(DeviceExceptions, LostDeviceIsADeviceFailureButNotScorched) {
    device_lost_exception lost("gone");
    const std::exception& asStd = lost;
    EXPECT_NE(dynamic_cast<const device_exception*>(&asStd), nullptr);
    EXPECT_EQ(dynamic_cast<const scorch_exception*>(&asStd), nullptr);
    EXPECT_EQ(dynamic_cast<const hardware_exception*>(&asStd), nullptr);
}

TEST(DeviceExceptions, MessagesAreTheGivenTexts) {
    EXPECT_EQ(std::strlen(device_exception("").what()), 0u);
    EXPECT_STREQ(device_exception().what(), "");
    EXPECT_STREQ(NotConnectedException().what(), "Device is no longer connected");
    EXPECT_STREQ(calibration_exception("bad").what(), "bad");
}

}  // namespace
