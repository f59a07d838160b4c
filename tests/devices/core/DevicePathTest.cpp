#include <gtest/gtest.h>

#include "devices/core/DevicePath.h"

namespace {

TEST(DevicePath, InstanceIdentifierBecomesLowerCaseWithHashes) {
    EXPECT_EQ(ToDevicePath(L"USB\\VID_04B4&PID_00F3\\1-2.3"), L"usb#vid_04b4&pid_00f3#1-2.3");
    EXPECT_EQ(ToDevicePath(UsbInstanceId(0x04B4, 0x00F3, "1-2.3")), L"usb#vid_04b4&pid_00f3#1-2.3");
    EXPECT_EQ(UsbInstanceId(0xF182, 0x1001, "2-4"), L"USB\\VID_F182&PID_1001\\2-4");
}

TEST(DevicePath, ParsesVendorAndProduct) {
    uint32_t vid = 0, pid = 0;
    ASSERT_TRUE(ParseDevicePath(L"usb#vid_04b4&pid_00f3#1-2", &vid, &pid));
    EXPECT_EQ(vid, 0x04B4u);
    EXPECT_EQ(pid, 0x00F3u);
    ASSERT_TRUE(ParseDevicePath(L"usb#vid_f182&pid_1001", &vid, &pid));
    EXPECT_EQ(pid, 0x1001u);
}

TEST(DevicePath, RefusesEverythingElse) {
    uint32_t vid = 7, pid = 7;
    const wchar_t* bad[] = {
        L"",
        L"hid#vid_04b4&pid_00f3#1",    // not a USB device path
        L"usb#vid_04b4&mi_00#1",       // composite child
        L"usb#vid_&pid_00f3#1",        // no digits
        L"usb#vid_04b4pid_00f3#1",     // missing &
        L"usb#pid_00f3&vid_04b4#1",    // wrong order
        L"usb#vid_04b4&pid_#1",        // no product digits
        L"usb#vid_1ffffffff&pid_1#1",  // does not fit
        L"USB#VID_04B4&PID_00F3#1",    // paths are lower case
    };
    for (const wchar_t* path : bad) {
        EXPECT_FALSE(ParseDevicePath(path, &vid, &pid)) << std::wstring(path).size();
    }
    EXPECT_EQ(vid, 7u);
    EXPECT_EQ(pid, 7u);
}

}  // namespace
