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

    // Whether a hot-plug notice or a poll has anything to act on: the
    // devices differ (in any order) from those the last scan saw, or one left
    // in between, which may be back at the same place.
    static bool ChangedSince(const std::vector<PresentDevice>& present, const std::vector<PresentDevice>& lastSeen,
                             bool deviceLeft);

protected:
    // Scans happen on the monitor thread only: a request sets a flag and
    // wakes the thread's event loop.
    void RequestScan() override;

private:
    void Wake();
    // A scan for a hot-plug notice or a fallback poll: it acts only when the
    // devices differ from what the last scan saw, or one has left meanwhile
    // (it may be back at the same place). A late arrival notice of a device
    // a scan already took, or a poll that finds the same devices, must not
    // run a failed restore stage again: that waits for the next change.
    void ScanOnChange(bool deviceLeft);
    // Every scan remembers what it saw (monitor thread only).
    void ReconcileAndRemember(std::vector<PresentDevice> present);

    std::atomic<bool> m_scanRequested{false};  // a scan that acts whatever it finds
    std::atomic<bool> m_changeNoticed{false};  // a hot-plug notice
    std::atomic<bool> m_deviceLeft{false};     // a hot-plug notice of a device leaving
    std::vector<PresentDevice> m_lastSeen;
    mutable std::mutex m_enumeratorLock;  // guards the pointer, not the enumerator's use
    std::shared_ptr<UsbBusEnumerator> m_enumerator;
};
