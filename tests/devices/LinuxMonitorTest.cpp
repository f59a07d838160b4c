// The Linux attach monitor against devices on the emulated bus: real libusb
// enumeration and hot-plug underneath, test device classes on top.

#include <gtest/gtest.h>
#include <pthread.h>

#include "devices/DeviceAttachMonitorLinux.h"
#include "devices/core/DeviceExceptions.h"
#include "sim/EmulatedUsbBus.h"
#include "sim/UsbDeviceModel.h"
#include "tests/devices/EmulatedTestDevice.h"
#include "tests/devices/MonitorFixture.h"
#include "usb/UsbBusEnumerator.h"

using namespace monitortest;
using namespace std::chrono_literals;
namespace sim = tyvo::sim;

std::atomic<int> monitortest::Behaviour::constructed{0};
std::atomic<int> monitortest::Behaviour::failNext{0};

namespace {

// The name of the thread that built the last test device.
std::string g_builderThread;
std::mutex g_builderLock;

class NamedTestDevice : public TestDevice {
public:
    NamedTestDevice() {
        char name[32] = {};
        pthread_getname_np(pthread_self(), name, sizeof name);
        std::lock_guard<std::mutex> lock(g_builderLock);
        g_builderThread = name;
    }
};

// A device whose stage always fails, as a restore stage does on a device it
// cannot program.
std::atomic<int> g_failedStages{0};

class FailingStage : public IdentifiableDevice {
public:
    FailingStage() {
        ++g_failedStages;
        throw scorch_exception("Firmware update failed.");
    }
    const std::string& serialNumber() const override { return m_serial; }
    int deviceClass() const override { return 0; }

private:
    std::string m_serial;
};

// The monitor where libusb has no hot-plug capability: no notices at all,
// only its own poll.
class PollingMonitor : public DeviceAttachMonitorLinux {
protected:
    bool StartHotplug(UsbBusEnumerator&, std::function<void(bool)>) override { return false; }
};

class LinuxMonitorTest : public ::testing::Test {
protected:
    void SetUp() override {
        Behaviour::constructed = 0;
        g_failedStages = 0;
        context->AddMember(std::make_shared<DeviceModelManifest>(std::vector<std::shared_ptr<DeviceModelBase>>{
            std::make_shared<DeviceModel<NamedTestDevice>>(kImageClassDevice, 0xF182, 0x0003),
            std::make_shared<DeviceModel<NamedTestDevice>>(kUsbClassDevice, 0x04B4, 0x00F3),
            std::make_shared<DeviceModel<FailingStage>>(kUsbClassDevice, 0x04B4, 0x4720),
        }));
    }

    void Start(bool polling = false) {
        monitor = polling ? std::make_shared<PollingMonitor>() : std::make_shared<DeviceAttachMonitorLinux>();
        context->AddMember(monitor);
        context->Initiate();
    }

    void TearDown() override {
        bus.stopTimers();
        if (context->IsInitiated()) context->RequestShutdown();
    }

    std::shared_ptr<CoreContext> ContextFor(uint16_t vendorId, uint16_t productId) {
        wchar_t prefix[40];
        swprintf(prefix, 40, L"usb#vid_%04x&pid_%04x#", vendorId, productId);
        for (auto& [path, weak] : monitor->Contexts()) {
            if (path.rfind(prefix, 0) == 0) {
                auto ctx = weak.lock();
                if (ctx && !ctx->MembersOf<TestDevice>().empty() && ctx->IsInitiated()) return ctx;
            }
        }
        return nullptr;
    }

