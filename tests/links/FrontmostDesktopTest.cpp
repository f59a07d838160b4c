// The frontmost application as an X11 desktop names it: the root window's
// _NET_ACTIVE_WINDOW and that window's _NET_WM_PID. Each test runs its own
// Xvfb server and makes the windows a window manager would report.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>
#include <utility>

#include "links/FrontmostApplication.h"
#include "tests/links/HostTestSupport.h"

extern char** environ;

namespace {

using namespace hosttest;

std::optional<std::string> findProgram(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/bin:/bin";
    size_t start = 0;
    while (start <= dirs.size()) {
        size_t end = dirs.find(':', start);
        if (end == std::string::npos) end = dirs.size();
        const std::string candidate = dirs.substr(start, end - start) + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
        start = end + 1;
    }
    return std::nullopt;
}

// An Xvfb server on a display number it picks itself (-displayfd writes the
// number once the server accepts connections), ended with the object.
class VirtualDisplay {
public:
    explicit VirtualDisplay(const std::string& program) {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], 3);  // dup2 clears close-on-exec
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        const char* args[] = {program.c_str(), "-displayfd", "3",          "-nolisten", "tcp",
                              "-screen",       "0",          "320x240x24", nullptr};
        const int rc = posix_spawn(&m_pid, program.c_str(), &actions, nullptr, const_cast<char**>(args), environ);
        posix_spawn_file_actions_destroy(&actions);
        close(fds[1]);
        if (rc != 0) {
            m_pid = -1;
            close(fds[0]);
            return;
        }
        // Bounded: a server that does not come up fails the test, not the run.
        std::string number;
        const auto deadline = std::chrono::steady_clock::now() + 15s;
        while (number.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
            pollfd p{fds[0], POLLIN, 0};
            if (poll(&p, 1, 100) <= 0) continue;
            char buffer[16];
            const ssize_t n = read(fds[0], buffer, sizeof buffer);
            if (n <= 0) break;
            number.append(buffer, static_cast<size_t>(n));
        }
        close(fds[0]);
        // The number turned into ":N" in place: GCC 12 warns falsely
        // (-Wrestrict) when the name is built by concatenation.
        if (const auto end = number.find('\n'); end != std::string::npos) {
            number.resize(end);
            number.insert(number.begin(), ':');
            m_display = std::move(number);
        }
    }
    ~VirtualDisplay() {
        if (m_pid > 0) {
            kill(m_pid, SIGTERM);
            waitpid(m_pid, nullptr, 0);
        }
    }
    // Empty when the server did not start.
    const std::string& name() const { return m_display; }

private:
    pid_t m_pid = -1;
    std::string m_display;
};

// What a window manager and an application do: windows with their process
// and title, and the root's note of the active one.
class Desktop {
public:
    explicit Desktop(const std::string& display) {
        m_connection = xcb_connect(display.c_str(), nullptr);
        if (xcb_connection_has_error(m_connection)) return;
        m_root = xcb_setup_roots_iterator(xcb_get_setup(m_connection)).data->root;
        m_active = atom("_NET_ACTIVE_WINDOW");
        m_pid = atom("_NET_WM_PID");
        m_name = atom("_NET_WM_NAME");
        m_utf8 = atom("UTF8_STRING");
    }
    ~Desktop() { xcb_disconnect(m_connection); }
    bool connected() const { return !xcb_connection_has_error(m_connection); }

    xcb_window_t window(uint32_t pid, const std::string& title) {
        const xcb_window_t w = xcb_generate_id(m_connection);
        xcb_create_window(m_connection, XCB_COPY_FROM_PARENT, w, m_root, 0, 0, 100, 100, 0,
                          XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT, 0, nullptr);
        xcb_change_property(m_connection, XCB_PROP_MODE_REPLACE, w, m_pid, XCB_ATOM_CARDINAL, 32, 1, &pid);
        xcb_change_property(m_connection, XCB_PROP_MODE_REPLACE, w, m_name, m_utf8, 8,
                            static_cast<uint32_t>(title.size()), title.data());
        xcb_map_window(m_connection, w);
        sync();
        return w;
    }
    void activate(xcb_window_t w) {
        xcb_change_property(m_connection, XCB_PROP_MODE_REPLACE, m_root, m_active, XCB_ATOM_WINDOW, 32, 1, &w);
        sync();
    }
    void noActiveWindow() {
        xcb_delete_property(m_connection, m_root, m_active);
        sync();
    }

private:
    xcb_atom_t atom(const char* name) {
        auto* reply = xcb_intern_atom_reply(
            m_connection, xcb_intern_atom(m_connection, 0, static_cast<uint16_t>(std::strlen(name)), name), nullptr);
        const xcb_atom_t a = reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
        std::free(reply);
        return a;
    }
    // A round trip: everything sent before it has been applied by the server.
    void sync() { std::free(xcb_get_input_focus_reply(m_connection, xcb_get_input_focus(m_connection), nullptr)); }

