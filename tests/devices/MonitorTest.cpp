#include <gtest/gtest.h>

#include "tests/devices/MonitorFixture.h"

using namespace monitortest;
using namespace std::chrono_literals;

std::atomic<int> monitortest::Behaviour::constructed{0};
std::atomic<int> monitortest::Behaviour::failNext{0};

namespace {

class MonitorTest : public ::testing::Test {
protected:
    void SetUp() override {
        Behaviour::constructed = 0;
        Behaviour::failNext = 0;
        context->AddMember(TestManifest());
        monitor = std::make_shared<FakeMonitor>();
        context->AddMember(monitor);
    }
    void TearDown() override {
        if (context->IsInitiated()) context->RequestShutdown();
    }

    std::shared_ptr<TestDevice> DeviceOf(const std::shared_ptr<CoreContext>& ctx) {
        auto devices = ctx->MembersOf<TestDevice>();
        return devices.empty() ? nullptr : devices[0];
    }

    // The device once its context holds it (the context is listed as soon as
    // it is made, before the device object is built).
    std::shared_ptr<TestDevice> WaitForDevice(const std::wstring& path) {
        std::shared_ptr<TestDevice> device;
        Eventually([&] {
            auto ctx = ContextOf(path);
            device = ctx ? DeviceOf(ctx) : nullptr;
            return device != nullptr && ctx->IsInitiated();
        });
        return device;
    }

    std::shared_ptr<CoreContext> ContextOf(const std::wstring& path) {
        auto contexts = monitor->Contexts();
        auto found = contexts.find(path);
        return found == contexts.end() ? nullptr : found->second.lock();
    }

