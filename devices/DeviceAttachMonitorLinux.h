#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "context/Autowired.h"
#include "devices/DeviceAttachMonitor.h"
#include "logging/EventLogServer.h"

class UsbBusEnumerator;

// The attach monitor on Linux. Every libusb hot-plug notice triggers a full
// scan on the monitor's own thread, which is also where every device object
// is built (the restore stages run here). Where hot-plug is unavailable the
// monitor rescans periodically instead. Suspend and resume come from
// logind (PowerEventsLinux.h): a suspend releases every device context, a
// resume scans again; while suspended, scans do nothing.
class DeviceAttachMonitorLinux : public DeviceAttachMonitor {
public:
    // How often to rescan when the platform has no hot-plug.
    static constexpr std::chrono::milliseconds kFallbackRescanPeriod{1000};
    // How long a power announcement waits for the monitor's thread to act on
    // it (logind itself lets a delay lock hold sleep back only so long).
    static constexpr std::chrono::milliseconds kPowerEventBound{5000};

    DeviceAttachMonitorLinux();
    ~DeviceAttachMonitorLinux() override;

    void Run() override;
    void OnStop() override;
    void Scan() override;

    // Waits at most `bound` for the monitor's thread to find that USB device
    // access cannot start (libusb_init failed: no usbfs, device events
    // refused by a sandbox). Then returns the one-line reason: the fixed
    // text, libusb's and the system's error, and what to check. Without
    // USB access no device will ever be seen, so the tool says this and
    // ends rather than waiting in silence.
    std::optional<std::string> WaitForStartFailure(std::chrono::milliseconds bound) const;

    // The machine is about to sleep (true) or has woken (false). Acted on by
    // the monitor's thread: a suspend sets the suspended flag and releases
    // every device context, waiting for their threads; a resume clears it
    // and scans. Returns once that is done, or after kPowerEventBound, or
    // at once when the monitor is not running.
    void OnPowerEvent(bool suspending);
    bool IsSuspended() const { return m_suspended; }

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

    // Asks libusb for arrival and leave notices; false where the platform
    // has none, and the monitor then polls (kFallbackRescanPeriod).
    virtual bool StartHotplug(UsbBusEnumerator& enumerator, std::function<void(bool deviceLeft)> notice);

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
    // Power announcements in their order (monitor thread only).
    void HandlePowerEvents();
    void ClosePowerEvents();

    std::atomic<bool> m_scanRequested{false};  // a scan that acts whatever it finds
    std::atomic<bool> m_changeNoticed{false};  // a hot-plug notice
    std::atomic<bool> m_deviceLeft{false};     // a hot-plug notice of a device leaving
    std::atomic<bool> m_suspended{false};      // set by a suspend, cleared by a resume
    mutable std::mutex m_powerLock;            // guards the four fields below
    std::condition_variable m_powerHandled;
    std::deque<bool> m_powerEvents;  // true: suspend
    std::uint64_t m_powerPosted = 0, m_powerDone = 0;
    bool m_powerOpen = false;  // the monitor's thread takes announcements
    Autowired<EventLogServer> m_logServer;
    std::vector<PresentDevice> m_lastSeen;
    mutable std::mutex m_startFailureLock;  // guards m_startFailure
    mutable std::condition_variable m_startFailureSet;
    std::optional<std::string> m_startFailure;
    mutable std::mutex m_enumeratorLock;  // guards the pointer, not the enumerator's use
    std::shared_ptr<UsbBusEnumerator> m_enumerator;
};
