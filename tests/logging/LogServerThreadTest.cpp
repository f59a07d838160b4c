#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <sstream>
#include <thread>
#include <vector>

#include "config/Config.h"
#include "config/ConfigDefaults.h"
#include "context/Autowired.h"
#include "context/CoreContext.h"
#include "logging/EventLogServer.h"
#include "logging/LogHandle.h"
#include "tests/logging/LogTestSupport.h"

namespace {

using namespace std::chrono_literals;

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) result.push_back(line);
    return result;
}

// Waits (bounded) until the console holds at least `count` lines.
bool waitForLines(const SharedTextBuffer& buffer, std::size_t count) {
    auto deadline = std::chrono::steady_clock::now() + 5s;
    while (std::chrono::steady_clock::now() < deadline) {
        if (lines(buffer.text()).size() >= count) return true;
        std::this_thread::sleep_for(5ms);
    }
    return false;
}

// The server running on its own thread in a context, with a clock the test
// moves: lines reach the console in order, and never twice within a second.
class LogServerThread : public ::testing::Test {
protected:
    LogServerThread() : m_scope(m_context) {
        Config::applyDefaults();
        Config::set("print_timestamps_in_log", Value(false));
        server = std::make_shared<EventLogServer>(clock, console);
        // The thread configures itself when it starts; doing it here as well
        // makes the settings certain before the first line is logged.
        server->configure();
        m_context->AddMember(server);
        m_context->Initiate();
    }
    ~LogServerThread() override {
        m_context->RequestShutdown();
        m_context->WaitForThreads();
    }

    std::shared_ptr<FakeLogClock> clock = std::make_shared<FakeLogClock>();
    SharedTextBuffer buffer;
    std::ostream console{&buffer};
    std::shared_ptr<CoreContext> m_context = CoreContext::Current()->NewChild();
    CurrentContextScope m_scope;
    std::shared_ptr<EventLogServer> server;
};

TEST_F(LogServerThread, ConsoleLinesAppearInOrderAtMostOnceASecond) {
    LogHandle handle;
    handle.info("one");
    handle.warning("two");
    clock->advance(1001);
    ASSERT_TRUE(waitForLines(buffer, 2));
    EXPECT_EQ(buffer.text(), "[Info] one\n[Warning] two\n");

    // Within the second after a flush nothing is written, however long the
    // thread runs (several of its 200 ms passes here).
    handle.critical("three");
    clock->advance(999);
    std::this_thread::sleep_for(450ms);
    EXPECT_EQ(lines(buffer.text()).size(), 2u);

    clock->advance(2);
    ASSERT_TRUE(waitForLines(buffer, 3));
    EXPECT_EQ(buffer.text(), "[Info] one\n[Warning] two\n[Critical] three\n");
}

TEST_F(LogServerThread, ManyThreadsLogWhileTheServerFlushes) {
    constexpr int kThreads = 4;
    constexpr int kPerThread = 100;
    std::vector<std::thread> loggers;
    for (int t = 0; t < kThreads; ++t) {
        loggers.emplace_back([this, t] {
            CurrentContextScope scope(m_context);
            LogHandle handle;
            for (int i = 0; i < kPerThread; ++i) {
                // Appended piece by piece: GCC 12 at -O2 takes "t" + to_string(t)
                // for an overlapping copy (a false -Wrestrict).
                std::string text = "t";
                text += std::to_string(t);
                text += ' ';
                text += std::to_string(i);
                handle.info(text);
                if (i % 10 == 0) {
                    server->recordTimer("log", 0.001);
                    clock->advance(300);
                }
            }
        });
    }
    for (auto& logger : loggers) logger.join();
    clock->advance(1001);
    ASSERT_TRUE(waitForLines(buffer, kThreads * kPerThread));

    // Every line once, and each thread's lines in the order it logged them.
    std::vector<int> next(kThreads, 0);
    for (const auto& line : lines(buffer.text())) {
        int t = 0, i = 0;
        ASSERT_EQ(std::sscanf(line.c_str(), "[Info] t%d %d", &t, &i), 2) << line;
        ASSERT_EQ(i, next[t]) << line;
        ++next[t];
    }
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(next[t], kPerThread);

    // The thread ends when its context shuts down.
    m_context->RequestShutdown();
    m_context->WaitForThreads();
    EXPECT_TRUE(server->IsCompleted());
}

}  // namespace
