#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <thread>
#include <vector>

#include "camera/frames/CypressFrame.h"
#include "camera/frames/FrameHistory.h"
#include "camera/frames/ImagePool.h"
#include "context/CoreContext.h"
#include "tests/camera/frames/FrameTestSupport.h"

TEST(ImagePool, RecordsComeBackWhenTheLastReferenceGoes) {
    ImagePool<FrameRecord> pool(2);
    std::shared_ptr<FrameRecord> a = pool.take();
    FrameRecord* address = a.get();
    std::shared_ptr<FrameRecord> copy = a;
    auto b = pool.take();
    EXPECT_FALSE(pool.take());  // the limit is reached
    a.reset();
    EXPECT_EQ(pool.idle(), 0u);  // still referenced
    copy.reset();
    EXPECT_EQ(pool.idle(), 1u);
    EXPECT_EQ(pool.take().get(), address);  // recycled, not made anew
    EXPECT_EQ(pool.made(), 2u);
}

TEST(FrameHistory, KeepsTheFiveMostRecent) {
    ImagePool<FrameRecord> pool;
    FrameHistory history;
    for (int i = 0; i < 7; ++i) {
        auto r = pool.take();
        r->frameIndex = i;
        history.append(r);
    }
    ASSERT_TRUE(history.full());
    for (std::size_t i = 0; i < 5; ++i) EXPECT_EQ(history.at(i)->frameIndex, std::int64_t(i + 2));
    EXPECT_EQ(pool.idle(), 1u);  // the oldest went back after the new one was taken
    history.dropOldestIfFull();
    history.dropOldestIfFull();  // not full any more: nothing dropped
    EXPECT_EQ(history.size(), 4u);
    EXPECT_EQ(history.at(0)->frameIndex, 3);
    EXPECT_THROW(history.at(4), std::out_of_range);
    history.clear();
    EXPECT_EQ(pool.idle(), pool.made());
}

TEST(FrameRecordLifetime, RecordsAreRecycledAndOutliveTheDevice) {
    FrameReceivers receivers;
    TestDevice device;
    const std::vector<std::uint8_t> raw(640 * 240 * 2, 60);
    std::shared_ptr<FrameRecord> kept;
    {
        CypressFrame frames(receivers.proxy, fakeSmoother());
        for (int i = 1; i <= 40; ++i) frames.onRawFrame(i, raw.data(), 640, 240, device.state);
        // The oldest history entry is dropped before a record is taken, so
        // the five records of the history are all the pool ever makes.
        EXPECT_EQ(frames.pool().made(), 5u);
        kept = receivers.listener->frames.back().lock();
        ASSERT_TRUE(kept);
    }
    EXPECT_TRUE(receivers.listener->frames.front().expired());
    EXPECT_EQ(kept->frameIndex, 39);
    EXPECT_EQ(kept->firstImage.at(10, 10), 60);
    EXPECT_EQ(kept->distortionMap, device.map);

    // With a limit of one record, held by the history, the next frame finds
    // no record and is not processed (nor counted).
    CypressFrame limited(receivers.proxy, fakeSmoother(), 1);
    EXPECT_TRUE(limited.onRawFrame(1, raw.data(), 64, 16, device.state));
    EXPECT_FALSE(limited.onRawFrame(2, raw.data(), 64, 16, device.state));
    EXPECT_EQ(limited.frameIndex(), 0);
}

TEST(FrameRecordLifetime, FiresThroughTheDeviceContext) {
    auto ctx = CoreContext::Current()->NewChild();
    auto listener = std::make_shared<RecordingListener>();
    ctx->AddMember(listener);
    TestDevice device;
    CypressFrame frames(ctx->ProxyFor<DIFrameListener>(), fakeSmoother());
    const std::vector<std::uint8_t> raw(64 * 16 * 2, 60);
    EXPECT_TRUE(frames.onRawFrame(1, raw.data(), 64, 16, device.state));
    EXPECT_EQ(listener->count(), 1u);
    ctx->RequestShutdown();
}

// Frames made on a streaming thread go to consumer threads that keep some
// for a while, release them in any order, and hold the last ones past the
// device's destruction. Also run under the thread checker.
TEST(FrameRecordConcurrency, ConsumersOnOtherThreadsOutliveTheDevice) {
    class HandOver : public DIFrameListener {
    public:
        void onFrame(std::weak_ptr<FrameRecord> frame) override {
            if (auto held = frame.lock()) {
                std::lock_guard<std::mutex> lock(m_queueLock);
                m_queue.push_back(std::move(held));
                m_ready.notify_one();
            }
        }
        void onDeviceGone() override {}
        std::shared_ptr<FrameRecord> next(const std::atomic<bool>& done) {
            std::unique_lock<std::mutex> lock(m_queueLock);
            m_ready.wait_for(lock, std::chrono::milliseconds(5), [&] { return !m_queue.empty() || done.load(); });
            if (m_queue.empty()) return nullptr;
            auto r = std::move(m_queue.front());
            m_queue.pop_front();
            return r;
        }

    private:
        std::mutex m_queueLock;
        std::condition_variable m_ready;
        std::deque<std::shared_ptr<FrameRecord>> m_queue;
    };
    auto handOver = std::make_shared<HandOver>();
    auto proxy = std::make_shared<EventReceiverProxy<DIFrameListener>>();
    proxy->AddReceiver(handOver);

    std::atomic<bool> deviceGone{false};
    std::atomic<long> checked{0};
    std::mutex keptLock;
    std::vector<std::shared_ptr<FrameRecord>> keptPastDevice;
    std::vector<std::thread> consumers;
    for (int c = 0; c < 3; ++c) {
        consumers.emplace_back([&, c] {
            std::vector<std::shared_ptr<FrameRecord>> holding;
            for (;;) {
                auto r = handOver->next(deviceGone);
                if (!r && deviceGone) break;
                if (!r) continue;
                // A record rewritten while held would show here (and as a race).
                EXPECT_EQ(r->firstImage.at(3, 3), static_cast<std::uint8_t>(r->frameIndex));
                ++checked;
                holding.push_back(std::move(r));
                if (holding.size() > 2 + std::size_t(c)) holding.erase(holding.begin());
            }
            std::lock_guard<std::mutex> lock(keptLock);
            for (auto& r : holding) keptPastDevice.push_back(std::move(r));
        });
    }
    std::thread streaming([&] {
        TestDevice device;
        CypressFrame frames(proxy, fakeSmoother());
        std::vector<std::uint8_t> raw(64 * 16 * 2);
        for (int i = 0; i < 300; ++i) {
            std::fill(raw.begin(), raw.end(), static_cast<std::uint8_t>(i));
            frames.onRawFrame(i + 1, raw.data(), 64, 16, device.state);
        }
    });  // the processor, its pool and history die here, records still held
    streaming.join();
    deviceGone = true;
    for (auto& t : consumers) t.join();
    EXPECT_GT(checked.load(), 0);
    for (const auto& r : keptPastDevice) EXPECT_EQ(r->firstImage.at(0, 0), static_cast<std::uint8_t>(r->frameIndex));
}
