#pragma once

// An emulated controller on an emulated bus under a host context with a log
// server, and either a device object of the test's choice in a device
// context of its own (set up as the attach monitor sets one up), or the real
// attach monitor with the real manifest.

#include <gtest/gtest.h>

#include <cwchar>
#include <memory>
#include <sstream>
#include <string>

#include "camera/capture/TyvoCameraFactory.h"
#include "camera/controllers/CyUVCDevice.h"
#include "camera/controllers/OV580UVCDevice.h"
#include "config/Config.h"
#include "context/Autowired.h"
#include "context/CoreContext.h"
#include "devices/DeviceAttachMonitorLinux.h"
#include "devices/DeviceModelManifest.h"
#include "logging/EventLogServer.h"
#include "sim/EmulatedUsbBus.h"
#include "sim/controller/UvcControllerModel.h"
#include "tests/camera/controllers/ControllerWatch.h"

namespace controllertest {

inline std::wstring devicePathFor(const std::string& port, std::uint16_t vendor, std::uint16_t product) {
    wchar_t ids[40];
    std::swprintf(ids, 40, L"usb#vid_%04x&pid_%04x#", vendor, product);
    return ids + std::wstring(port.begin(), port.end());
}

class ControllerFixture : public ::testing::Test {
protected:
    void SetUp() override {
        Config::clearAttributes();
        CurrentContextScope scope(host);
        logServer = std::make_shared<EventLogServer>(systemLogClock(), console);
        host->AddMember(logServer);
        host->AddMember(logs);
    }

    void TearDown() override {
        host->RequestShutdown();
        device.reset();
        embedded.reset();
        deviceContext.reset();
        bus.stopTimers();
        Config::clearAttributes();
    }

    void setting(const std::string& key, const Value& value) { Config::setDefault(key, value, 2); }

    void plug(tyvo::sim::UvcControllerOptions options = {}) {
        model = tyvo::sim::UvcControllerModel::create(std::move(options));
        port = bus.plug(model);
    }

    std::wstring path() const { return devicePathFor(port, model->options().vendorId, model->options().productId); }

    // The device object in a device context of its own, with a frame
    // collector; the context runs once `run` is called.
    template <class Device>
    std::shared_ptr<Device> build() {
        deviceContext = host->NewChild();
        CurrentContextScope scope(deviceContext);
        deviceContext->AddMember<TyvoCameraFactory>(std::make_shared<DeviceCameraFactory>(path(), nullptr));
        deviceContext->AddMember(frames);
        auto built = std::make_shared<Device>();
        deviceContext->AddMember<IdentifiableDevice>(built);
        return built;
    }

    void run() { deviceContext->Initiate(); }

    // A Cypress controller, set up and streaming.
    void startCypress(tyvo::sim::UvcControllerOptions options = {}) {
        plug(std::move(options));
        device = build<CyUVCDevice>();
        run();
        ASSERT_TRUE(eventually([&] { return device->configured(); })) << "the controller was never set up";
        ASSERT_TRUE(frames->waitForFrames(2)) << "no frame records";
    }

    void startEmbedded(tyvo::sim::UvcControllerOptions options = tyvo::sim::UvcControllerOptions::embedded()) {
        plug(std::move(options));
        embedded = build<OV580UVCDevice>();
        run();
        ASSERT_TRUE(eventually([&] { return embedded->configured(); })) << "the controller was never set up";
        ASSERT_TRUE(frames->waitForFrames(2)) << "no frame records";
    }

    // Waits until frames of this height arrive: after a change of format
    // the stream has been rebuilt and requests reach the controller again.
    void settle(int height) {
        ASSERT_TRUE(eventually([&] {
            auto latest = frames->latest();
            return latest && latest->firstImage.height() == height;
        })) << "no frames of height "
            << height;
    }

    // The value the controller now holds for one of its controls.
    std::int32_t at(tyvo::sim::UvcControl control) const { return model->controlValue(control); }

    // The real attach monitor with the real manifest, in the host context;
    // a joiner adds a frame collector to every device context it makes.
    void startMonitor() {
        CurrentContextScope scope(host);
        host->AddMember(std::make_shared<DeviceModelManifest>());
        host->AddMember(joiner);
        monitor = std::make_shared<DeviceAttachMonitorLinux>();
        host->AddMember(monitor);
        host->Initiate();
    }

    // The live, initiated device context of the monitor, if any.
    std::shared_ptr<CoreContext> liveDeviceContext() const {
        for (auto& [key, weak] : monitor->Contexts()) {
            auto ctx = weak.lock();
            if (ctx && ctx->IsInitiated() && !ctx->IsStopping()) return ctx;
        }
        return nullptr;
    }

    template <class Device>
    std::shared_ptr<Device> monitoredDevice() const {
        auto ctx = liveDeviceContext();
        if (!ctx) return nullptr;
        for (const auto& member : ctx->MembersOf<IdentifiableDevice>())
            if (auto typed = std::dynamic_pointer_cast<Device>(member)) return typed;
        return nullptr;
    }

    // Waits for a monitored device of that type that has been set up.
    template <class Device>
    std::shared_ptr<Device> waitForConfigured(std::chrono::milliseconds bound = std::chrono::seconds(15)) {
        std::shared_ptr<Device> found;
        eventually(
            [&] {
                found = monitoredDevice<Device>();
                return found && found->configured();
            },
            bound);
        return found && found->configured() ? found : nullptr;
    }

    std::ostringstream console;  // the log server's console; outlives it
    std::shared_ptr<CoreContext> host = CoreContext::Current()->NewChild();
    std::shared_ptr<EventLogServer> logServer;
    std::shared_ptr<LogCollector> logs = std::make_shared<LogCollector>();
    std::shared_ptr<FrameCollector> frames = std::make_shared<FrameCollector>();
    std::shared_ptr<PipelineJoiner> joiner = std::make_shared<PipelineJoiner>();

    tyvo::sim::EmulatedUsbBus bus;
    std::shared_ptr<tyvo::sim::UvcControllerModel> model;
    std::string port;
    std::shared_ptr<CoreContext> deviceContext;
    std::shared_ptr<CyUVCDevice> device;
    std::shared_ptr<OV580UVCDevice> embedded;
    std::shared_ptr<DeviceAttachMonitorLinux> monitor;
};

}  // namespace controllertest
