#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include "config/Config.h"
#include "config/ConfigDefaults.h"
#include "context/Autowired.h"
#include "context/CoreContext.h"
#include "logging/EventLogServer.h"
#include "logging/ExecutableFolder.h"
#include "logging/LogHandle.h"
#include "tests/config/TempFolder.h"
#include "tests/logging/LogTestSupport.h"

namespace {

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) result.push_back(line);
    return result;
}

// A server driven by hand: the test calls configure and serviceOnce itself,
// with the clock under its control. Time stamps are off unless a test wants
// them, so lines can be compared exactly.
class LogServerTest : public ::testing::Test {
protected:
    LogServerTest() {
        setenv("TZ", "UTC0", 1);
        tzset();
        Config::applyDefaults();
        Config::set("print_timestamps_in_log", Value(false));
    }

    std::shared_ptr<EventLogServer> makeServer() {
        auto server = std::make_shared<EventLogServer>(clock, console, folder.path());
        server->configure();
        return server;
    }

    // Moves past the flush interval and flushes.
    bool flushNow(EventLogServer& server) {
        clock->advance(EventLogServer::kFlushIntervalMs + 1);
        return server.serviceOnce();
    }

    TempFolder folder;
    std::shared_ptr<FakeLogClock> clock = std::make_shared<FakeLogClock>();
    std::ostringstream console;
};

// --- what is accepted ---------------------------------------------------------

TEST_F(LogServerTest, LevelThreeAcceptsTheThreeSeverities) {
    auto server = makeServer();
    server->log(-1, LOG_CRITICAL, 0, "c");
    server->log(-1, LOG_WARNING, 0, "w");
    server->log(-1, LOG_INFO, 0, "i");
    server->log(-1, 3, 0, "never");
    server->log(-1, 100, 0, "never");
    EXPECT_EQ(server->queuedRecords(), 3u);
    ASSERT_TRUE(flushNow(*server));
    EXPECT_EQ(console.str(), "[Critical] c\n[Warning] w\n[Info] i\n");
}

TEST_F(LogServerTest, LevelsCutBySeverity) {
    Config::set("debug_output_level", Value(1));
    auto server = makeServer();
    server->log(-1, LOG_CRITICAL, 0, "c");
    server->log(-1, LOG_WARNING, 0, "w");
    EXPECT_EQ(server->queuedRecords(), 1u);

    Config::set("debug_output_level", Value(0));
    auto silent = makeServer();
    silent->log(-1, LOG_CRITICAL, 0, "c");
    EXPECT_EQ(silent->queuedRecords(), 0u);
    EXPECT_FALSE(flushNow(*silent));
}

TEST_F(LogServerTest, OverflowDropsTheOldestRecord) {
    auto server = makeServer();
    for (int i = 0; i <= 512; ++i) server->log(-1, LOG_INFO, 0, std::to_string(i));
    EXPECT_EQ(server->queuedRecords(), 512u);
    ASSERT_TRUE(flushNow(*server));
    auto written = lines(console.str());
    ASSERT_EQ(written.size(), 512u);
    EXPECT_EQ(written.front(), "[Info] 1");
    EXPECT_EQ(written.back(), "[Info] 512");
}

// --- when lines are written ---------------------------------------------------

TEST_F(LogServerTest, FlushesAtMostOnceASecondInOrder) {
    auto server = makeServer();
    EXPECT_FALSE(flushNow(*server)) << "nothing to write";
    server->log(-1, LOG_INFO, 0, "first");
    server->log(-1, LOG_INFO, 0, "second");
    ASSERT_TRUE(server->serviceOnce()) << "a second has passed since the last flush";
    EXPECT_EQ(console.str(), "[Info] first\n[Info] second\n");

    server->log(-1, LOG_INFO, 0, "third");
    clock->advance(1000);
    EXPECT_FALSE(server->serviceOnce()) << "exactly a second is not more than a second";
    EXPECT_EQ(server->queuedRecords(), 1u);
    clock->advance(1);
    EXPECT_TRUE(server->serviceOnce());
    EXPECT_EQ(console.str(), "[Info] first\n[Info] second\n[Info] third\n");
    EXPECT_EQ(server->queuedRecords(), 0u);
}

