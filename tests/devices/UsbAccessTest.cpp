// tyvo-reset where USB device access cannot start: run in a sandbox that
// refuses netlink sockets, so that libusb_init fails the way it does in a
// container without USB. The tool must not wait for a controller it can
// never see: one line on standard error, and a failing status.

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "tests/support/ChildProcess.h"

using namespace std::chrono_literals;

namespace {

constexpr int kSandboxUnavailable = 77;  // the wrapper could not install its filter

TEST(UsbAccess, FailingAtStartTheToolSaysWhyOnOneLineAndEndsWithAFailingStatus) {
    testsupport::ChildProcess tool({TYVO_WITHOUT_USB_EVENTS_PATH, TYVO_RESET_PATH}, /*closeStdin=*/true);
    const auto status = tool.Wait(30s);
    ASSERT_TRUE(status.has_value()) << "still waiting in silence; standard error: " << tool.Stderr();
    if (*status == kSandboxUnavailable) GTEST_SKIP() << "this machine refuses seccomp filters: " << tool.Stderr();
    EXPECT_EQ(*status, 1);

    const std::string& err = tool.Stderr();
    ASSERT_FALSE(err.empty());
    EXPECT_EQ(err.find('\n'), err.size() - 1) << "exactly one line: " << err;
    // What failed, libusb's and the system's word for it, and what to check.
    EXPECT_EQ(err.rfind("tyvo-reset: Failed to initialize USB device access: libusb_init: LIBUSB_ERROR_", 0), 0u)
        << err;
    EXPECT_NE(err.find("system error: Permission denied"), std::string::npos) << err;
    EXPECT_NE(err.find("Check that /dev/bus/usb exists"), std::string::npos) << err;

    // The dialogue before it is unchanged: it still asked for the controller.
    EXPECT_NE(tool.Stdout().find("Press Enter to continue."), std::string::npos) << tool.Stdout();
}

// Unattended, the run must not sit out --wait either: the same line, status
// 1, and with --json the outcome object on standard output.
TEST(UsbAccess, FailingAtStartAnUnattendedRunEndsAtOnceWithItsOutcome) {
    testsupport::ChildProcess tool({TYVO_WITHOUT_USB_EVENTS_PATH, TYVO_RESET_PATH, "--yes", "--json", "--wait", "600"},
                                   /*closeStdin=*/true);
    const auto status = tool.Wait(30s);
    ASSERT_TRUE(status.has_value()) << "waited for a controller it cannot see; standard error: " << tool.Stderr();
    if (*status == kSandboxUnavailable) GTEST_SKIP() << "this machine refuses seccomp filters: " << tool.Stderr();
    EXPECT_EQ(*status, 1);
    EXPECT_NE(tool.Stderr().find("tyvo-reset: Failed to initialize USB device access: "), std::string::npos)
        << tool.Stderr();
    const std::string& out = tool.Stdout();
    EXPECT_EQ(out.rfind('{', 0), 0u) << "only the outcome object on standard output: " << out;
    EXPECT_NE(out.find("\"outcome\": \"usb-unavailable\""), std::string::npos) << out;
    EXPECT_NE(out.find("\"status\": 1"), std::string::npos) << out;
}

}  // namespace
