// The control channel's own rules, on a capture object whose platform part
// is a stand-in: the command loop with its coalescing, the stream ending for
// other commands, the control cache and its order against the request.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "camera/capture/UVCInterface.h"
#include "context/Autowired.h"
#include "context/CoreContext.h"

namespace {

using namespace std::chrono_literals;

// Opens nothing; a stream lasts until the queue holds another command (or
// returns at once when `blockingStream` is false). Control requests go to
// a map and can be refused.
class StandInChannel : public UVCInterface {
public:
    StandInChannel() { Ready(); }

    bool controlRange(int, int&, int&, int&, int&) override { return false; }
    void openCamera() override { ++opens; }
    void closeCamera() override { ++closes; }
    void runStream() override {
        ++streams;
        setStreamState(kStreaming);
        if (blockingStream) {
            std::unique_lock<std::mutex> lock(m_stateLock);
            m_woken.wait(lock, [this] { return streamMustEndLocked(); });
        }
        setStreamState(kNotStreaming);
        closeCamera();
    }
    void wake() override {
        std::lock_guard<std::mutex> lock(m_stateLock);
        m_woken.notify_all();
    }
    bool readControl(int control, int& value) override {
        if (refuse) return false;
        value = control * 10;
        return true;
    }
    bool writeControl(int control, int value) override {
        // What the cache held while the request was made.
        seenAtRequest.emplace_back(cachedValue(control), dirtyControls().size());
        (void)value;
        return !refuse;
    }

    bool blockingStream = false;
    bool refuse = false;
    std::atomic<int> opens{0};
    std::atomic<int> closes{0};
    std::atomic<int> streams{0};
    std::vector<std::pair<int, std::size_t>> seenAtRequest;

    using UVCInterface::cachedValue;
    using UVCInterface::dirtyControls;

private:
    std::condition_variable m_woken;
};

class CommandLoop : public ::testing::Test {
protected:
    void SetUp() override {
        context = CoreContext::Current()->NewChild();
        CurrentContextScope scope(context);
        AutoRequired<StandInChannel> slot;
        channel = slot.shared();
    }
    void TearDown() override { context->RequestShutdown(); }

    // Queues the commands before the thread starts, then lets it run them.
    void runQueued(std::initializer_list<int> commands) {
        for (int c : commands) channel->post(c);
        channel->post(UVCInterface::kCommandEnd);
        context->Initiate();
        channel->WaitForCompletion();
    }

    bool waitFor(const std::function<bool()>& condition) {
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        while (!condition()) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(1ms);
        }
        return true;
    }

    std::shared_ptr<CoreContext> context;
    std::shared_ptr<StandInChannel> channel;
};

TEST_F(CommandLoop, RepeatedCommandsCoalesceButSeparatedOnesDoNot) {
    runQueued({3, 3});
    EXPECT_EQ(channel->opens, 1);
}

TEST_F(CommandLoop, ACommandBetweenTwoStartsKeepsBoth) {
    runQueued({3, 1, 3});
    EXPECT_EQ(channel->opens, 2);
}

TEST_F(CommandLoop, RunsOfRepeatsCoalesceEach) {
    runQueued({3, 3, 1, 1, 3, 3, 2, 3});
    EXPECT_EQ(channel->opens, 3);
    EXPECT_EQ(channel->streams, 3);
}

TEST_F(CommandLoop, CommandsAfterTheEndCommandAreNotCarriedOut) {
    channel->post(UVCInterface::kCommandEnd);
    runQueued({3});
    EXPECT_EQ(channel->opens, 0);
}

TEST_F(CommandLoop, AStartWhileStreamingIsDroppedAndARestartReopens) {
    channel->blockingStream = true;
    channel->post(UVCInterface::kCommandStream);
    context->Initiate();
    ASSERT_TRUE(waitFor([&] { return channel->streamState() == UVCInterface::kStreaming; }));
    channel->post(UVCInterface::kCommandStream);
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(channel->streams, 1);
    EXPECT_EQ(channel->streamState(), UVCInterface::kStreaming);

    channel->post(UVCInterface::kCommandRestart);
    ASSERT_TRUE(waitFor([&] { return channel->streams == 2; }));
    EXPECT_EQ(channel->opens, 2);
    EXPECT_EQ(channel->closes, 1);
}

TEST_F(CommandLoop, AStopRequestEndsAStreamAndTheThread) {
    channel->blockingStream = true;
    channel->post(UVCInterface::kCommandStream);
    context->Initiate();
    ASSERT_TRUE(waitFor([&] { return channel->streamState() == UVCInterface::kStreaming; }));
    context->RequestShutdown();  // returns once the thread has ended
    EXPECT_TRUE(channel->IsCompleted());
    EXPECT_EQ(channel->streamState(), UVCInterface::kNotStreaming);
}

TEST_F(CommandLoop, TheCacheHoldsARequestedValueBeforeTheRequestIsMade) {
    channel->refuse = true;
    EXPECT_FALSE(channel->putControl(7, 42));
    ASSERT_EQ(channel->seenAtRequest.size(), 1u);
    EXPECT_EQ(channel->seenAtRequest[0].first, 42);
    EXPECT_EQ(channel->seenAtRequest[0].second, 1u);
    // A refused request keeps the value and the mark: a new stream sends it.
    EXPECT_EQ(channel->cachedValue(7), 42);
    EXPECT_EQ(channel->dirtyControls(), (std::vector<std::pair<int, int>>{{7, 42}}));

    EXPECT_TRUE(channel->putControl(30, 5) == false);  // no cache entry, no crash
    EXPECT_EQ(channel->dirtyControls().size(), 1u);
}

TEST_F(CommandLoop, AGetCachesOnlyWhatItRead) {
    int value = -1;
    channel->refuse = true;
    EXPECT_FALSE(channel->getControl(5, value));
    EXPECT_EQ(channel->cachedValue(5), 0);
    channel->refuse = false;
    EXPECT_TRUE(channel->getControl(5, value));
    EXPECT_EQ(value, 50);
    EXPECT_EQ(channel->cachedValue(5), 50);
    EXPECT_TRUE(channel->dirtyControls().empty());  // a read is no request to replay
}

TEST_F(CommandLoop, AFormatRequestReportsWhetherItChanged) {
    EXPECT_TRUE(channel->requestFormat(640, 480, 0.0f));
    EXPECT_FALSE(channel->requestFormat(640, 480, 0.0f));
    EXPECT_TRUE(channel->requestFormat(640, 240, 0.0f));
    EXPECT_TRUE(channel->requestFormat(640, 240, 30.0f));
    EXPECT_EQ(channel->requestedHeight(), 240);
}

}  // namespace