TEST_F(LogServerTest, TimestampedLineOnTheConsole) {
    Config::set("print_timestamps_in_log", Value(true));
    auto server = makeServer();
    server->log(-1, LOG_INFO, 0, "ResourceHost running");
    server->log(42, LOG_CRITICAL, EC_BAD_CALIB, "You must recalibrate your device (Settings -> Troubleshooting)");
    ASSERT_TRUE(flushNow(*server));
    EXPECT_EQ(console.str(),
              "[2026-Dec-08 10:12:02] [Info] ResourceHost running\n"
              "[2026-Dec-08 10:12:02] Frame 42 [Critical] [EC_BAD_CALIB] You must recalibrate your device "
              "(Settings -> Troubleshooting)\n");
}

// --- files ----------------------------------------------------------------------

TEST_F(LogServerTest, FileModeWritesAStampedDebugFile) {
    Config::set("debug_output_mode", Value("file"));
    auto server = makeServer();
    const std::string path = folder.file("debug_Tue_Dec__8_10-12-02_2026.log");
    EXPECT_EQ(server->debugFilePath(), path);
    EXPECT_EQ(readText(path), "Debugging log started 2026-Dec-08 10:12:02\n");
    server->log(-1, LOG_WARNING, 0, "to the file");
    ASSERT_TRUE(flushNow(*server));
    server->log(-1, LOG_INFO, 0, "appended");
    ASSERT_TRUE(flushNow(*server));
    EXPECT_EQ(readText(path), "Debugging log started 2026-Dec-08 10:12:02\n[Warning] to the file\n[Info] appended\n");
    EXPECT_EQ(console.str(), "");
}

TEST_F(LogServerTest, FileThatCannotBeMadeSwitchesTheOutputOff) {
    Config::set("debug_output_mode", Value("file"));
    Config::set("profiling_output_mode", Value("file"));
    auto server = std::make_shared<EventLogServer>(clock, console, folder.file("no/such/folder"));
    server->configure();
    EXPECT_EQ(server->debugOutputMode(), LOG_OUTPUT_NONE);
    EXPECT_EQ(server->debugOutputLevel(), 0);
    EXPECT_EQ(server->profilingOutputMode(), LOG_OUTPUT_NONE);
    EXPECT_EQ(server->profilingOutputLevel(), 0);
    server->log(-1, LOG_CRITICAL, 0, "dropped");
    EXPECT_EQ(server->queuedRecords(), 0u);
}

TEST_F(LogServerTest, FileRemovedLaterLosesOnlyThatBatch) {
    Config::set("debug_output_mode", Value("file"));
    auto server = makeServer();
    const std::string path = server->debugFilePath();
    std::filesystem::remove(path);
    std::filesystem::create_directory(path);  // now it cannot be opened as a file
    server->log(-1, LOG_INFO, 0, "lost");
    EXPECT_TRUE(flushNow(*server));
    EXPECT_EQ(server->queuedRecords(), 0u) << "the queue is emptied all the same";
}

TEST_F(LogServerTest, CsvProfilingFileStartsWithTheHeader) {
    Config::set("profiling_output_mode", Value("filecsv"));
    Config::set("profiling_output_level", Value(2));
    auto server = makeServer();
    const std::string path = folder.file("profile_Tue_Dec__8_10-12-02_2026.csv");
    EXPECT_EQ(server->profilingFilePath(), path);
    EXPECT_EQ(readText(path), "") << "no started line in a CSV file";
    server->recordFrame(1, 0.010);
    server->recordTimer("track", 0.004);
    ASSERT_TRUE(flushNow(*server)) << "new statistics alone make a flush";
    server->recordTimer("track", 0.006);
    ASSERT_TRUE(flushNow(*server));
    auto written = lines(readText(path));
    ASSERT_EQ(written.size(), 5u);
    EXPECT_EQ(written[0], ",Total,track,");
    EXPECT_EQ(written[1], "avg,0.01,0.004,");
    EXPECT_EQ(written[3], "avg,0,0.006,");
}