    xcb_connection_t* m_connection;
    xcb_window_t m_root = XCB_WINDOW_NONE;
    xcb_atom_t m_active = XCB_ATOM_NONE, m_pid = XCB_ATOM_NONE, m_name = XCB_ATOM_NONE, m_utf8 = XCB_ATOM_NONE;
};

std::string ownExecutable() {
    char path[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path);
    return n > 0 ? std::string(path, static_cast<size_t>(n)) : std::string();
}

class DesktopTest : public HostTest {
protected:
    void SetUp() override {
        HostTest::SetUp();
        auto program = findProgram("Xvfb");
        if (!program) GTEST_SKIP() << "Xvfb is not installed (Debian package xvfb): no X server to test against";
        m_server.emplace(*program);
        ASSERT_FALSE(m_server->name().empty()) << "Xvfb did not start within 15 s";
        m_desktop.emplace(m_server->name());
        ASSERT_TRUE(m_desktop->connected());
        // Before any thread of the test asks the desktop.
        setenv("DISPLAY", m_server->name().c_str(), 1);
    }
    void TearDown() override {
        HostTest::TearDown();  // the host's thread reads DISPLAY
        unsetenv("DISPLAY");
        m_desktop.reset();
        m_server.reset();
    }
    std::optional<VirtualDisplay> m_server;
    std::optional<Desktop> m_desktop;
};

TEST_F(DesktopTest, ActiveWindowNamesItsProcessPathAndTitle) {
    auto nothing = queryDesktopForeground();
    ASSERT_TRUE(nothing) << "a desktop without an active window is still a desktop";
    EXPECT_EQ(nothing->pid, 0u);

    const uint32_t self = static_cast<uint32_t>(getpid());
    m_desktop->activate(m_desktop->window(self, "Viewer \xE2\x80\x93 one"));
    auto front = queryDesktopForeground();
    ASSERT_TRUE(front);
    EXPECT_EQ(front->pid, self);
    EXPECT_EQ(front->path, ownExecutable());
    EXPECT_EQ(front->title, "Viewer \xE2\x80\x93 one");

    // A process whose executable cannot be read (here: none has that id,
    // above the kernel's largest) keeps its id with an empty path.
    m_desktop->activate(m_desktop->window(0x7FFFFFF0u, "Gone"));
    front = queryDesktopForeground();
    ASSERT_TRUE(front);
    EXPECT_EQ(front->pid, 0x7FFFFFF0u);
    EXPECT_EQ(front->path, "");
    EXPECT_EQ(front->title, "Gone");

    m_desktop->noActiveWindow();
    front = queryDesktopForeground();
    ASSERT_TRUE(front);
    EXPECT_EQ(front->pid, 0u);

    unsetenv("DISPLAY");
    EXPECT_FALSE(queryDesktopForeground()) << "without a display nothing is known";
}

TEST_F(DesktopTest, HostFocusesTheProxyOfTheApplicationInFront) {
    // The bridge stands in for this very test program when it is in front.
    std::ofstream(m_folder.file("policy.json"))
        << R"({"proxy_settings": {"logging": false, "proxies": [{"proxy": "/opt/bridge/Bridge", "clients": [{"client": ")"
        << ownExecutable() << R"("}]}]}})";
    auto& host = startHost();
    auto bridge = client(false);
    ASSERT_TRUE(bridge->authenticate("1.0.2+0", 4321, "Bridge", "/opt/bridge/Bridge"));
    const uint32_t from = host.currentTick();
    ASSERT_TRUE(eventually([&] { return host.currentTick() - from >= 3; }));
    EXPECT_EQ(host.focusedProcess(), 0u) << "nothing in front yet";

    m_desktop->activate(m_desktop->window(static_cast<uint32_t>(getpid()), "Tests"));
    EXPECT_TRUE(eventually([&] { return host.focusedProcess() == 4321; }));
}

}  // namespace
