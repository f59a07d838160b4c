#pragma once

// A device attach monitor whose platform is a list the test controls, with a
// manifest of test devices, for tests of the monitor's own machinery.

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "context/Autowired.h"
#include "context/CoreContext.h"
#include "context/CoreThread.h"
#include "devices/DeviceAttachMonitor.h"
#include "devices/core/DeviceExceptions.h"

namespace monitortest {

// What the test devices do when built; set by the test before a scan.
struct Behaviour {
    static std::atomic<int> constructed;
    static std::atomic<int> failNext;  // 1: device_exception, 2: scorch, 3: runtime_error
};

// The capture thread of a test device: it keeps the device context alive, and
// fails on request the way a capture thread may.
class TestCapture : public CoreThread {
public:
    TestCapture() : CoreThread("TestCapture") { Ready(); }

    void Fail(std::exception_ptr error) {
        std::lock_guard<std::mutex> lock(m_errorLock);
        m_error = std::move(error);
    }

    void Run() override {
        while (!WaitForStop(std::chrono::milliseconds(1))) {
            std::exception_ptr error;
            {
                std::lock_guard<std::mutex> lock(m_errorLock);
                error = m_error;
            }
            if (error) std::rethrow_exception(error);
        }
    }

private:
    std::mutex m_errorLock;
    std::exception_ptr m_error;
};

class TestDevice : public IdentifiableDevice {
public:
    TestDevice() {
        switch (Behaviour::failNext.exchange(0)) {
            case 1: throw device_exception("");
            case 2: throw scorch_exception("Firmware update failed.");
            case 3: throw std::runtime_error("odd failure");
            default: break;
        }
        ++Behaviour::constructed;
        constructedOn = std::this_thread::get_id();
    }
    const std::string& serialNumber() const override { return m_serial; }
    int deviceClass() const override { return 0; }

    AutoRequired<TestCapture> capture;
    std::thread::id constructedOn;

private:
    std::string m_serial = "TEST";
};

class FakeMonitor : public DeviceAttachMonitor {
public:
    // A base initialiser, not a discarded exception (see the Linux monitor).
    // NOLINTNEXTLINE(bugprone-throw-keyword-missing)
    FakeMonitor() : DeviceAttachMonitor("FakeMonitor") { Ready(); }

    void SetPresent(std::vector<PresentDevice> devices) {
        std::lock_guard<std::mutex> lock(m_presentLock);
        m_present = std::move(devices);
    }

    void Scan() override {
        std::vector<PresentDevice> present;
        {
            std::lock_guard<std::mutex> lock(m_presentLock);
            present = m_present;
        }
        ++scans;
        Reconcile(present);
    }

    void Run() override {
        runThread = std::this_thread::get_id();
        // In manual mode the test drives every scan itself; the thread only
        // exists because initiating a device context initiates its parent.
        if (manual) {
            while (!WaitForStop(std::chrono::milliseconds(50))) {
            }
            return;
        }
        Scan();
        FireMonitorStarted();
        while (!WaitForStop(std::chrono::milliseconds(5))) {
            if (rescan.exchange(false)) Scan();
        }
        ReleaseAll(true);
    }

    void RequestScan() override { rescan = true; }

    std::atomic<bool> manual{false};
    std::atomic<int> scans{0};
    std::thread::id runThread;
    std::atomic<bool> rescan{false};

private:
    std::mutex m_presentLock;
    std::vector<PresentDevice> m_present;
};

inline std::shared_ptr<DeviceModelManifest> TestManifest() {
    return std::make_shared<DeviceModelManifest>(std::vector<std::shared_ptr<DeviceModelBase>>{
        std::make_shared<DeviceModel<TestDevice>>(kImageClassDevice, 0xF182, 0x0003),
        std::make_shared<DeviceModel<TestDevice>>(kUsbClassDevice, 0x04B4, 0x00F3),
    });
}

inline const std::wstring kCamera = L"usb#vid_f182&pid_0003#1-2";
inline const std::wstring kBootLoader = L"usb#vid_04b4&pid_00f3#1-3";

template <class Predicate>
bool Eventually(Predicate predicate, std::chrono::milliseconds bound = std::chrono::seconds(10)) {
    auto deadline = std::chrono::steady_clock::now() + bound;
    while (!predicate()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace monitortest
