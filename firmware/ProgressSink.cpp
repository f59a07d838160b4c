#include "firmware/ProgressSink.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

void ProgressMeter::start(uint64_t total, Clock::time_point now) {
    m_total = total;
    m_done = 0;
    m_started = now;
    m_now = now;
}

void ProgressMeter::update(uint64_t done, Clock::time_point now) {
    // Work reported beyond its total is complete, not more than complete.
    m_done = std::min(done, m_total);
    // Until bytes move (a flash being erased), the clock does not run: the
    // rate is that of the bytes, not of the wait before them.
    if (m_done == 0) m_started = now;
    m_now = std::max(now, m_started);
}

unsigned ProgressMeter::percent() const {
    if (m_total == 0) return 100;
    return static_cast<unsigned>(m_done * 100 / m_total);
}

std::optional<double> ProgressMeter::rate() const {
    const double seconds = std::chrono::duration<double>(m_now - m_started).count();
    if (seconds <= 0 || m_done == 0) return std::nullopt;
    return static_cast<double>(m_done) / seconds;
}

std::optional<std::chrono::seconds> ProgressMeter::remaining() const {
    const auto bytesPerSecond = rate();
    if (!bytesPerSecond) return std::nullopt;
    const double left = static_cast<double>(m_total - m_done) / *bytesPerSecond;
    return std::chrono::seconds(static_cast<long long>(std::ceil(left)));
}

std::string FormatByteCount(double bytes) {
    static const char* const kUnits[] = {"B", "KiB", "MiB", "GiB"};
    int unit = 0;
    while (bytes >= 1024 && unit < 3) {
        bytes /= 1024;
        ++unit;
    }
    char text[32];
    if (unit == 0 || bytes >= 100)
        std::snprintf(text, sizeof text, "%.0f %s", bytes, kUnits[unit]);
    else
        std::snprintf(text, sizeof text, "%.1f %s", bytes, kUnits[unit]);
    return text;
}

std::string FormatDuration(std::chrono::seconds duration) {
    const long long total = std::max<long long>(duration.count(), 0);
    const long long hours = total / 3600, minutes = total / 60 % 60, seconds = total % 60;
    char text[32];
    if (hours > 0)
        std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", hours, minutes, seconds);
    else
        std::snprintf(text, sizeof text, "%lld:%02lld", minutes, seconds);
    return text;
}
