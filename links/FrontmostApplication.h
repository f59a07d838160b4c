#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

// The application in front of the user.
struct FrontmostApplication {
    uint32_t pid = 0;  // 0: none known
    std::string path;
    std::string title;
};

// What the desktop says is in front, when the platform can tell; see the
// platform file.
std::optional<FrontmostApplication> queryDesktopForeground();

// Tracks the frontmost application: from client reports once a client has
// made one, from the desktop before that.
class FrontmostApplicationTracker {
public:
    // A client's report (any thread). From now on the desktop is not asked.
    // A report naming another process replaces the tracked application.
    void report(uint32_t pid, const std::string& path, const std::string& title);

    // The frontmost application now (the host's thread, each pass).
    FrontmostApplication update();

private:
    std::mutex m_reportLock;  // guards the report, written by request handling
    bool m_reported = false;
    FrontmostApplication m_reportedApplication;
};
