#pragma once

// Lines the tool prints for the user share standard output with the log
// server, whose thread writes its batches of log lines at any moment. A line
// handed to the stream in one piece (text and newline together) cannot have
// a log line land in its middle: the stream writes each piece under its own
// lock. A progress line standing on the terminal is taken down around it
// (see ConsoleOverlay.h).

#include <ostream>
#include <string>
#include <string_view>

#include "logging/ConsoleOverlay.h"

inline void WriteConsoleLine(std::ostream& out, std::string_view text) {
    std::string line;
    line.reserve(text.size() + 1);
    line.append(text);
    line.push_back('\n');
    WriteAroundOverlay(out, line);
}
