// The stages as the user sees them: the whole console output of a restore,
// and of every way a stage can fail, byte for byte; after each failure the
// next plug-in restores, and the flash ends up holding exactly the
// personalised image.

#include "devices/core/DeviceExceptions.h"
#include "firmware/restore/CyBootLoaderDevice.h"
#include "firmware/restore/CyBootProgrammerDevice.h"
#include "tests/firmware/restore/RestoreTestSupport.h"
#include "tools/SyntheticImages.h"

#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

namespace restoretest {
namespace {

using namespace std::chrono_literals;
using tyvo::sim::EmulatedUsbBus;
using tyvo::sim::FaultKind;
using tyvo::sim::FaultRule;
using tyvo::sim::StandardUsbDevice;

// Device nodes of the emulated bus this process holds open.
int OpenDeviceNodes() {
    int n = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        const auto target = std::filesystem::read_symlink(entry.path(), error);
        if (!error && target.string().find("/dev/bus/usb/") != std::string::npos) ++n;
    }
    return n;
}

class RestoreTranscript : public ::testing::Test {
protected:
    void TearDown() override { bus.stopTimers(); }

    // Out, the firmware files as they should be, in again: a clean restore.
    void ExpectReplugRestores() {
        controller.unplug();
        files.writeAll();
        controller.plug();
        const Attempt again = RunAttempt(controller, TestSettings());
        EXPECT_EQ(again.out, SuccessfulRestoreOutput());
        EXPECT_TRUE(again.restored);
        EXPECT_EQ(FlashProblem(controller.chip(), files.controller()), "");
        EXPECT_EQ(OpenDeviceNodes(), 0);
    }

