// The host's sense of time, with the running tool's 250 ms period: the tick
// that expires clients and the idle event follow the clock, not the rate at
// which clients send requests.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "tests/links/HostTestSupport.h"

namespace {

using namespace hosttest;

constexpr auto kPeriod = 250ms;
constexpr auto kLoad = 2s;

// One client pinging the host as fast as it answers, on a thread of its own,
// until destroyed.
class Pinger {
public:
    explicit Pinger(std::unique_ptr<LinkClient> client) : m_client(std::move(client)) {
        m_thread = std::thread([this] {
            while (!m_stop.load()) {
                if (m_client->ping()) ++m_answered;
            }
        });
    }
    ~Pinger() {
        m_stop = true;
        m_thread.join();
    }
    int answered() const { return m_answered.load(); }

private:
    std::unique_ptr<LinkClient> m_client;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_answered{0};
    std::thread m_thread;
};

class HostPaceTest : public HostTest {
protected:
    ResourceHost& startAtRealPace() {
        auto o = options();
        o.passPeriod = kPeriod;
        return startHost(o);
    }

    // A client that only listens: subscribed to a resource and connected to
    // the events, sending nothing after that.
    std::unique_ptr<LinkClient> listener() {
        auto c = client();
        EXPECT_TRUE(c->subscribe({"FingerPoints"}));
        EXPECT_TRUE(c->connectEvents());
        // Connected once the first idle event arrives.
        bool seen = false;
        for (int i = 0; i < 40 && !seen; ++i) {
            auto event = c->nextEvent(250ms);
            seen = event && event->type() == 415;
        }
        EXPECT_TRUE(seen) << "the listener never saw an idle event";
        return c;
    }

    // Counts the idle events the client receives over `span`.
    static int idleEventsDuring(LinkClient& c, std::chrono::milliseconds span) {
        int count = 0;
        const auto end = std::chrono::steady_clock::now() + span;
        while (std::chrono::steady_clock::now() < end) {
            auto event = c.nextEvent(50ms);
            if (event && event->type() == 415) ++count;
        }
        return count;
    }
};

TEST_F(HostPaceTest, SilentSubscriberOutlivesTwoSecondsOfAnotherClientsPings) {
    auto& host = startAtRealPace();
    auto quiet = listener();
    const uint32_t quietId = quiet->clientId();
    int answered = 0;
    {
        Pinger pinger(client());
        std::this_thread::sleep_for(kLoad);
        answered = pinger.answered();
    }
    ASSERT_GT(answered, 20) << "the load never came";
    // Expiry takes 1200 periods of 250 ms (five minutes), not 1200 requests.
    EXPECT_TRUE(host.hasClient(quietId));
    EXPECT_EQ(host.resourceSubscribers("FingerPoints"), 1);
    EXPECT_EQ(host.clientCount(), 2u);
}

TEST_F(HostPaceTest, TickAndIdleEventKeepTheirPaceUnderLoad) {
    auto& host = startAtRealPace();
    auto watcher = listener();
    Pinger pinger(client());
    // The pinger is under way before the count starts.
    ASSERT_TRUE(eventually([&] { return pinger.answered() > 0; }));

    const auto start = std::chrono::steady_clock::now();
    const uint32_t firstTick = host.currentTick();
    const int idleEvents = idleEventsDuring(*watcher, kLoad);
    const uint32_t ticks = host.currentTick() - firstTick;
    const auto elapsed = std::chrono::steady_clock::now() - start;
    const auto periods = static_cast<uint32_t>(elapsed / kPeriod);
    ASSERT_GT(pinger.answered(), 20) << "the load never came";

    // About four a second: never more than the periods that passed (plus the
    // one under way at each end); fewer only when passes overran, which a
    // loaded machine may cause now and then, but not for half the time.
    EXPECT_LE(ticks, periods + 2);
    EXPECT_GE(ticks, periods / 2);
    EXPECT_LE(idleEvents, static_cast<int>(periods) + 2);
    EXPECT_GE(idleEvents, static_cast<int>(periods / 2)) << "the idle event stops while a client sends";
}

TEST_F(HostPaceTest, IdleEventComesEveryPeriodOnAnIdleHost) {
    auto& host = startAtRealPace();
    auto watcher = listener();
    const auto start = std::chrono::steady_clock::now();
    const uint32_t firstTick = host.currentTick();
    const int idleEvents = idleEventsDuring(*watcher, kLoad);
    const uint32_t ticks = host.currentTick() - firstTick;
    const auto periods = static_cast<int>((std::chrono::steady_clock::now() - start) / kPeriod);
    EXPECT_LE(idleEvents, periods + 1);
    EXPECT_GE(idleEvents, periods / 2);
    EXPECT_LE(static_cast<int>(ticks), periods + 2);
    EXPECT_GE(static_cast<int>(ticks), periods / 2);
}

}  // namespace
