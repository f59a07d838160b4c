#pragma once
// Suspend and resume of the machine as logind announces them on the system
// bus: PrepareForSleep(true) before the machine sleeps, PrepareForSleep(false)
// once it has woken. A delay lock on sleep is held while the tool runs, so
// that the machine waits (up to logind's own limit) until the handler has
// released the devices; it is taken again after every resume.

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>

struct sd_bus;
struct sd_bus_slot;
struct sd_bus_message;

class PowerEventsLinux {
public:
    // Called on the power thread: true before sleep, false after waking. The
    // delay lock is released only once the call for a suspend has returned.
    using Handler = std::function<void(bool suspending)>;

    // Connects to the system bus ($DBUS_SYSTEM_BUS_ADDRESS, else the standard
    // socket), asks logind for the delay lock, subscribes to PrepareForSleep
    // and follows it on a thread of its own. Where there is no system bus or
    // no logind, returns empty and `why` says which, with the bus's error.
    static std::unique_ptr<PowerEventsLinux> Start(Handler handler, std::string& why);

    // Stops the thread (a handler call under way is waited for) and gives the
    // delay lock back.
    ~PowerEventsLinux();
    PowerEventsLinux(const PowerEventsLinux&) = delete;
    PowerEventsLinux& operator=(const PowerEventsLinux&) = delete;

private:
    PowerEventsLinux(sd_bus* bus, Handler handler);
    void Run();
    bool TakeDelayLock(std::string* why);
    void ReleaseDelayLock();
    void OnPrepareForSleep(sd_bus_message* message);

    sd_bus* m_bus;  // used by the power thread only, once Start has returned
    sd_bus_slot* m_match = nullptr;
    Handler m_handler;
    int m_delayLock = -1;
    int m_stopEvent = -1;  // an eventfd that wakes the power thread to stop
    std::atomic<bool> m_stopping{false};
    std::thread m_thread;
};
