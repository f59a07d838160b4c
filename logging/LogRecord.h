#pragma once

#include <cstdint>
#include <string>

#include "context/EventReceiver.h"

// Severities of log messages; a message is accepted when its severity is
// below the debug output level.
enum LogSeverity : int32_t {
    LOG_CRITICAL = 0,
    LOG_WARNING = 1,
    LOG_INFO = 2,
};

// One accepted log message, as queued for output and handed to listeners.
struct LogRecord {
    int64_t frameId = -1;  // negative: none
    int32_t severity = LOG_INFO;
    uint32_t errorCode = 0;  // 0: none
    std::string text;        // the fully formatted line, without line end
};

// Receives every record the log server accepts (the resource host forwards
// them to its clients). Called on the logging thread, outside the server's
// lock, so a receiver may log in turn.
class LogRecordListener : public virtual EventReceiver {
public:
    virtual void onLogRecord(const LogRecord& record) = 0;
};
