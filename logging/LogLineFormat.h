#pragma once

// Recognises a line the log server wrote with its time stamp on, as
// EventLogServer::formatLine makes it: "[2026-Dec-09 09:07:19] [Info] text"
// (a frame number or error code may come between). Programs that read the
// tool's console, which carries these lines between the user's, use it to
// tell the two apart. A trailing line end is allowed.

#include <regex>
#include <string_view>

inline bool IsTimestampedLogLine(std::string_view line) {
    static const std::regex kLogLine(R"(\[\d{4}-[A-Z][a-z]{2}-\d{2} \d{2}:\d{2}:\d{2}\] .*\n?)");
    return std::regex_match(line.begin(), line.end(), kLogLine);
}
