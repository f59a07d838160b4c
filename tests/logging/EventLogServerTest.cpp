#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <vector>

#include "config/Config.h"
#include "config/ConfigDefaults.h"
#include "context/Autowired.h"
#include "context/CoreContext.h"
#include "logging/EventLogServer.h"
#include "logging/LogHandle.h"
#include "tests/logging/LogTestSupport.h"
#include "tests/support/TempFolder.h"

namespace {

// A server driven by hand: the test calls configure and serviceOnce itself
// and moves the clock. Time stamps are off unless a test turns them on.
class LogServerTest : public ::testing::Test {
protected:
    LogServerTest() {
        setenv("TZ", "UTC0", 1);
        tzset();
        Config::applyDefaults();
        Config::set("print_timestamps_in_log", Value(false));
    }
    std::shared_ptr<EventLogServer> makeServer(const std::string& logFolder = {}) {
        auto server = std::make_shared<EventLogServer>(clock, console, logFolder.empty() ? folder.string() : logFolder);
        server->configure();
        return server;
    }
    bool flushNow(EventLogServer& server) {
        clock->advance(EventLogServer::kFlushIntervalMs + 1);
        return server.serviceOnce();
    }

    TempFolder folder;
    std::shared_ptr<FakeLogClock> clock = std::make_shared<FakeLogClock>();
    std::ostringstream console;
};

TEST_F(LogServerTest, LinePrefixes) {
    Config::set("print_timestamps_in_log", Value(true));
    auto server = makeServer();
    EXPECT_EQ(server->formatLine(-1, LOG_INFO, 0, "ResourceHost running"),
              "[2026-Dec-08 10:12:02] [Info] ResourceHost running");
    Config::set("print_timestamps_in_log", Value(false));
    server->configure();
    EXPECT_EQ(server->formatLine(1234567890123, LOG_WARNING, 5, "late"),
              "Frame 1234567890123 [Warning] [EC_BAD_LOGIN] late");
    EXPECT_EQ(server->formatLine(0, LOG_CRITICAL, 18, "odd"), "Frame 0 [Critical] [] odd");
    EXPECT_EQ(server->formatLine(-5, 7, 0, "plain"), "plain");
}

TEST_F(LogServerTest, SeverityMustBeBelowTheLevel) {
    auto server = makeServer();  // level 3
    for (int severity : {0, 1, 2, 3, 100}) server->log(-1, severity, 0, std::to_string(severity));
    ASSERT_TRUE(flushNow(*server));
    EXPECT_EQ(console.str(), "[Critical] 0\n[Warning] 1\n[Info] 2\n");

    Config::set("debug_output_level", Value(1));
    auto level1 = makeServer();
    for (int severity : {0, 1}) level1->log(-1, severity, 0, "x");
    EXPECT_EQ(level1->queuedRecords(), 1u);
    Config::set("debug_output_level", Value(0));
    auto silent = makeServer();
    silent->log(-1, LOG_CRITICAL, 0, "x");
    EXPECT_EQ(silent->queuedRecords(), 0u);
}

TEST_F(LogServerTest, AtMostOneFlushASecondAndOverflowDropsTheOldest) {
    auto server = makeServer();
    EXPECT_FALSE(flushNow(*server)) << "nothing to write";
    for (int i = 0; i <= 512; ++i) server->log(-1, LOG_INFO, 0, std::to_string(i));
    EXPECT_EQ(server->queuedRecords(), 512u);
    ASSERT_TRUE(server->serviceOnce());
    const std::string first = console.str();
    EXPECT_EQ(first.substr(0, 9), "[Info] 1\n") << "the 513th record pushed out the first";
    EXPECT_EQ(first.substr(first.size() - 11), "[Info] 512\n");

    server->log(-1, LOG_INFO, 0, "later");
    clock->advance(1000);
    EXPECT_FALSE(server->serviceOnce()) << "exactly a second is not more than a second";
    clock->advance(1);
    EXPECT_TRUE(server->serviceOnce());
    EXPECT_EQ(console.str(), first + "[Info] later\n");
}

TEST_F(LogServerTest, DebugFileIsStampedAndAppended) {
    Config::set("debug_output_mode", Value("file"));
    auto server = makeServer();
    const std::string path = folder.file("debug_Tue_Dec__8_10-12-02_2026.log");
    EXPECT_EQ(server->debugFilePath(), path);
    server->log(-1, LOG_WARNING, 0, "one");
    ASSERT_TRUE(flushNow(*server));
    server->log(-1, LOG_INFO, 0, "two");
    ASSERT_TRUE(flushNow(*server));
    EXPECT_EQ(readText(path), "Debugging log started 2026-Dec-08 10:12:02\n[Warning] one\n[Info] two\n");
    EXPECT_EQ(console.str(), "");

    // A file that disappears behind a folder loses that batch only.
    std::filesystem::remove(path);
    std::filesystem::create_directory(path);
    server->log(-1, LOG_INFO, 0, "lost");
    EXPECT_TRUE(flushNow(*server));
    EXPECT_EQ(server->queuedRecords(), 0u);
}

TEST_F(LogServerTest, ProfilingFileStartsWithItsLineAndTheCsvFileWithout) {
    Config::set("profiling_output_mode", Value("file"));
    auto server = makeServer();
    const std::string path = folder.file("profile_Tue_Dec__8_10-12-02_2026.log");
    EXPECT_EQ(server->profilingFilePath(), path);
    EXPECT_EQ(readText(path), "Profiling log started 2026-Dec-08 10:12:02\n");

    // A level of 0 makes no file at all.
    TempFolder other;
    Config::set("profiling_output_level", Value(0));
    auto off = makeServer(other.path());
    EXPECT_FALSE(std::filesystem::exists(other.file("profile_Tue_Dec__8_10-12-02_2026.log")));
}

TEST_F(LogServerTest, FilesThatCannotBeMadeSwitchOutputOff) {
    Config::set("debug_output_mode", Value("file"));
    Config::set("profiling_output_mode", Value("file"));
    auto server = makeServer(folder.file("no/such/folder"));
    EXPECT_EQ(server->debugOutputMode(), LOG_OUTPUT_NONE);
    EXPECT_EQ(server->debugOutputLevel(), 0);
    EXPECT_EQ(server->profilingOutputMode(), LOG_OUTPUT_NONE);
    EXPECT_EQ(server->profilingOutputLevel(), 0);
}

TEST_F(LogServerTest, ProfilingStatisticsOnTheConsoleAndInCsv) {
    Config::set("profiling_output_mode", Value("console"));
    auto server = makeServer();
    server->recordFrame(10, 0.010);
    clock->advance(500);
    server->recordFrame(20, 0.030);
    server->log(-1, LOG_INFO, 0, "line");
    ASSERT_TRUE(flushNow(*server));
    EXPECT_EQ(console.str(), "Frames 10 to 20 (20 fps): avg 0.02, std 0.0141421\n[Info] line\n");

    Config::set("profiling_output_mode", Value("filecsv"));
    Config::set("profiling_output_level", Value(2));
    auto csv = makeServer();
    const std::string path = folder.file("profile_Tue_Dec__8_10-12-02_2026.csv");
    EXPECT_EQ(csv->profilingFilePath(), path);
    csv->recordTimer("track", 0.004);
    ASSERT_TRUE(flushNow(*csv)) << "new statistics alone make a flush";
    EXPECT_EQ(readText(path), ",Total,track,\navg,0,0.004,\nstd,0,0,\n");
}

TEST_F(LogServerTest, CustomStreamAndCapturePath) {
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

    std::filesystem::path capture = server->capturePath();
    EXPECT_EQ(capture.filename(), "cout_file.log");
    EXPECT_TRUE(std::filesystem::exists(capture.parent_path() / "tyvo_logging_tests")) << capture;
}

class RecordCollector : public ContextMember, public LogRecordListener {
public:
    void onLogRecord(const LogRecord& record) override { records.push_back(record); }
    std::vector<LogRecord> records;
};

TEST_F(LogServerTest, RecordsReachListenersAndHandlesFindTheServerLate) {
    auto context = CoreContext::Current()->NewChild();
    CurrentContextScope scope(context);
    AutoRequired<RecordCollector> collector;
    LogHandle handle;
    handle.critical("before any server: nothing happens");

    auto server = makeServer();
    context->AddMember(server);
    handle.warning("gone", 77, EC_NO_DEVICE);
    handle.info("hello");
    server->log(-1, 5, 0, "refused");
    ASSERT_EQ(collector->records.size(), 2u);
    const LogRecord& record = collector->records[0];
    EXPECT_EQ(record.frameId, 77);
    EXPECT_EQ(record.severity, LOG_WARNING);
    EXPECT_EQ(record.errorCode, static_cast<uint32_t>(EC_NO_DEVICE));
    EXPECT_EQ(record.text, "Frame 77 [Warning] [EC_NO_DEVICE] gone");
    ASSERT_TRUE(flushNow(*server));
    EXPECT_EQ(console.str(), "Frame 77 [Warning] [EC_NO_DEVICE] gone\n[Info] hello\n");
}

}  // namespace
