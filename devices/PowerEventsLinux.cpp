#include "devices/PowerEventsLinux.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

namespace {

constexpr const char* kLogind = "org.freedesktop.login1";
constexpr const char* kLogindPath = "/org/freedesktop/login1";
constexpr const char* kLogindManager = "org.freedesktop.login1.Manager";
// logind answers at once or not at all: a bound on every call to it.
constexpr uint64_t kCallTimeoutMicroseconds = 5'000'000;

std::string ErrorText(const sd_bus_error& error, int r) {
    if (sd_bus_error_is_set(&error)) return std::string(error.name) + ": " + (error.message ? error.message : "");
    return std::strerror(-r);
}

}  // namespace

std::unique_ptr<PowerEventsLinux> PowerEventsLinux::Start(Handler handler, std::string& why) {
    sd_bus* bus = nullptr;
    int r = sd_bus_open_system(&bus);
    if (r < 0) {
        why = std::string("no system bus (") + std::strerror(-r) + ")";
        return nullptr;
    }
    sd_bus_set_method_call_timeout(bus, kCallTimeoutMicroseconds);
    std::unique_ptr<PowerEventsLinux> events(new PowerEventsLinux(bus, std::move(handler)));
    if (events->m_stopEvent < 0) {
        why = std::string("no event descriptor (") + std::strerror(errno) + ")";
        return nullptr;
    }
    // Subscribed before the lock is asked for: the match is in place when
    // Start returns, so no announcement is missed after that.
    r = sd_bus_match_signal(
        bus, &events->m_match, kLogind, kLogindPath, kLogindManager, "PrepareForSleep",
        [](sd_bus_message* message, void* self, sd_bus_error*) {
            static_cast<PowerEventsLinux*>(self)->OnPrepareForSleep(message);
            return 0;
        },
        events.get());
    if (r < 0) {
        why = std::string("no system bus (") + std::strerror(-r) + ")";
        return nullptr;
    }
    if (!events->TakeDelayLock(&why)) return nullptr;
    events->m_thread = std::thread([raw = events.get()] { raw->Run(); });
    return events;
}

PowerEventsLinux::PowerEventsLinux(sd_bus* bus, Handler handler)
    : m_bus(bus), m_handler(std::move(handler)), m_stopEvent(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

PowerEventsLinux::~PowerEventsLinux() {
    m_stopping = true;
    if (m_stopEvent >= 0) {
        const uint64_t one = 1;
        // A full counter already wakes the thread: nothing to do on failure.
        [[maybe_unused]] const ssize_t written = write(m_stopEvent, &one, sizeof one);
    }
    if (m_thread.joinable()) m_thread.join();
    ReleaseDelayLock();
    sd_bus_slot_unref(m_match);
    sd_bus_flush_close_unref(m_bus);
    if (m_stopEvent >= 0) close(m_stopEvent);
}

bool PowerEventsLinux::TakeDelayLock(std::string* why) {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* call = nullptr;
    sd_bus_message* reply = nullptr;
    int r = sd_bus_message_new_method_call(m_bus, &call, kLogind, kLogindPath, kLogindManager, "Inhibit");
    // A logind that is not running is not started for us (a container may
    // list it as activatable without being able to run it): the answer
    // comes at once instead of after the call's time-out.
    if (r >= 0) r = sd_bus_message_set_auto_start(call, 0);
    if (r >= 0)
        r = sd_bus_message_append(call, "ssss", "sleep", "tyvo-reset",
                                  "Release the Tyvo Controller before the system sleeps", "delay");
    if (r >= 0) r = sd_bus_call(m_bus, call, 0, &error, &reply);
    sd_bus_message_unref(call);
    if (r < 0) {
        if (why) *why = "no logind on the system bus (" + ErrorText(error, r) + ")";
        sd_bus_error_free(&error);
        return false;
    }
    int fd = -1;
    r = sd_bus_message_read(reply, "h", &fd);
    // The descriptor belongs to the message: keep a copy of our own.
    if (r >= 0) m_delayLock = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    sd_bus_message_unref(reply);
    if (r < 0 || m_delayLock < 0) {
        if (why) *why = std::string("no delay lock from logind (") + std::strerror(r < 0 ? -r : errno) + ")";
        return false;
    }
    return true;
}

void PowerEventsLinux::ReleaseDelayLock() {
    if (m_delayLock >= 0) close(m_delayLock);
    m_delayLock = -1;
}

void PowerEventsLinux::OnPrepareForSleep(sd_bus_message* message) {
    int suspending = 0;
    if (sd_bus_message_read(message, "b", &suspending) < 0) return;
    if (suspending) {
        m_handler(true);
        // The devices are released: the machine may sleep now.
        ReleaseDelayLock();
    } else {
        // Without the lock the next suspend would not wait for the devices;
        // failing to get it only means that.
        if (m_delayLock < 0) TakeDelayLock(nullptr);
        m_handler(false);
    }
}

void PowerEventsLinux::Run() {
    while (!m_stopping) {
        const int r = sd_bus_process(m_bus, nullptr);
        if (r < 0) return;  // the bus is gone: no further announcements
        if (r > 0) continue;
        uint64_t timeout = 0;
        int waitMs = -1;
        if (sd_bus_get_timeout(m_bus, &timeout) >= 0 && timeout != UINT64_MAX) {
            // sd-bus gives an absolute CLOCK_MONOTONIC time: poll at most a
            // second at a time and let sd_bus_process decide.
            waitMs = 1000;
        }
        pollfd fds[2] = {{sd_bus_get_fd(m_bus), static_cast<short>(sd_bus_get_events(m_bus)), 0},
                         {m_stopEvent, POLLIN, 0}};
        if (poll(fds, 2, waitMs) < 0 && errno != EINTR) return;
    }
}
