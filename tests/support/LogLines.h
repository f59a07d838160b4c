#pragma once

// The tool's standard output carries the log server's lines beside what it
// prints for the user. They carry the time, and their place among the
// user's lines depends on when the log server's thread writes its batch, so
// transcripts are compared without them.

#include <sstream>
#include <string>

#include "logging/LogLineFormat.h"

namespace testsupport {

// `output` without its log lines; `logLines` (when given) receives them.
inline std::string WithoutLogLines(const std::string& output, std::string* logLines = nullptr) {
    std::istringstream in(output);
    std::string kept;
    for (std::string line; std::getline(in, line);) {
        const bool complete = !in.eof();
        if (IsTimestampedLogLine(line)) {
            if (logLines) *logLines += line + '\n';
            continue;
        }
        kept += line;
        if (complete) kept += '\n';
    }
    return kept;
}

}  // namespace testsupport
