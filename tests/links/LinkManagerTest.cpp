// The link manager over real sockets: declarations, slots, bind and connect
// by pattern, closing and stopping.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <thread>

#include "links/LinkManager.h"
#include "tests/links/LinkTestSupport.h"

namespace {

using namespace linktest;

TEST(LinkDeclarations, TcpLinkListensOnLoopbackAndConnectsToHost) {
    auto manager = makeManager();
    EXPECT_TRUE(manager->declare("CommandLink", LinkPattern::RequestReply, LinkTransport::Tcp, 6438, "localhost"));
    auto link = manager->declaration("CommandLink");
    ASSERT_TRUE(link);
    EXPECT_EQ(link->bindAddress, "tcp://127.0.0.1:6438");
    EXPECT_EQ(link->connectAddress, "tcp://localhost:6438");
    EXPECT_EQ(link->pattern, LinkPattern::RequestReply);
    EXPECT_EQ(link->transport, LinkTransport::Tcp);
    EXPECT_EQ(link->port, 6438);
    EXPECT_EQ(link->openCount, 0);

    manager->declare("NoHost", LinkPattern::Pair, LinkTransport::Tcp, 7000, "");
    EXPECT_EQ(manager->declaration("NoHost")->connectAddress, "tcp://localhost:7000");
}

TEST(LinkDeclarations, AutomaticPortsCountUpFrom51000) {
    auto manager = makeManager();
    manager->declare("A", LinkPattern::Pair, LinkTransport::Tcp, -1, "");
    manager->declare("B", LinkPattern::Pair, LinkTransport::Tcp, -5, "");
    manager->declare("Fixed", LinkPattern::Pair, LinkTransport::Tcp, 6000, "");
    manager->declare("C", LinkPattern::Pair, LinkTransport::Tcp, -1, "");
    EXPECT_EQ(manager->declaration("A")->port, 51000);
    EXPECT_EQ(manager->declaration("B")->port, 51001);
    EXPECT_EQ(manager->declaration("C")->port, 51002);
    EXPECT_EQ(manager->declaration("A")->bindAddress, "tcp://127.0.0.1:51000");
    // A redeclaration changes nothing and takes no port.
    EXPECT_TRUE(manager->declare("A", LinkPattern::RequestReply, LinkTransport::Tcp, -1, "other"));
    EXPECT_EQ(manager->declaration("A")->port, 51000);
    EXPECT_EQ(manager->declaration("A")->pattern, LinkPattern::Pair);
    manager->declare("D", LinkPattern::Pair, LinkTransport::Tcp, -1, "");
    EXPECT_EQ(manager->declaration("D")->port, 51003);
}

TEST(LinkDeclarations, InProcessAndUnknownTransports) {
    auto manager = makeManager();
    manager->declare("L", LinkPattern::Pair, LinkTransport::InProcess, -1, "ignored");
    EXPECT_EQ(manager->declaration("L")->bindAddress, "inproc://L");
    EXPECT_EQ(manager->declaration("L")->connectAddress, "inproc://L");
    EXPECT_EQ(manager->declaration("L")->port, -1);  // automatic ports are for TCP only
    manager->declare("X", LinkPattern::Pair, 7, 100, "");
    EXPECT_EQ(manager->declaration("X")->bindAddress, "");
    EXPECT_EQ(manager->declaration("X")->connectAddress, "");
    EXPECT_FALSE(manager->declaration("Missing"));
}

TEST(LinkSlots, OpenRefusesUndeclaredLinksAndBadKinds) {
    auto manager = makeManager();
    manager->declare("L", LinkPattern::Pair, LinkTransport::InProcess, 0, "");
    EXPECT_EQ(manager->open("Nope", LinkKind::Pair), nullptr);
    EXPECT_EQ(manager->open("L", -1), nullptr);
    EXPECT_EQ(manager->open("L", LinkKind::Count), nullptr);
    EXPECT_EQ(manager->openSlotCount(), 0);
}

TEST(LinkSlots, SeventeenthOpenFailsAndClosingFreesTheLowestSlot) {
    auto manager = makeManager();
    manager->declare("Events", LinkPattern::PublishSubscribe, LinkTransport::InProcess, 0, "");
    std::vector<std::unique_ptr<LinkEndpoint>> endpoints;
    for (int i = 0; i < LinkManager::kSlotCount; ++i) {
        auto endpoint = manager->open("Events", LinkKind::Subscriber);
        ASSERT_NE(endpoint, nullptr) << i;
        EXPECT_EQ(endpoint->slot(), i);
        endpoints.push_back(std::move(endpoint));
    }
    EXPECT_EQ(manager->openSlotCount(), 16);
    EXPECT_EQ(manager->open("Events", LinkKind::Subscriber), nullptr);
    EXPECT_EQ(manager->declaration("Events")->openCount, 16);

    endpoints[5].reset();  // destroying an endpoint closes its slot
    endpoints[9].reset();
    EXPECT_EQ(manager->openSlotCount(), 14);
    auto again = manager->open("Events", LinkKind::Subscriber);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(again->slot(), 5);
}

TEST(LinkSlots, IndexesOutsideTheTableAreRefused) {
    auto manager = makeManager();
    char buffer[8] = {};
    bool more = true;
    int kind = 0;
    for (int slot : {-1, 16, 1000}) {
        EXPECT_EQ(manager->send(slot, "x", 1, false), 0);
        EXPECT_LE(manager->receive(slot, buffer, sizeof(buffer), false, more), 0);
        EXPECT_FALSE(more);
        EXPECT_FALSE(manager->kindOf(slot, kind));
        EXPECT_FALSE(manager->close(slot));
    }
    // A valid index that is not open behaves the same.
    EXPECT_EQ(manager->send(3, "x", 1, false), 0);
    EXPECT_FALSE(manager->close(3));
}

TEST(LinkSlots, EveryKindReadsBack) {
    auto manager = makeManager();
    manager->declare("K", LinkPattern::Pair, LinkTransport::InProcess, 0, "");
    for (int kind = 0; kind < LinkKind::Count; ++kind) {
        auto endpoint = manager->open("K", kind);
        ASSERT_NE(endpoint, nullptr) << kind;
        int read = -1;
        EXPECT_TRUE(manager->kindOf(endpoint->slot(), read));
        EXPECT_EQ(read, kind);
        EXPECT_EQ(endpoint->kind(), kind);
    }
}

TEST(LinkSlots, StaleEndpointNeverTouchesTheSlotsNextOwner) {
    auto manager = makeManager();
    manager->declare("P", LinkPattern::PushPull, LinkTransport::InProcess, 0, "");
    auto first = manager->open("P", LinkKind::Pull);
    ASSERT_NE(first, nullptr);
    int slot = first->slot();
    EXPECT_TRUE(manager->close(slot));  // closed behind the endpoint's back
    auto second = manager->open("P", LinkKind::Pull);
    ASSERT_NE(second, nullptr);
    ASSERT_EQ(second->slot(), slot);

    EXPECT_EQ(first->kind(), -1);
    EXPECT_FALSE(first->close());
    first.reset();
    EXPECT_EQ(second->kind(), LinkKind::Pull);
    EXPECT_EQ(manager->openSlotCount(), 1);
}

TEST(LinkSlots, StopClosesEverythingAndForgetsDeclarations) {
    auto manager = makeManager();
    manager->declare("S", LinkPattern::Pair, LinkTransport::InProcess, 0, "");
    auto a = manager->open("S", LinkKind::Pair);
    auto b = manager->open("S", LinkKind::Pair);
    ASSERT_TRUE(a && b);
    manager->stop();
    EXPECT_EQ(manager->openSlotCount(), 0);
    EXPECT_FALSE(manager->declaration("S"));
    EXPECT_EQ(a->send("x", 1, false), 0);
    manager->declare("S", LinkPattern::Pair, LinkTransport::InProcess, 0, "");
    EXPECT_EQ(manager->open("S", LinkKind::Pair), nullptr);  // the socket context is gone
    manager->stop();                                         // a second stop is harmless
}

TEST(LinkPatterns, PairBindsFirstAndConnectsLater) {
    auto manager = makeManager();
    manager->declare("Pair", LinkPattern::Pair, LinkTransport::Tcp, 0, "");
    auto a = manager->open("Pair", LinkKind::Pair);
    ASSERT_NE(a, nullptr);
    EXPECT_TRUE(a->attached());
    // Binding made the system choose a port, which the link now names.
    int port = manager->declaration("Pair")->port;
    EXPECT_GT(port, 0);
    EXPECT_EQ(manager->declaration("Pair")->connectAddress, "tcp://localhost:" + std::to_string(port));
    auto b = manager->open("Pair", LinkKind::Pair);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(manager->declaration("Pair")->openCount, 2);

    EXPECT_EQ(b->send("ping", 4, false), 4);
    EXPECT_EQ(receiveParts(*a), std::vector<std::string>{"ping"});
    EXPECT_EQ(a->send("pong", 4, false), 4);
    EXPECT_EQ(receiveParts(*b), std::vector<std::string>{"pong"});
}

TEST(LinkPatterns, PullBindsAndPushConnects) {
    auto manager = makeManager();
    manager->declare("Work", LinkPattern::PushPull, LinkTransport::Tcp, 0, "");
    auto pull = manager->open("Work", LinkKind::Pull);
    auto push = manager->open("Work", LinkKind::Push);
    ASSERT_TRUE(pull && push);
    EXPECT_EQ(push->send("a", 1, true), 1);
    EXPECT_EQ(push->send("bc", 2, false), 2);
    EXPECT_EQ(receiveParts(*pull), (std::vector<std::string>{"a", "bc"}));
}

TEST(LinkPatterns, RequestReplyOverTcp) {
    auto manager = makeManager();
    manager->declare("RR", LinkPattern::RequestReply, LinkTransport::Tcp, 0, "localhost");
    auto reply = manager->open("RR", LinkKind::Reply);
    auto request = manager->open("RR", LinkKind::Request);
    ASSERT_TRUE(reply && request);
    EXPECT_EQ(request->send("question", 8, false), 8);
    EXPECT_EQ(receiveParts(*reply), std::vector<std::string>{"question"});
    EXPECT_EQ(reply->send("answer", 6, false), 6);
    EXPECT_EQ(receiveParts(*request), std::vector<std::string>{"answer"});
}

TEST(LinkPatterns, SubscriberSeesEverythingPublished) {
    auto manager = makeManager();
    manager->declare("Events", LinkPattern::PublishSubscribe, LinkTransport::Tcp, 0, "");
    auto publisher = manager->open("Events", LinkKind::Publisher);
    auto subscriber = manager->open("Events", LinkKind::Subscriber);
    ASSERT_TRUE(publisher && subscriber);
    std::vector<std::string> got;
    EXPECT_TRUE(publishUntilSeen([&] { publisher->send("tick", 4, false); },
                                 [&] {
                                     got = receiveParts(*subscriber, std::chrono::milliseconds(20));
                                     return !got.empty();
                                 }));
    EXPECT_EQ(got, std::vector<std::string>{"tick"});
}

TEST(LinkPatterns, SecondBinderOnTheSamePortIsNotAttached) {
    auto manager = makeManager();
    manager->declare("RR", LinkPattern::RequestReply, LinkTransport::Tcp, 0, "");
    auto first = manager->open("RR", LinkKind::Reply);
    ASSERT_TRUE(first && first->attached());
    auto second = manager->open("RR", LinkKind::Reply);
    ASSERT_NE(second, nullptr);  // bind errors are not reported by open
    EXPECT_FALSE(second->attached());
}

TEST(LinkReceive, NonWaitingReceiveReturnsAtOnceAndBoundedWaitHonoursItsLimit) {
    auto manager = makeManager();
    manager->declare("Q", LinkPattern::PushPull, LinkTransport::InProcess, 0, "");
    auto pull = manager->open("Q", LinkKind::Pull);
    char buffer[16];
    bool more = true;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(pull->receive(buffer, sizeof(buffer), false, more), -1);
    // Bounds far above the socket step: they catch a wait that never ends,
    // not a slow machine.
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(pull->receive(buffer, sizeof(buffer), 120ms, more), -1);
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, 110ms);
    EXPECT_LT(took, 5s);
}