TEST_F(LogServerTest, ProfilingTextGoesToTheConsoleBeforeTheLines) {
    Config::set("profiling_output_mode", Value("console"));
    auto server = makeServer();
    server->recordFrame(10, 0.010);
    clock->advance(500);
    server->recordFrame(20, 0.030);
    server->log(-1, LOG_INFO, 0, "line");
    ASSERT_TRUE(flushNow(*server));
    EXPECT_EQ(console.str(), "Frames 10 to 20 (20 fps): avg 0.02, std 0.0141421\n[Info] line\n");
}

TEST_F(LogServerTest, CustomStreamOnlyOnceInstalled) {
    Config::set("debug_output_mode", Value("custom"));
    auto server = makeServer();
    server->log(-1, LOG_INFO, 0, "nowhere");
    EXPECT_TRUE(flushNow(*server));
    std::ostringstream custom;
    server->setCustomStream(&custom);
    server->log(-1, LOG_INFO, 0, "here");
    EXPECT_TRUE(flushNow(*server));
    server->setCustomStream(nullptr);
    EXPECT_EQ(custom.str(), "[Info] here\n");
    EXPECT_EQ(console.str(), "");
}

TEST_F(LogServerTest, CapturePathIsNextToTheExecutable) {
    auto server = makeServer();
    std::filesystem::path capture = server->capturePath();
    EXPECT_EQ(capture.filename(), "cout_file.log");
    EXPECT_TRUE(std::filesystem::exists(capture.parent_path() / "tyvo_logging_tests"));
    EXPECT_FALSE(std::filesystem::exists(capture)) << "standard output is not redirected";
}

// --- hand-over to listeners and handles ---------------------------------------

class RecordCollector : public ContextMember, public LogRecordListener {
public:
    void onLogRecord(const LogRecord& record) override { records.push_back(record); }
    std::vector<LogRecord> records;
};

TEST_F(LogServerTest, AcceptedRecordsReachTheListenersOfTheContext) {
    auto context = CoreContext::Current()->NewChild();
    CurrentContextScope scope(context);
    AutoRequired<RecordCollector> collector;
    auto server = makeServer();
    server->log(77, LOG_WARNING, EC_NO_DEVICE, "gone");
    server->log(-1, 5, 0, "refused");
    ASSERT_EQ(collector->records.size(), 1u);
    const LogRecord& record = collector->records[0];
    EXPECT_EQ(record.frameId, 77);
    EXPECT_EQ(record.severity, LOG_WARNING);
    EXPECT_EQ(record.errorCode, static_cast<uint32_t>(EC_NO_DEVICE));
    EXPECT_EQ(record.text, "Frame 77 [Warning] [EC_NO_DEVICE] gone");
    EXPECT_EQ(server->queuedRecords(), 1u) << "the record is queued as well";
}

TEST_F(LogServerTest, HandleDoesNothingUntilAServerExists) {
    auto context = CoreContext::Current()->NewChild();
    CurrentContextScope scope(context);
    LogHandle handle;
    handle.critical("before any server");  // must simply do nothing

    auto server = std::make_shared<EventLogServer>(clock, console, folder.path());
    server->configure();
    context->AddMember(server);
    handle.info("hello", 3);
    handle.warning("careful", -1, EC_SMUDGE);
    handle.critical("bad");
    ASSERT_EQ(server->queuedRecords(), 3u);
    ASSERT_TRUE(flushNow(*server));
    EXPECT_EQ(console.str(), "Frame 3 [Info] hello\n[Warning] [EC_SMUDGE] careful\n[Critical] bad\n");
}

}  // namespace