    EmulatedUsbBus bus;
    UdevListener listener;
    // 70 000 bytes: two sectors, a last piece that is not whole.
    FirmwareFiles files{8 * 1024, 70000};
    Controller controller{bus};
};

TEST_F(RestoreTranscript, ASuccessfulRestorePrintsEveryLineAndWritesThePersonalisedImage) {
    controller.plug();
    bool finished = false;
    RestoreStageSettings settings = TestSettings();
    settings.finishRestore = [&] { finished = true; };
    const Attempt attempt = RunAttempt(controller, settings);
    EXPECT_EQ(attempt.out, SuccessfulRestoreOutput());
    EXPECT_EQ(attempt.err, "");
    EXPECT_TRUE(finished) << "the closing lines are followed by the wait for Enter";
    EXPECT_EQ(FlashProblem(controller.chip(), files.controller()), "");
    EXPECT_EQ(OpenDeviceNodes(), 0);
}

TEST_F(RestoreTranscript, MissingApp0GivesError6InStage1) {
    files.remove("app0.dat");
    controller.plug();
    const Attempt attempt = RunAttempt(controller, TestSettings());
    EXPECT_EQ(attempt.out, kStage1Header + kCannotOpenFile + ErrorLine(6, 1));
    EXPECT_NE(attempt.err.find("app0.dat"), std::string::npos) << attempt.err;
    EXPECT_TRUE(controller.chip().bootLoader()->vendorRequests().empty()) << "nothing is loaded";
    ExpectReplugRestores();
}

TEST_F(RestoreTranscript, MissingApp1GivesError6InStage2) {
    files.remove("app1.dat");
    controller.plug();
    const Attempt attempt = RunAttempt(controller, TestSettings());
    EXPECT_EQ(attempt.out, kStage1Header + kDone + kStage2Header + kCannotOpenFile + ErrorLine(6, 2));
    EXPECT_TRUE(controller.chip().bootProgrammer()->vendorRequests().empty()) << "the flash is not touched";
    ExpectReplugRestores();
}

TEST_F(RestoreTranscript, MissingApp2IsToldButTheRestoreWritesApp1) {
    files.remove("app2.dat");
    controller.plug();
    const Attempt attempt = RunAttempt(controller, TestSettings());
    EXPECT_EQ(attempt.out, kStage1Header + kDone + kStage2Header + kCannotOpenFile + kDone + kClosingLines);
    EXPECT_EQ(FlashProblem(controller.chip(), files.controller()), "");
}

TEST_F(RestoreTranscript, NoDeviceGivesThreeDotsAndAnEmptyDeviceException) {
    {
        ConsoleCapture console;
        try {
            CyBootLoaderDevice stage1(TestSettings());
            FAIL() << "stage 1 returned";
        } catch (const scorch_exception&) {
            FAIL() << "a missing device is not a failed load";
        } catch (const device_exception& e) {
            EXPECT_STREQ(e.what(), "");
        }
        EXPECT_EQ(console.out(), kStage1Header + kNotOpened);
        EXPECT_EQ(console.err(), "") << "no permission hint when there is simply no device";
    }
    {
        ConsoleCapture console;
        EXPECT_THROW(CyBootProgrammerDevice stage2(TestSettings()), device_exception);
        EXPECT_EQ(console.out(), kStage2Header + kNotOpened);
    }
    ExpectReplugRestores();
}

TEST_F(RestoreTranscript, StageTwoRefusesTheBootLoaderWithoutAFlashRequest) {
    auto loader = controller.plug();
    {
        ConsoleCapture console;
        EXPECT_THROW(CyBootProgrammerDevice stage2(TestSettings()), device_exception);
        EXPECT_EQ(console.out(), kStage2Header + kNotOpened);
    }
    EXPECT_TRUE(loader->vendorRequests().empty());
    EXPECT_EQ(OpenDeviceNodes(), 0) << "the device opened for the check is closed again";
    const Attempt attempt = RunAttempt(controller, TestSettings());
    EXPECT_EQ(attempt.out, SuccessfulRestoreOutput());
}

TEST_F(RestoreTranscript, StageOneEndsWithAnEmptyDeviceExceptionAndAFailedLoadWithAScorch) {
    controller.plug();
    {
        ConsoleCapture console;
        try {
            CyBootLoaderDevice stage1(TestSettings());
        } catch (const scorch_exception&) {
            ADD_FAILURE() << "a successful stage is not a scorch";
        } catch (const device_exception& e) {
            EXPECT_STREQ(e.what(), "");
        }
    }
    controller.unplug();
    auto loader = controller.plug();
    loader->injectFault(FaultRule{FaultKind::Fail, 1, 0xA0, {}, true});
    ConsoleCapture console;
    try {
        CyBootLoaderDevice stage1(TestSettings());
    } catch (const scorch_exception& e) {
        EXPECT_STREQ(e.what(), "Firmware update failed.");
    }
    EXPECT_EQ(console.out(), kStage1Header + ErrorLine(1, 1));
    EXPECT_NE(console.err().find("tyvo-reset: vendor request 0xA0 (wValue 0x"), std::string::npos) << console.err();
    EXPECT_NE(console.err().find("bytes to the device) on usb#vid_04b4&pid_00f3#"), std::string::npos) << console.err();
}

TEST_F(RestoreTranscript, ReadBackDifferingInTheLastPassGivesError1InStage1) {
    auto loader = controller.plug();
    // Three reads per block: the third is the last pass of the first block.
    loader->injectFault(FaultRule{FaultKind::CorruptRead, 3, 0xA0, true, false});
    const Attempt attempt = RunAttempt(controller, TestSettings());
    EXPECT_EQ(attempt.out, kStage1Header + ErrorLine(1, 1));
    EXPECT_EQ(controller.chip().jumps().size(), 0u) << "a failed load does not start the programmer";
    ExpectReplugRestores();
}

TEST_F(RestoreTranscript, FailedFlashRequestsGiveTheirCodesInStage2) {
    // Standard error names the request that failed and the device, beside
    // the number the console shows.
    const struct {
        const char* what;
        FaultRule fault;
        int code;
        const char* request;
    } cases[] = {
        {"the third write", FaultRule{FaultKind::Fail, 3, 0xC2, false, false}, 1,
         "vendor request 0xC2 (wValue 0x0000, wIndex 0x0010, 2048 bytes to the device) on usb#vid_04b4&pid_4720#"},
        {"the erase of the second sector", FaultRule{FaultKind::Stall, 2, 0xC4, false, false}, 7,
         "vendor request 0xC4 (wValue 0x0001, wIndex 0x0001, no data) on usb#vid_04b4&pid_4720#"},
        {"a status poll", FaultRule{FaultKind::Fail, 2, 0xC4, true, false}, 7, "1 byte from the device) on usb#"},
    };
    const std::string beforeError = kStage1Header + kDone + kStage2Header;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        controller.plug();
        const Attempt attempt = RunAttempt(controller, TestSettings(),
                                           [&](StandardUsbDevice& programmer) { programmer.injectFault(c.fault); });
        EXPECT_EQ(attempt.out, beforeError + ErrorLine(c.code, 2));
        EXPECT_EQ(attempt.err.rfind("tyvo-reset: vendor request 0xC", 0), 0u) << attempt.err;
        EXPECT_NE(attempt.err.find(c.request), std::string::npos) << attempt.err;
        ExpectReplugRestores();
        controller.unplug();
        controller.damageFlash();
    }
}