TEST(LinkConcurrency, ClosingASlotReleasesAWaitingReceiverPromptly) {
    auto manager = makeManager();
    manager->declare("Q", LinkPattern::PushPull, LinkTransport::Tcp, 0, "");
    auto pull = manager->open("Q", LinkKind::Pull);
    ASSERT_NE(pull, nullptr);
    std::atomic<bool> entered{false};
    auto waiter = std::async(std::launch::async, [&] {
        char buffer[16];
        bool more = false;
        entered = true;
        return pull->receive(buffer, sizeof(buffer), true, more);  // waits without limit
    });
    while (!entered) std::this_thread::yield();
    std::this_thread::sleep_for(100ms);
    auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(manager->close(pull->slot()));
    ASSERT_EQ(waiter.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(waiter.get(), -1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
}

TEST(LinkConcurrency, StopReleasesWaitersOnEverySlot) {
    auto manager = makeManager();
    manager->declare("Events", LinkPattern::PublishSubscribe, LinkTransport::Tcp, 0, "");
    auto publisher = manager->open("Events", LinkKind::Publisher);
    std::vector<std::unique_ptr<LinkEndpoint>> subscribers;
    std::vector<std::future<int>> waiters;
    for (int i = 0; i < 4; ++i) subscribers.push_back(manager->open("Events", LinkKind::Subscriber));
    for (auto& s : subscribers) {
        waiters.push_back(std::async(std::launch::async, [endpoint = s.get()] {
            char buffer[16];
            bool more = false;
            return endpoint->receive(buffer, sizeof(buffer), true, more);
        }));
    }
    std::this_thread::sleep_for(100ms);
    manager->stop();
    for (auto& w : waiters) {
        ASSERT_EQ(w.wait_for(5s), std::future_status::ready);
        EXPECT_EQ(w.get(), -1);
    }
}

TEST(LinkConcurrency, SendAndReceiveOnOneSlotFromTwoThreads) {
    // One pair endpoint is read by one thread while another writes to it.
    auto manager = makeManager();
    manager->declare("Duplex", LinkPattern::Pair, LinkTransport::Tcp, 0, "");
    auto a = manager->open("Duplex", LinkKind::Pair);
    auto b = manager->open("Duplex", LinkKind::Pair);
    constexpr int kCount = 500;
    auto echo = std::async(std::launch::async, [&] {
        char buffer[64];
        for (int i = 0; i < kCount; ++i) {
            bool more = false;
            int n = b->receive(buffer, sizeof(buffer), 5000ms, more);
            if (n < 0) return i;
            b->send(buffer, static_cast<size_t>(n), false);
        }
        return kCount;
    });
    auto reader = std::async(std::launch::async, [&] {
        char buffer[64];
        int seen = 0;
        for (int i = 0; i < kCount; ++i) {
            bool more = false;
            int n = a->receive(buffer, sizeof(buffer), 5000ms, more);
            if (n != sizeof(int)) break;
            int value;
            std::memcpy(&value, buffer, sizeof(value));
            if (value != i) break;
            ++seen;
        }
        return seen;
    });
    for (int i = 0; i < kCount; ++i) a->send(&i, sizeof(i), false);
    EXPECT_EQ(echo.get(), kCount);
    EXPECT_EQ(reader.get(), kCount);
}

}  // namespace
