#pragma once

// A D-Bus daemon of the test's own on a private socket, standing in for the
// system bus, and python-dbusmock's logind template on it playing logind.
// Every wait is bounded; the processes are ended with the object.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/TempFolder.h"

extern char** environ;

namespace powertest {

class PrivateSystemBus {
public:
    // Where the tools are; both come from Debian packages (dbus-daemon,
    // python3-dbusmock for the system's own python3).
    static constexpr const char* kDaemon = "/usr/bin/dbus-daemon";
    static constexpr const char* kPython = "/usr/bin/python3";

    PrivateSystemBus() : m_address("unix:path=" + (m_folder.path() / "system_bus").string()) {}
    ~PrivateSystemBus() {
        const std::vector<pid_t> children = m_children;  // End() forgets each
        for (auto it = children.rbegin(); it != children.rend(); ++it) End(*it);
    }

    const std::string& address() const { return m_address; }

    // Empty when the tools are there; else what is missing.
    static std::string Missing() {
        if (access(kDaemon, X_OK) != 0) return std::string(kDaemon) + " (package dbus-daemon)";
        PrivateSystemBus probe;
        const pid_t pid = probe.Spawn({kPython, "-c", "import dbusmock"});
        if (pid < 0 || probe.WaitFor(pid, std::chrono::seconds(30)) != 0)
            return std::string("python3-dbusmock for ") + kPython;
        return {};
    }

    // Starts the daemon; true once a client can connect.
    bool StartDaemon() {
        if (Spawn({kDaemon, "--session", "--nofork", "--nopidfile", "--address=" + m_address}) < 0) return false;
        return Eventually([&] {
            sd_bus* bus = Connect();
            sd_bus_flush_close_unref(bus);
            return bus != nullptr;
        });
    }

    // Starts the logind stand-in; true once it owns logind's name.
    bool StartLogind() {
        if (Spawn({kPython, "-m", "dbusmock", "--system", "--template", "logind"}) < 0) return false;
        return Eventually([&] { return NameHasOwner("org.freedesktop.login1"); }, std::chrono::seconds(30));
    }

    // A client connection of the test's own (null when none can be made).
    sd_bus* Connect() const {
        sd_bus* bus = nullptr;
        if (sd_bus_new(&bus) < 0) return nullptr;
        if (sd_bus_set_address(bus, m_address.c_str()) < 0 || sd_bus_set_bus_client(bus, 1) < 0 ||
            sd_bus_start(bus) < 0) {
            sd_bus_unref(bus);
            return nullptr;
        }
        return bus;
    }

    // logind's PrepareForSleep, emitted through the mock.
    bool EmitPrepareForSleep(bool suspending) const {
        sd_bus* bus = Connect();
        if (!bus) return false;
        sd_bus_error error = SD_BUS_ERROR_NULL;
        const int r =
            sd_bus_call_method(bus, "org.freedesktop.login1", "/org/freedesktop/login1", "org.freedesktop.DBus.Mock",
                               "EmitSignal", &error, nullptr, "sssav", "org.freedesktop.login1.Manager",
                               "PrepareForSleep", "b", 1u, "b", static_cast<int>(suspending));
        sd_bus_error_free(&error);
        sd_bus_flush_close_unref(bus);
        return r >= 0;
    }

    template <class Predicate>
    static bool Eventually(Predicate predicate, std::chrono::milliseconds bound = std::chrono::seconds(15)) {
        const auto deadline = std::chrono::steady_clock::now() + bound;
        while (!predicate()) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return true;
    }

private:
    bool NameHasOwner(const char* name) const {
        sd_bus* bus = Connect();
        if (!bus) return false;
        sd_bus_message* reply = nullptr;
        int owned = 0;
        if (sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                               "NameHasOwner", nullptr, &reply, "s", name) >= 0)
            sd_bus_message_read(reply, "b", &owned);
        sd_bus_message_unref(reply);
        sd_bus_flush_close_unref(bus);
        return owned != 0;
    }

    // Children run without the test's preload libraries (the emulation's,
    // the sanitizers' options stay harmless) and with the private bus as
    // their system bus; their output goes to a file in the folder.
    pid_t Spawn(const std::vector<std::string>& argv) {
        std::vector<std::string> env;
        for (char** e = environ; *e; ++e) {
            if (std::strncmp(*e, "LD_PRELOAD=", 11) == 0 || std::strncmp(*e, "DBUS_SYSTEM_BUS_ADDRESS=", 24) == 0)
                continue;
            env.emplace_back(*e);
        }
        env.push_back("DBUS_SYSTEM_BUS_ADDRESS=" + m_address);
        std::vector<char*> args, envp;
        for (auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        for (auto& e : env) envp.push_back(e.data());
        envp.push_back(nullptr);
        const std::string log = (m_folder.path() / "children.log").string();
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        pid_t pid = -1;
        const int rc = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        if (rc != 0) return -1;
        m_children.push_back(pid);
        return pid;
    }

    // The exit status, or -1 when it has not ended within the bound.
    int WaitFor(pid_t pid, std::chrono::milliseconds bound) {
        int status = 0;
        const bool ended = Eventually([&] { return waitpid(pid, &status, WNOHANG) == pid; }, bound);
        if (!ended) return -1;
        std::erase(m_children, pid);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    void End(pid_t pid) {
        kill(pid, SIGTERM);
        if (WaitFor(pid, std::chrono::seconds(5)) == -1 &&
            std::find(m_children.begin(), m_children.end(), pid) != m_children.end()) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }

    TempFolder m_folder{"tyvo-bus"};
    std::string m_address;
    std::vector<pid_t> m_children;
};

}  // namespace powertest
