#include <unistd.h>
#include <xcb/xcb.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "links/FrontmostApplication.h"

// The desktop is asked through X11: an EWMH window manager names the active
// window in the root window's _NET_ACTIVE_WINDOW, and a client window names
// its process in _NET_WM_PID. The process's executable path is read from
// /proc.
//
// Without DISPLAY there is no X server to ask: a console session, a service
// started outside the desktop, or a Wayland session without Xwayland, where
// no protocol lets one client learn which window of another has the focus.
// The answer is then "not known", as before any client report, and the
// frontmost process stays 0 until a client reports one.
namespace {

struct ReplyFree {
    void operator()(void* reply) const { std::free(reply); }
};
template <class T>
using Reply = std::unique_ptr<T, ReplyFree>;

// One connection for as long as DISPLAY names the same server; the host asks
// every pass, and a connection per question would cost the server a client
// each time.
class DesktopConnection {
public:
    ~DesktopConnection() { disconnect(); }

    std::optional<FrontmostApplication> query(const char* display) {
        if (!connect(display)) return std::nullopt;
        const xcb_window_t window = activeWindow();
        if (window == XCB_WINDOW_NONE) {
            m_lastWindow = XCB_WINDOW_NONE;
            m_last = {};
            return m_last;
        }
        // Only a window different from the last one is looked up again.
        if (window != m_lastWindow) {
            m_lastWindow = window;
            m_last = {};
            m_last.pid = windowPid(window);
            if (m_last.pid != 0) m_last.path = executablePath(m_last.pid);
            m_last.title = windowTitle(window);
        }
        // A server gone meanwhile makes the answers above empty; the next
        // question connects again.
        if (xcb_connection_has_error(m_connection)) {
            disconnect();
            return std::nullopt;
        }
        return m_last;
    }

private:
    bool connect(const char* display) {
        if (m_connection && m_display == display && !xcb_connection_has_error(m_connection)) return true;
        disconnect();
        int screenNumber = 0;
        xcb_connection_t* connection = xcb_connect(display, &screenNumber);
        if (xcb_connection_has_error(connection)) {
            xcb_disconnect(connection);
            return false;
        }
        xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(connection));
        for (int i = 0; i < screenNumber && screens.rem; ++i) xcb_screen_next(&screens);
        if (!screens.rem) {
            xcb_disconnect(connection);
            return false;
        }
        m_connection = connection;
        m_display = display;
        m_root = screens.data->root;
        m_activeWindowAtom = atom("_NET_ACTIVE_WINDOW");
        m_pidAtom = atom("_NET_WM_PID");
        m_nameAtom = atom("_NET_WM_NAME");
        m_utf8Atom = atom("UTF8_STRING");
        return true;
    }

    void disconnect() {
        if (m_connection) xcb_disconnect(m_connection);
        m_connection = nullptr;
        m_display.clear();
        m_lastWindow = XCB_WINDOW_NONE;
        m_last = {};
    }

    xcb_atom_t atom(const char* name) {
        Reply<xcb_intern_atom_reply_t> reply(xcb_intern_atom_reply(
            m_connection, xcb_intern_atom(m_connection, 0, static_cast<uint16_t>(std::strlen(name)), name), nullptr));
        return reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
    }

    // The first 32-bit item of a property, or 0.
    uint32_t cardinal(xcb_window_t window, xcb_atom_t property, xcb_atom_t type) {
        if (property == XCB_ATOM_NONE) return 0;
        Reply<xcb_get_property_reply_t> reply(xcb_get_property_reply(
            m_connection, xcb_get_property(m_connection, 0, window, property, type, 0, 1), nullptr));
        if (!reply || reply->type != type || reply->format != 32 || xcb_get_property_value_length(reply.get()) < 4) {
            return 0;
        }
        uint32_t value = 0;
        std::memcpy(&value, xcb_get_property_value(reply.get()), sizeof value);
        return value;
    }

    xcb_window_t activeWindow() { return cardinal(m_root, m_activeWindowAtom, XCB_ATOM_WINDOW); }
    uint32_t windowPid(xcb_window_t window) { return cardinal(window, m_pidAtom, XCB_ATOM_CARDINAL); }

    std::string windowTitle(xcb_window_t window) {
        std::string title = text(window, m_nameAtom, m_utf8Atom);
        return title.empty() ? text(window, XCB_ATOM_WM_NAME, XCB_ATOM_STRING) : title;
    }

    std::string text(xcb_window_t window, xcb_atom_t property, xcb_atom_t type) {
        if (property == XCB_ATOM_NONE || type == XCB_ATOM_NONE) return {};
        Reply<xcb_get_property_reply_t> reply(xcb_get_property_reply(
            m_connection, xcb_get_property(m_connection, 0, window, property, type, 0, 1024), nullptr));
        if (!reply || reply->type != type || reply->format != 8) return {};
        return std::string(static_cast<const char*>(xcb_get_property_value(reply.get())),
                           static_cast<size_t>(xcb_get_property_value_length(reply.get())));
    }

    // Empty when it cannot be read (another user's process, one that ended).
    static std::string executablePath(uint32_t pid) {
        char path[PATH_MAX];
        const std::string link = "/proc/" + std::to_string(pid) + "/exe";
        const ssize_t length = readlink(link.c_str(), path, sizeof path);
        if (length <= 0 || static_cast<size_t>(length) >= sizeof path) return {};
        return std::string(path, static_cast<size_t>(length));
    }

    xcb_connection_t* m_connection = nullptr;
    std::string m_display;
    xcb_window_t m_root = XCB_WINDOW_NONE;
    xcb_atom_t m_activeWindowAtom = XCB_ATOM_NONE;
    xcb_atom_t m_pidAtom = XCB_ATOM_NONE;
    xcb_atom_t m_nameAtom = XCB_ATOM_NONE;
    xcb_atom_t m_utf8Atom = XCB_ATOM_NONE;
    xcb_window_t m_lastWindow = XCB_WINDOW_NONE;
    FrontmostApplication m_last;
};

}  // namespace

std::optional<FrontmostApplication> queryDesktopForeground() {
    // Read every time: a test, or a session that gains a display, may set it.
    const char* display = std::getenv("DISPLAY");
    if (!display || !*display) return std::nullopt;
    // The resource host asks from its own thread; the lock keeps other
    // callers (tests) from sharing the connection with it at the same time.
    static std::mutex lock;
    static DesktopConnection connection;
    std::lock_guard<std::mutex> guard(lock);
    return connection.query(display);
}
