#include "logging/EventLogServer.h"

#include <charconv>
#include <chrono>
#include <fstream>
#include <iostream>
#include <locale>
#include <sstream>

#include "config/Config.h"
#include "logging/ConsoleOverlay.h"
#include "logging/ErrorCodes.h"
#include "logging/ExecutableFolder.h"
#include "logging/LogTime.h"

LogOutput parseLogOutput(const std::string& text, bool allowCsv, bool& csv) {
    csv = false;
    if (text == "file") return LOG_OUTPUT_FILE;
    if (text == "console") return LOG_OUTPUT_CONSOLE;
    if (text == "custom") return LOG_OUTPUT_CUSTOM;
    if (allowCsv && text == "filecsv") {
        csv = true;
        return LOG_OUTPUT_FILE;
    }
    return LOG_OUTPUT_NONE;
}

EventLogServer::EventLogServer() : EventLogServer(systemLogClock(), std::cout) {}

EventLogServer::EventLogServer(std::shared_ptr<LogClock> clock, std::ostream& console, std::string logFolder)
    : CoreThread("EventLogServer"), m_clock(std::move(clock)), m_console(console), m_logFolder(std::move(logFolder)) {
    Ready();
}

// Standard output was never redirected, so there is nothing to restore.
EventLogServer::~EventLogServer() = default;

std::string EventLogServer::currentStamp(bool fileStamp) const {
    std::tm now = localTime(m_clock->now());
    return fileStamp ? formatFileStamp(now) : formatDateTime(now);
}

std::string EventLogServer::formatLine(int64_t frameId, int32_t severity, uint32_t errorCode,
                                       const std::string& text) const {
    std::string line;
    line.reserve(text.size() + 64);
    if (m_printTimestamps.load()) {
        line += '[';
        line += currentStamp(false);
        line += "] ";
    }
    if (frameId >= 0) {
        char digits[24];
        auto end = std::to_chars(digits, digits + sizeof digits, frameId).ptr;
        line += "Frame ";
        line.append(digits, end);
        line += ' ';
    }
    switch (severity) {
        case LOG_CRITICAL: line += "[Critical] "; break;
        case LOG_WARNING: line += "[Warning] "; break;
        case LOG_INFO: line += "[Info] "; break;
        default: break;
    }
    if (errorCode != 0) {
        line += '[';
        line += errorCodeName(errorCode);
        line += "] ";
    }
    line += text;
    return line;
}

void EventLogServer::log(int64_t frameId, int32_t severity, uint32_t errorCode, const std::string& text) {
    if (severity >= m_debugLevel.load()) return;
    LogRecord record{frameId, severity, errorCode, formatLine(frameId, severity, errorCode, text)};
    const bool forward = m_recordSender.HasReceivers();
    bool wake = false;
    {
        std::lock_guard<std::mutex> lock(m_serverLock);
        if (m_queue.size() >= kMaxQueuedRecords) m_queue.pop_front();
        if (forward) {
            m_queue.push_back(record);
        } else {
            m_queue.push_back(std::move(record));
        }
        // Wake the thread only when it would flush now; otherwise its next
        // pass (at most 200 ms away) sees the record in time.
        if (m_clock->steadyMilliseconds() - m_lastFlushMs > kFlushIntervalMs && !m_wakeRequested) {
            m_wakeRequested = true;
            wake = true;
        }
    }
    if (wake) m_wakeCondition.notify_one();
    if (forward) m_recordSender.Fire(&LogRecordListener::onLogRecord, record);
}

void EventLogServer::configure() {
    int32_t debugLevel = 3;
    std::string debugMode = "console";
    int32_t profilingLevel = 1;
    std::string profilingMode = "none";
    bool timestamps = true;
    Config::get("debug_output_level", debugLevel);
    Config::get("debug_output_mode", debugMode);
    Config::get("profiling_output_level", profilingLevel);
    Config::get("profiling_output_mode", profilingMode);
    Config::get("print_timestamps_in_log", timestamps);

    bool ignoredCsv = false;
    bool csv = false;
    LogOutput debugOutput = parseLogOutput(debugMode, false, ignoredCsv);
    LogOutput profilingOutput = parseLogOutput(profilingMode, true, csv);

    const std::string stamp = currentStamp(true);
    const std::string started = currentStamp(false);
    const std::string prefix = m_logFolder.empty() ? std::string() : m_logFolder + "/";
    const std::string folder = executableFolder();

    std::lock_guard<std::mutex> lock(m_serverLock);
    m_capturePath = (folder.empty() ? std::string() : folder + "/") + "cout_file.log";
    m_csv = csv;
    m_profilingFile = prefix + "profile_" + stamp + (csv ? ".csv" : ".log");
    m_debugFile = prefix + "debug_" + stamp + ".log";

    // A file that cannot be made switches its output off, quietly.
    if (profilingOutput == LOG_OUTPUT_FILE && profilingLevel > 0) {
        std::ofstream file(m_profilingFile, std::ios::trunc);
        if (!file) {
            profilingOutput = LOG_OUTPUT_NONE;
            profilingLevel = 0;
        } else if (!csv) {
            file << "Profiling log started " << started << '\n';
        }
    }
    if (debugOutput == LOG_OUTPUT_FILE && debugLevel > 0) {
        std::ofstream file(m_debugFile, std::ios::trunc);
        if (!file) {
            debugOutput = LOG_OUTPUT_NONE;
            debugLevel = 0;
        } else {
            file << "Debugging log started " << started << '\n';
        }
    }
    m_profilingLevel = profilingLevel;
    m_profilingMode = profilingOutput;
    m_debugLevel.store(debugLevel);
    m_debugMode.store(debugOutput);
    m_printTimestamps.store(timestamps);
    m_statistics.setSmoothing(0.05, 0.2);
}

