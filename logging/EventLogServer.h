#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <iosfwd>
#include <memory>
#include <mutex>
#include <string>

#include "context/CoreThread.h"
#include "context/EventSender.h"
#include "logging/LogClock.h"
#include "logging/LogRecord.h"
#include "logging/ProfilingStatistics.h"

// Where log lines or profiling statistics go.
enum LogOutput : int32_t {
    LOG_OUTPUT_NONE = 0,
    LOG_OUTPUT_FILE = 1,     // appended to a file in the working directory
    LOG_OUTPUT_CONSOLE = 2,  // standard output
    LOG_OUTPUT_CUSTOM = 3,   // a stream the host installs (nothing without one)
};

// "file", "console", "custom" and, when `allowCsv`, "filecsv" (file, with
// `csv` set); every other text means no output.
LogOutput parseLogOutput(const std::string& text, bool allowCsv, bool& csv);

// Collects the log messages of all components, filters them by severity,
// formats each into one line and writes the lines in batches, at most once a
// second, to a debug file, the console or a custom stream; it also prints the
// profiling statistics. Every accepted message is handed to the
// LogRecordListener receivers of the context (the resource host).
//
// Settings, read when the thread starts: "debug_output_level" (3),
// "debug_output_mode" ("console"), "profiling_output_level" (1),
// "profiling_output_mode" ("none"), "print_timestamps_in_log" (true).
//
// Standard output is never redirected: the tool's dialogue must reach the
// console. capturePath() only names the file a redirection would use.
class EventLogServer : public CoreThread {
public:
    static constexpr std::size_t kMaxQueuedRecords = 512;
    static constexpr int64_t kFlushIntervalMs = 1000;
    static constexpr int64_t kLoopPeriodMs = 200;

    // The system clocks, standard output, log files in the working directory.
    EventLogServer();
    // For hosts and tests: the clock, the console stream (which must outlive
    // the server) and the folder of the log files ("" = working directory).
    EventLogServer(std::shared_ptr<LogClock> clock, std::ostream& console, std::string logFolder = {});
    ~EventLogServer() override;

    // Formats and queues one message when its severity is below the debug
    // output level; callable from any thread. When the queue is full the
    // oldest record is dropped, never the new one.
    void log(int64_t frameId, int32_t severity, uint32_t errorCode, const std::string& text);

    // Reads the settings and prepares the files; the thread does this first.
    void configure();

    void Run() override;
    void OnStop() override;

    // One pass of the loop: flushes when there is something to write and
    // more than a second has passed since the last flush. True when it did.
    bool serviceOnce();

    // Profiling input (any thread). Times in seconds.
    void recordFrame(int64_t frameId, double seconds);
    void recordTimer(const std::string& timer, double seconds);
    void recordSubTimer(const std::string& timer, const std::string& subTimer, double seconds);

    // Installs the stream of the custom output mode (null removes it). Once
    // this returns, the previous stream is no longer used.
    void setCustomStream(std::ostream* stream);

    // The line a message becomes (no line end).
    std::string formatLine(int64_t frameId, int32_t severity, uint32_t errorCode, const std::string& text) const;

    std::string debugFilePath() const;
    std::string profilingFilePath() const;
    std::string capturePath() const;
    int32_t debugOutputLevel() const { return m_debugLevel.load(); }
    LogOutput debugOutputMode() const { return m_debugMode.load(); }
    int32_t profilingOutputLevel() const;
    LogOutput profilingOutputMode() const;
    std::size_t queuedRecords() const;
    double smoothedFrameTime() const;

private:
    void writeTo(LogOutput mode, const std::string& filePath, std::ostream* custom, const std::string& text);
    std::string currentStamp(bool fileStamp) const;

    const std::shared_ptr<LogClock> m_clock;
    std::ostream& m_console;
    const std::string m_logFolder;
    EventSender<LogRecordListener> m_recordSender;

    // Read by every logging thread without the server lock.
    std::atomic<int32_t> m_debugLevel{3};
    std::atomic<LogOutput> m_debugMode{LOG_OUTPUT_CONSOLE};
    std::atomic<bool> m_printTimestamps{true};

    // Held while a flush writes, so that a stream being replaced by
    // setCustomStream is never written afterwards. Taken before the server
    // lock, never after it.
    mutable std::mutex m_outputLock;

    // Guards everything below.
    mutable std::mutex m_serverLock;
    std::condition_variable m_wakeCondition;
    bool m_wakeRequested = false;
    int32_t m_profilingLevel = 1;
    LogOutput m_profilingMode = LOG_OUTPUT_NONE;
    bool m_csv = false;
    bool m_csvHeaderPending = true;
    std::string m_debugFile;
    std::string m_profilingFile;
    std::string m_capturePath;
    std::deque<LogRecord> m_queue;
    bool m_dirty = false;
    int64_t m_lastFlushMs = 0;
    ProfilingStatistics m_statistics;
    std::ostream* m_customStream = nullptr;
};