    sim::EmulatedUsbBus bus;
    std::shared_ptr<CoreContext> context = CoreContext::Current()->NewChild();
    CurrentContextScope scope{context};
    std::shared_ptr<DeviceAttachMonitorLinux> monitor;
};

TEST_F(LinuxMonitorTest, DevicePresentAtStartIsBuiltOnTheMonitorThread) {
    std::string port = bus.plug(MakeDevice(0x04B4, 0x00F3, false));
    Start();
    ASSERT_TRUE(Eventually([&] { return ContextFor(0x04B4, 0x00F3) != nullptr; }));
    std::lock_guard<std::mutex> lock(g_builderLock);
    EXPECT_EQ(g_builderThread, "DeviceAttachMon");

    auto present = monitor->PresentDevices();
    ASSERT_EQ(present.size(), 1u);
    EXPECT_EQ(present[0].kind, uint32_t(kUsbClassDevice));
    EXPECT_EQ(present[0].path, L"usb#vid_04b4&pid_00f3#" + std::wstring(port.begin(), port.end()));
}

TEST_F(LinuxMonitorTest, HotplugArrivalAndLeaveMakeAndEndTheDeviceContext) {
    Start();
    ASSERT_TRUE(Eventually([&] { return monitor->IsRunning(); }));
    std::string port = bus.plug(MakeDevice(0xF182, 0x0003, true));
    ASSERT_TRUE(Eventually([&] { return ContextFor(0xF182, 0x0003) != nullptr; }));
    auto device = ContextFor(0xF182, 0x0003)->MembersOf<TestDevice>()[0];
    auto capture = device->capture.shared();
    device.reset();

    ASSERT_TRUE(bus.unplug(port));
    EXPECT_TRUE(Eventually([&] { return capture->IsCompleted(); }));
    EXPECT_TRUE(Eventually([&] { return !monitor->HasContexts(); }));
}

TEST_F(LinuxMonitorTest, VideoClassDecidesTheKind) {
    // The same ids with and without a Video-class interface: only the row of
    // the matching kind may take it.
    bus.plug(MakeDevice(0xF182, 0x0003, false));
    bus.plug(MakeDevice(0x04B4, 0x00F3, true));
    Start();
    ASSERT_TRUE(Eventually([&] { return monitor->PresentDevices().size() == 2; }));
    std::this_thread::sleep_for(100ms);
    EXPECT_FALSE(monitor->HasContexts());
    EXPECT_EQ(Behaviour::constructed, 0);
}

TEST_F(LinuxMonitorTest, StoppingWakesTheMonitorPromptly) {
    Start();
    ASSERT_TRUE(Eventually([&] { return monitor->IsRunning(); }));
    std::this_thread::sleep_for(50ms);
    auto begin = std::chrono::steady_clock::now();
    context->RequestShutdown();
    auto took = std::chrono::steady_clock::now() - begin;
    EXPECT_TRUE(monitor->IsCompleted());
    EXPECT_LT(took, 400ms) << "the event loop waits up to 500 ms unless woken";
}

TEST_F(LinuxMonitorTest, WithoutHotplugThePollActsOnlyWhenTheDevicesChange) {
    Start(/*polling=*/true);
    ASSERT_TRUE(Eventually([&] { return monitor->IsRunning(); }));
    // Found by the poll alone: nothing notifies this monitor.
    const std::string port = bus.plug(MakeDevice(0xF182, 0x0003, true));
    ASSERT_TRUE(Eventually([&] { return ContextFor(0xF182, 0x0003) != nullptr; }));
    ASSERT_TRUE(bus.unplug(port));
    ASSERT_TRUE(Eventually([&] { return !monitor->HasContexts(); })) << "the poll sees the device leave";

    // A stage that fails is not run again poll after poll (each poll is
    // 1 s apart): it waits for the next change of the devices.
    bus.plug(MakeDevice(0x04B4, 0x4720, false), "1-5");
    ASSERT_TRUE(Eventually([&] { return g_failedStages == 1; }));
    std::this_thread::sleep_for(3 * DeviceAttachMonitorLinux::kFallbackRescanPeriod + 500ms);
    EXPECT_EQ(g_failedStages, 1) << "the fallback poll repeated the failed stage";

    // A change (the device back at another port) runs it again, once.
    ASSERT_TRUE(bus.unplug("1-5"));
    bus.plug(MakeDevice(0x04B4, 0x4720, false), "1-6");
    EXPECT_TRUE(Eventually([&] { return g_failedStages == 2; }));
}

}  // namespace

// A notice that changes nothing (the late arrival notice of a device a scan
// already took, or a fallback poll) must not run a failed stage again; a
// leave in between always counts, since the device may be back in its place.
TEST(LinuxMonitorChange, OnlyADifferentSetOrALeaveIsAChange) {
    const PresentDevice loader{kUsbClassDevice, L"usb#vid_04b4&pid_00f3#1-2"};
    const PresentDevice programmer{kUsbClassDevice, L"usb#vid_04b4&pid_4720#1-2"};
    const PresentDevice camera{kImageClassDevice, L"usb#vid_f182&pid_0003#1-3"};
    const PresentDevice cameraAsUsb{kUsbClassDevice, L"usb#vid_f182&pid_0003#1-3"};
    using M = DeviceAttachMonitorLinux;
    EXPECT_FALSE(M::ChangedSince({}, {}, false));
    EXPECT_FALSE(M::ChangedSince({programmer, camera}, {camera, programmer}, false)) << "order is no change";
    EXPECT_TRUE(M::ChangedSince({programmer, camera}, {camera, programmer}, true)) << "a leave always counts";
    EXPECT_TRUE(M::ChangedSince({programmer}, {loader}, false)) << "re-enumerated at the same port";
    EXPECT_TRUE(M::ChangedSince({programmer}, {}, false));
    EXPECT_TRUE(M::ChangedSince({}, {programmer}, false));
    EXPECT_TRUE(M::ChangedSince({camera}, {cameraAsUsb}, false)) << "the kind is part of what was seen";
    EXPECT_TRUE(M::ChangedSince({camera, camera}, {camera, programmer}, false));
}
