#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cwchar>
#include <memory>
#include <string>

#include "camera/capture/TyvoCameraFactory.h"
#include "camera/capture/UVCInterfaceV4L2.h"
#include "context/Autowired.h"
#include "context/CoreContext.h"
#include "sim/EmulatedUsbBus.h"
#include "sim/controller/UvcControllerModel.h"
#include "tests/camera/capture/CaptureWatcher.h"

// An emulated controller on an emulated bus, and a capture object for it in
// a device context of its own, the way the attach monitor sets one up.
class CaptureFixture : public ::testing::Test {
protected:
    static std::wstring devicePathFor(const std::string& port, std::uint16_t vendor = 0xF182,
                                      std::uint16_t product = 0x0003) {
        wchar_t ids[40];
        std::swprintf(ids, 40, L"usb#vid_%04x&pid_%04x#", vendor, product);
        return ids + std::wstring(port.begin(), port.end());
    }

    void plug(tyvo::sim::UvcControllerOptions options = {}) {
        model = tyvo::sim::UvcControllerModel::create(std::move(options));
        port = bus.plug(model);
    }

    // The device context with its camera factory (none when the name is
    // empty and `withFactory` is false), the watcher and the capture object.
    void makeContext(bool withFactory = true) {
        context = CoreContext::Current()->NewChild();
        CurrentContextScope scope(context);
        if (withFactory) context->AddMember(std::make_shared<DeviceCameraFactory>(devicePathFor(port), nullptr));
        watcher = std::make_shared<CaptureWatcher>();
        context->AddMember(watcher);
        AutoRequired<UVCInterfaceV4L2> slot;
        capture = slot.shared();
    }

    void start(int width = 640, int height = 480) {
        capture->requestFormat(width, height, 0.0f);
        capture->post(UVCInterface::kCommandStream);
        context->Initiate();
    }

    void TearDown() override {
        if (context) context->RequestShutdown();
        bus.stopTimers();
    }

    tyvo::sim::EmulatedUsbBus bus;
    std::shared_ptr<tyvo::sim::UvcControllerModel> model;
    std::string port;
    std::shared_ptr<CoreContext> context;
    std::shared_ptr<CaptureWatcher> watcher;
    std::shared_ptr<UVCInterfaceV4L2> capture;
};
