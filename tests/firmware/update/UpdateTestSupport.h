#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "context/CoreContext.h"
#include "logging/EventLogServer.h"
#include "logging/LogRecord.h"
#include "tests/logging/LogTestSupport.h"

// The log lines of a context, without their time stamps ("[Info] text").
class LogLines : public LogRecordListener {
public:
    void onLogRecord(const LogRecord& record) override {
        const auto cut = record.text.find("] [");
        std::lock_guard<std::mutex> lock(m_linesLock);
        m_lines.push_back(cut == std::string::npos ? record.text : record.text.substr(cut + 2));
    }
    std::vector<std::string> lines() const {
        std::lock_guard<std::mutex> lock(m_linesLock);
        return m_lines;
    }
    // The lines that start with this text.
    std::vector<std::string> startingWith(const std::string& prefix) const {
        std::vector<std::string> out;
        for (const auto& line : lines())
            if (line.compare(0, prefix.size(), prefix) == 0) out.push_back(line);
        return out;
    }

private:
    mutable std::mutex m_linesLock;
    std::vector<std::string> m_lines;
};

// A log server (its thread never started) and a collector of its lines in a
// context.
inline std::shared_ptr<LogLines> AddLogLines(const std::shared_ptr<CoreContext>& context, std::ostream& console) {
    context->AddMember(std::make_shared<EventLogServer>(std::make_shared<FakeLogClock>(), console));
    auto lines = std::make_shared<LogLines>();
    context->AddMember(lines);
    return lines;
}
