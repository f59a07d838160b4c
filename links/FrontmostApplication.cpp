#include "links/FrontmostApplication.h"

void FrontmostApplicationTracker::report(uint32_t pid, const std::string& path, const std::string& title) {
    std::lock_guard<std::mutex> lock(m_reportLock);
    m_reported = true;
    if (pid != m_reportedApplication.pid) m_reportedApplication = {pid, path, title};
}

FrontmostApplication FrontmostApplicationTracker::update() {
    {
        std::lock_guard<std::mutex> lock(m_reportLock);
        if (m_reported) return m_reportedApplication;
    }
    return queryDesktopForeground().value_or(FrontmostApplication{});
}