void EventLogServer::Run() {
    configure();
    while (!ShouldStop()) {
        auto started = std::chrono::steady_clock::now();
        serviceOnce();
        auto next = started + std::chrono::milliseconds(kLoopPeriodMs);
        std::unique_lock<std::mutex> lock(m_serverLock);
        m_wakeCondition.wait_until(lock, next, [this] { return m_wakeRequested || ShouldStop(); });
        m_wakeRequested = false;
    }
}

void EventLogServer::OnStop() {
    {
        std::lock_guard<std::mutex> lock(m_serverLock);
        m_wakeRequested = true;
    }
    m_wakeCondition.notify_all();
}

bool EventLogServer::serviceOnce() {
    std::lock_guard<std::mutex> output(m_outputLock);
    std::deque<LogRecord> records;
    std::string profile;
    LogOutput profilingMode;
    LogOutput debugMode = m_debugMode.load();
    std::string profilingFile;
    std::string debugFile;
    std::ostream* custom;
    {
        std::lock_guard<std::mutex> lock(m_serverLock);
        const int64_t now = m_clock->steadyMilliseconds();
        if (!((m_dirty || !m_queue.empty()) && now - m_lastFlushMs > kFlushIntervalMs)) return false;
        m_dirty = false;
        m_lastFlushMs = now;
        profilingMode = m_profilingMode;
        if (m_profilingLevel > 0 && profilingMode != LOG_OUTPUT_NONE &&
            (m_profilingLevel < 2 || m_statistics.hasTimers())) {
            std::ostringstream text;
            text.imbue(std::locale::classic());
            if (m_csv) {
                m_statistics.writeCsv(text, m_profilingLevel, m_csvHeaderPending);
            } else {
                m_statistics.writeText(text, m_profilingLevel);
            }
            profile = text.str();
        }
        // The queue is emptied in any case; lines are kept only when there is
        // somewhere to write them.
        records.swap(m_queue);
        if (m_debugLevel.load() <= 0) records.clear();
        profilingFile = m_profilingFile;
        debugFile = m_debugFile;
        custom = m_customStream;
    }
    // The writing happens outside the server lock, so that logging threads
    // never wait for the console or the disk; the output lock keeps flushes
    // and their order intact.
    if (!profile.empty()) writeTo(profilingMode, profilingFile, custom, profile);
    if (!records.empty()) {
        std::string lines;
        for (const auto& record : records) {
            lines += record.text;
            lines += '\n';
        }
        writeTo(debugMode, debugFile, custom, lines);
    }
    return true;
}

void EventLogServer::writeTo(LogOutput mode, const std::string& filePath, std::ostream* custom,
                             const std::string& text) {
    switch (mode) {
        case LOG_OUTPUT_FILE: {
            // A file that cannot be opened now loses this batch only.
            std::ofstream file(filePath, std::ios::app);
            if (file) file << text << std::flush;
            break;
        }
        case LOG_OUTPUT_CONSOLE: WriteAroundOverlay(m_console, text); break;
        case LOG_OUTPUT_CUSTOM:
            if (custom) *custom << text << std::flush;
            break;
        default: break;
    }
}

void EventLogServer::recordFrame(int64_t frameId, double seconds) {
    double now = static_cast<double>(m_clock->steadyMilliseconds()) / 1000.0;
    std::lock_guard<std::mutex> lock(m_serverLock);
    m_statistics.recordFrame(frameId, seconds, now);
    m_dirty = true;
}

void EventLogServer::recordTimer(const std::string& timer, double seconds) {
    std::lock_guard<std::mutex> lock(m_serverLock);
    m_statistics.recordTimer(timer, seconds);
    m_dirty = true;
}

void EventLogServer::recordSubTimer(const std::string& timer, const std::string& subTimer, double seconds) {
    std::lock_guard<std::mutex> lock(m_serverLock);
    m_statistics.recordSubTimer(timer, subTimer, seconds);
    m_dirty = true;
}

void EventLogServer::setCustomStream(std::ostream* stream) {
    std::lock_guard<std::mutex> output(m_outputLock);
    std::lock_guard<std::mutex> lock(m_serverLock);
    m_customStream = stream;
}

std::string EventLogServer::debugFilePath() const {
    std::lock_guard<std::mutex> lock(m_serverLock);
    return m_debugFile;
}

std::string EventLogServer::profilingFilePath() const {
    std::lock_guard<std::mutex> lock(m_serverLock);
    return m_profilingFile;
}

std::string EventLogServer::capturePath() const {
    std::lock_guard<std::mutex> lock(m_serverLock);
    return m_capturePath;
}

int32_t EventLogServer::profilingOutputLevel() const {
    std::lock_guard<std::mutex> lock(m_serverLock);
    return m_profilingLevel;
}

LogOutput EventLogServer::profilingOutputMode() const {
    std::lock_guard<std::mutex> lock(m_serverLock);
    return m_profilingMode;
}

std::size_t EventLogServer::queuedRecords() const {
    std::lock_guard<std::mutex> lock(m_serverLock);
    return m_queue.size();
}

double EventLogServer::smoothedFrameTime() const {
    std::lock_guard<std::mutex> lock(m_serverLock);
    return m_statistics.smoothedFrameTime();
}
