#include "logging/LogTime.h"

#include <array>
#include <cstdio>
#include <stdexcept>

namespace {

constexpr std::array<const char*, 12> kMonths = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                 "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
constexpr std::array<const char*, 7> kWeekdays = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};

// Field values outside their range (a hand-made tm) must not index past the
// tables.
const char* nameOf(const auto& table, int index) {
    return (index >= 0 && static_cast<std::size_t>(index) < table.size()) ? table[static_cast<std::size_t>(index)]
                                                                          : "???";
}

}  // namespace

std::tm localTime(std::time_t time) {
    std::tm result{};
    if (!localtime_r(&time, &result)) {
        throw std::runtime_error("could not convert calendar time to local time");
    }
    return result;
}

std::string formatDateTime(const std::tm& time) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%04d-%s-%02d %02d:%02d:%02d", time.tm_year + 1900,
                  nameOf(kMonths, time.tm_mon), time.tm_mday, time.tm_hour, time.tm_min, time.tm_sec);
    return buffer;
}

std::string formatFileStamp(const std::tm& time) {
    // The layout of asctime: "Www Mmm dd hh:mm:ss yyyy", the day padded
    // with a space.
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%s %s%3d %02d:%02d:%02d %d", nameOf(kWeekdays, time.tm_wday),
                  nameOf(kMonths, time.tm_mon), time.tm_mday, time.tm_hour, time.tm_min, time.tm_sec,
                  time.tm_year + 1900);
    std::string stamp = buffer;
    for (char& c : stamp) {
        if (c == ' ') c = '_';
        if (c == ':') c = '-';
    }
    return stamp;
}
