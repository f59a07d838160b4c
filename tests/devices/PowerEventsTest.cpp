// Suspend and resume on Linux: logind's PrepareForSleep on a real D-Bus
// daemon at a private address (the test's own system bus), with
// python-dbusmock's logind template playing logind, and the attach monitor
// over devices on the emulated bus.

#include <gtest/gtest.h>

#include <cstdlib>

#include "devices/DeviceAttachMonitorLinux.h"
#include "devices/PowerEventsLinux.h"
#include "sim/EmulatedUsbBus.h"
#include "tests/devices/EmulatedTestDevice.h"
#include "tests/devices/MonitorFixture.h"
#include "tests/devices/PrivateSystemBus.h"

using namespace monitortest;
using namespace std::chrono_literals;
using powertest::PrivateSystemBus;

std::atomic<int> monitortest::Behaviour::constructed{0};
std::atomic<int> monitortest::Behaviour::failNext{0};

namespace {

const std::wstring kCameraPath = L"usb#vid_f182&pid_0003#1-2";

class PowerEvents : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string missing = PrivateSystemBus::Missing();
        if (!missing.empty()) GTEST_SKIP() << "needs " << missing << "; scripts/setup installs it";
        ASSERT_TRUE(systemBus.StartDaemon()) << "the private D-Bus daemon did not start";
        // The code under test finds its system bus here.
        setenv("DBUS_SYSTEM_BUS_ADDRESS", systemBus.address().c_str(), 1);
        Behaviour::constructed = 0;
        context->AddMember(TestManifest());
    }

    void TearDown() override {
        bus.stopTimers();
        if (context->IsInitiated()) context->RequestShutdown();
        unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    }

    void StartMonitor() {
        monitor = std::make_shared<DeviceAttachMonitorLinux>();
        context->AddMember(monitor);
        context->Initiate();
    }

    std::shared_ptr<CoreContext> CameraContext() const {
        for (auto& [path, weak] : monitor->Contexts()) {
            auto ctx = weak.lock();
            if (path == kCameraPath && ctx && ctx->IsInitiated() && !ctx->MembersOf<TestDevice>().empty()) return ctx;
        }
        return nullptr;
    }

    PrivateSystemBus systemBus;
    tyvo::sim::EmulatedUsbBus bus;
    std::shared_ptr<CoreContext> context = CoreContext::Current()->NewChild();
    CurrentContextScope scope{context};
    std::shared_ptr<DeviceAttachMonitorLinux> monitor;
};

TEST_F(PowerEvents, SuspendReleasesTheControllerAndResumeTakesItAgainInANewContext) {
    ASSERT_TRUE(systemBus.StartLogind()) << "the logind stand-in did not take its name";
    bus.plug(MakeDevice(0xF182, 0x0003, true), "1-2");
    StartMonitor();
    ASSERT_TRUE(Eventually([&] { return CameraContext() != nullptr; }));
    std::weak_ptr<CoreContext> before = CameraContext();
    auto capture = CameraContext()->MembersOf<TestDevice>()[0]->capture.shared();
    EXPECT_EQ(Behaviour::constructed, 1);

    // Before sleep: the controller's context stops and its threads end.
    ASSERT_TRUE(systemBus.EmitPrepareForSleep(true));
    ASSERT_TRUE(Eventually([&] { return monitor->IsSuspended() && !monitor->HasContexts(); }));
    EXPECT_TRUE(Eventually([&] { return capture->IsCompleted(); }));
    capture.reset();

    // While suspended a device change makes no context: scans do nothing.
    bus.plug(MakeDevice(0x04B4, 0x00F3, false), "1-3");
    ASSERT_TRUE(Eventually([&] { return monitor->PresentDevices().size() == 2; }));
    std::this_thread::sleep_for(500ms);
    EXPECT_FALSE(monitor->HasContexts());
    EXPECT_EQ(Behaviour::constructed, 1);

    // After waking: a full scan; the controller is taken again, in a new
    // context (the image class comes first, so not the boot loader).
    ASSERT_TRUE(systemBus.EmitPrepareForSleep(false));
    ASSERT_TRUE(Eventually([&] { return CameraContext() != nullptr; }));
    EXPECT_FALSE(monitor->IsSuspended());
    EXPECT_TRUE(before.expired()) << "the old context is gone";
    EXPECT_EQ(Behaviour::constructed, 2);
    EXPECT_EQ(monitor->Contexts().size(), 1u);

    // And again: every suspend and resume, not only the first.
    ASSERT_TRUE(systemBus.EmitPrepareForSleep(true));
    ASSERT_TRUE(Eventually([&] { return !monitor->HasContexts(); }));
    ASSERT_TRUE(systemBus.EmitPrepareForSleep(false));
    EXPECT_TRUE(Eventually([&] { return CameraContext() != nullptr && Behaviour::constructed == 3; }));
}

// Without logind, or without any system bus, the monitor runs as before and
// the reason is at hand for the log.
TEST_F(PowerEvents, WithoutLogindOrBusThereAreNoPowerEventsAndTheMonitorStillWorks) {
    std::string why;
    EXPECT_EQ(PowerEventsLinux::Start([](bool) {}, why), nullptr);
    EXPECT_EQ(why.rfind("no logind on the system bus (org.freedesktop.DBus.Error.NameHasNoOwner", 0), 0u) << why;

    setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/tyvo-system-bus", 1);
    why.clear();
    EXPECT_EQ(PowerEventsLinux::Start([](bool) {}, why), nullptr);
    EXPECT_EQ(why.rfind("no system bus (", 0), 0u) << why;

    bus.plug(MakeDevice(0xF182, 0x0003, true), "1-2");
    StartMonitor();
    EXPECT_TRUE(Eventually([&] { return CameraContext() != nullptr; }));
    EXPECT_FALSE(monitor->IsSuspended());
}

}  // namespace
