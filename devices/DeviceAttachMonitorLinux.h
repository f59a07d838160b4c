#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <vector>

#include "devices/DeviceAttachMonitor.h"

class UsbBusEnumerator;

// The attach monitor on Linux. Every libusb hot-plug notice triggers a full
// scan on the monitor's own thread, which is also where every device object
// is built (the restore stages run here). Where hot-plug is unavailable the
// monitor rescans periodically instead.
class DeviceAttachMonitorLinux : public DeviceAttachMonitor {
public:
    // How often to rescan when the platform has no hot-plug.
    static constexpr std::chrono::milliseconds kFallbackRescanPeriod{1000};

    DeviceAttachMonitorLinux();
    ~DeviceAttachMonitorLinux() override;

    void Run() override;
    void OnStop() override;
    void Scan() override;

    // The present devices as a scan sees them (empty before the thread runs).
    std::vector<PresentDevice> PresentDevices() const;

protected:
    // Scans happen on the monitor thread only: a request sets a flag and
    // wakes the thread's event loop.
    void RequestScan() override;

private:
    void Wake();

    std::atomic<bool> m_scanRequested{false};
    mutable std::mutex m_enumeratorLock;  // guards the pointer, not the enumerator's use
    std::shared_ptr<UsbBusEnumerator> m_enumerator;
};
