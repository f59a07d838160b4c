#pragma once

#include <cstdint>
#include <ctime>
#include <memory>

// The log server's view of time: calendar time for the time stamps and file
// names, a steady clock for the flush cadence and the profiling intervals.
// Tests substitute their own.
class LogClock {
public:
    virtual ~LogClock() = default;
    virtual std::time_t now() const = 0;
    virtual int64_t steadyMilliseconds() const = 0;
};

// The system clocks.
std::shared_ptr<LogClock> systemLogClock();