    std::shared_ptr<CoreContext> context = CoreContext::Current()->NewChild();
    CurrentContextScope scope{context};
    std::shared_ptr<FakeMonitor> monitor;
};

TEST_F(MonitorTest, DevicePresentAtStartIsFoundByTheFirstScan) {
    monitor->SetPresent({{kImageClassDevice, kCamera}});
    context->Initiate();
    ASSERT_NE(WaitForDevice(kCamera), nullptr);
    auto device = ContextOf(kCamera);
    EXPECT_EQ(DeviceOf(device)->constructedOn, monitor->runThread)
        << "device objects are built on the monitor's own thread";
}

TEST_F(MonitorTest, DeviceIsBuiltInItsOwnInitiatedContextWithItsFactory) {
    monitor->manual = true;
    monitor->SetPresent({{kImageClassDevice, kCamera}});
    monitor->Scan();
    auto device = ContextOf(kCamera);
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(device->GetParent(), context);
    EXPECT_TRUE(device->IsInitiated());
    auto factories = device->MembersOf<TyvoCameraFactory>();
    ASSERT_EQ(factories.size(), 1u);
    EXPECT_EQ(factories[0]->deviceName(), kCamera);
    EXPECT_STREQ(factories[0]->GetName(), "Tyvo Device");
    ASSERT_NE(DeviceOf(device), nullptr);
    EXPECT_TRUE(DeviceOf(device)->capture->IsRunning());
}

TEST_F(MonitorTest, KindMustMatchTheManifestRow) {
    monitor->manual = true;
    monitor->SetPresent({{kUsbClassDevice, kCamera}, {kImageClassDevice, kBootLoader}});
    monitor->Scan();
    EXPECT_FALSE(monitor->HasContexts());
    EXPECT_EQ(Behaviour::constructed, 0);
}

TEST_F(MonitorTest, OnlyOneDeviceAtATimeImageClassFirst) {
    monitor->manual = true;
    monitor->SetPresent({{kUsbClassDevice, kBootLoader}, {kImageClassDevice, kCamera}});
    monitor->Scan();
    EXPECT_NE(ContextOf(kCamera), nullptr);
    EXPECT_EQ(ContextOf(kBootLoader), nullptr);
    EXPECT_EQ(Behaviour::constructed, 1);

    // The camera leaves: its context goes, and the same scan cannot take the
    // other device yet (the removal comes after the arrivals).
    monitor->SetPresent({{kUsbClassDevice, kBootLoader}});
    monitor->Scan();
    EXPECT_FALSE(monitor->HasContexts());
    monitor->Scan();
    EXPECT_NE(ContextOf(kBootLoader), nullptr);
}

TEST_F(MonitorTest, RemovedDeviceHasItsContextShutDown) {
    monitor->manual = true;
    monitor->SetPresent({{kImageClassDevice, kCamera}});
    monitor->Scan();
    auto device = DeviceOf(ContextOf(kCamera));
    ASSERT_NE(device, nullptr);
    auto capture = device->capture.shared();
    std::weak_ptr<TestDevice> weak = device;
    device.reset();

    monitor->SetPresent({});
    monitor->Scan();
    EXPECT_TRUE(capture->IsCompleted());
    EXPECT_FALSE(monitor->HasContexts());
    EXPECT_TRUE(Eventually([&] { return weak.expired(); })) << "the device object was released";
}

TEST_F(MonitorTest, FailedConstructionDropsTheContextQuietly) {
    monitor->manual = true;
    Behaviour::failNext = 1;
    monitor->SetPresent({{kUsbClassDevice, kBootLoader}});
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    monitor->Scan();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_FALSE(monitor->HasContexts());
    EXPECT_TRUE(context->Children().empty());
    // Not refused: the next scan builds it again.
    monitor->Scan();
    EXPECT_NE(ContextOf(kBootLoader), nullptr);
}

TEST_F(MonitorTest, ScorchedCaptureRefusesThePathUntilResume) {
    monitor->SetPresent({{kImageClassDevice, kCamera}});
    context->Initiate();
    auto device = WaitForDevice(kCamera);
    ASSERT_NE(device, nullptr);
    testing::internal::CaptureStderr();
    device->capture->Fail(std::make_exception_ptr(scorch_exception("Failed to load calibration.")));
    device.reset();
    ASSERT_TRUE(Eventually([&] { return !monitor->HasContexts(); }));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Failed to load calibration.\n");
    EXPECT_TRUE(monitor->IsRefused(kCamera));

    int before = Behaviour::constructed;
    monitor->RequestScan();
    ASSERT_TRUE(Eventually([&] { return !monitor->rescan; }));
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(Behaviour::constructed, before) << "refused until the next change";

    monitor->ResumeDevices();
    EXPECT_FALSE(monitor->IsRefused(kCamera));
    EXPECT_NE(WaitForDevice(kCamera), nullptr);
}

TEST_F(MonitorTest, OtherCaptureFailureLooksForTheDeviceAgainOnceTheContextIsGone) {
    monitor->SetPresent({{kImageClassDevice, kCamera}});
    context->Initiate();
    auto device = WaitForDevice(kCamera);
    ASSERT_NE(device, nullptr);
    std::weak_ptr<CoreContext> first = ContextOf(kCamera);
    testing::internal::CaptureStderr();
    device->capture->Fail(std::make_exception_ptr(device_lost_exception("lost")));
    device.reset();
    ASSERT_TRUE(Eventually([&] { return first.expired(); }));
    testing::internal::GetCapturedStderr();
    EXPECT_FALSE(monitor->IsRefused(kCamera));
    // The teardown asked for a scan, which takes the device again.
    EXPECT_NE(WaitForDevice(kCamera), nullptr);
    EXPECT_GE(Behaviour::constructed, 2);
}

TEST_F(MonitorTest, PauseReleasesEveryContextAndArrivalsMakeNothing) {
    monitor->manual = true;
    monitor->SetPresent({{kImageClassDevice, kCamera}});
    monitor->Scan();
    auto capture = DeviceOf(ContextOf(kCamera))->capture.shared();
    monitor->PauseDevices();
    EXPECT_TRUE(monitor->IsPaused());
    EXPECT_TRUE(capture->IsCompleted());
    EXPECT_FALSE(monitor->HasContexts());
    monitor->Scan();
    EXPECT_FALSE(monitor->HasContexts());
}

TEST_F(MonitorTest, StartedListenersAreToldAfterTheFirstScan) {
    struct Started : ContextMember, AttachmentMonitorListener {
        void OnMonitorStarted() override { told = true; }
        std::atomic<bool> told{false};
    };
    auto listener = std::make_shared<Started>();
    context->AddMember(listener);
    context->Initiate();
    EXPECT_TRUE(Eventually([&] { return listener->told.load(); }));
    EXPECT_GE(monitor->scans, 1);
}

}  // namespace