TEST_F(RestoreTranscript, AFlashThatStaysBusyGivesError7OnceTheEraseTimeOutHasPassed) {
    controller.chip().flash().setStuckBusy(true);
    controller.plug();
    const auto start = std::chrono::steady_clock::now();
    const Attempt attempt = RunAttempt(controller, TestSettings(10000, 300ms));
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(attempt.out, kStage1Header + kDone + kStage2Header + ErrorLine(7, 2));
    EXPECT_GE(took, 300ms) << "the flash was polled for the whole erase time-out";
    EXPECT_GT(controller.chip().flash().statusPolls(), 1u);
    controller.chip().flash().setStuckBusy(false);
    ExpectReplugRestores();
}

struct BadBootProgrammer {
    const char* what;
    FirmwareImage image;
    int code;
};

TEST_F(RestoreTranscript, BadBootProgrammerImagesGiveTheirCodesInStage1) {
    FirmwareImage notCy = files.bootProgrammer();
    notCy[0] = 'X';
    // One section of 512 words announced in a 20-byte image: its first
    // block is longer than the whole image.
    const FirmwareImage blockTooLong = {'C',  'Y',  0x1C, 0xB0, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00,
                                        0x00, 0x40, 1,    2,    3,    4,    5,    6,    7,    8};
    FirmwareImage cutShort = files.bootProgrammer();
    cutShort.resize(cutShort.size() / 2);
    const BadBootProgrammer cases[] = {
        {"not starting with CY", notCy, 3},
        {"CY and two bytes", {'C', 'Y', 0x1C, 0xB0}, 5},
        {"ending inside a section", cutShort, 5},
        {"a block longer than the image", blockTooLong, 8},
    };
    for (const auto& bad : cases) {
        SCOPED_TRACE(bad.what);
        files.write("app0.dat", bad.image);
        controller.plug();
        const std::size_t jumps = controller.chip().jumps().size();
        const Attempt attempt = RunAttempt(controller, TestSettings());
        EXPECT_EQ(attempt.out, kStage1Header + ErrorLine(bad.code, 1));
        EXPECT_EQ(controller.chip().jumps().size(), jumps) << "nothing is started";
        ExpectReplugRestores();
        controller.unplug();
        controller.damageFlash();
    }
}

// Drops this thread's power to override file permissions, as an ordinary
// user has none (the tests run as root).
class WithoutFileOverride {
public:
    WithoutFileOverride() {
        header.version = _LINUX_CAPABILITY_VERSION_3;
        header.pid = 0;
        m_ok = syscall(SYS_capget, &header, saved) == 0;
        __user_cap_data_struct reduced[2] = {saved[0], saved[1]};
        reduced[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
        m_ok = m_ok && syscall(SYS_capset, &header, reduced) == 0;
    }
    ~WithoutFileOverride() { syscall(SYS_capset, &header, saved); }
    bool ok() const { return m_ok; }

private:
    __user_cap_header_struct header{};
    __user_cap_data_struct saved[2]{};
    bool m_ok = false;
};

TEST_F(RestoreTranscript, APermissionProblemKeepsTheThreeDotsAndHintsAtTheUdevRule) {
    controller.plug();
    const auto devices = bus.devices();
    ASSERT_EQ(devices.size(), 1u);
    const std::string node = std::string(std::getenv("UMOCKDEV_DIR")) + devices[0].devNode;
    ASSERT_EQ(chmod(node.c_str(), 0), 0) << node;
    Attempt attempt;
    {
        WithoutFileOverride user;
        if (!user.ok()) GTEST_SKIP() << "cannot drop CAP_DAC_OVERRIDE here";
        attempt = RunAttempt(controller, TestSettings());
    }
    EXPECT_EQ(attempt.out, kStage1Header + kNotOpened);
    EXPECT_NE(attempt.err.find("permission denied"), std::string::npos) << attempt.err;
    EXPECT_NE(attempt.err.find("70-tyvo-reset.rules"), std::string::npos) << attempt.err;
    EXPECT_NE(attempt.err.find("udevadm control --reload-rules"), std::string::npos) << attempt.err;
    ASSERT_EQ(chmod(node.c_str(), 0644), 0);
    ExpectReplugRestores();
}

}  // namespace
}  // namespace restoretest
