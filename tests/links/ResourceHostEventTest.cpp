// What the host publishes and when: configuration and mode changes, idle
// ticks, log records, in-process listeners; client expiry by passes.
#include <gtest/gtest.h>

#include <sstream>

#include "logging/EventLogServer.h"
#include "logging/LogClock.h"
#include "tests/links/HostTestSupport.h"

namespace {

using namespace hosttest;
using Tyvo::Message::Event;
using Tyvo::Message::Message;

// Collects events of a connected client until a predicate is met.
std::vector<Event> collect(LinkClient& c, const std::function<bool(const std::vector<Event>&)>& enough,
                           std::chrono::milliseconds bound = 10s) {
    std::vector<Event> events;
    auto end = std::chrono::steady_clock::now() + bound;
    while (!enough(events) && std::chrono::steady_clock::now() < end) {
        if (auto e = c.nextEvent(100ms)) events.push_back(*e);
    }
    return events;
}

size_t countOf(const std::vector<Event>& events, int type) {
    return static_cast<size_t>(
        std::count_if(events.begin(), events.end(), [&](const Event& e) { return e.type() == type; }));
}

// Waits until the subscriber sees the host's events at all (idle ticks).
void awaitEventConnection(LinkClient& c) {
    ASSERT_TRUE(c.connectEvents());
    auto first = collect(c, [](const auto& e) { return countOf(e, 415) > 0; });
    ASSERT_GT(countOf(first, 415), 0u);
}

class HostEventTest : public HostTest {};

TEST_F(HostEventTest, BackgroundModeChangeGivesOneSettingsEventAndOneModeEvent) {
    auto opts = options();
    opts.passPeriod = 100ms;
    startHost(opts);
    auto link = client();
    awaitEventConnection(*link);

    auto taken = link->setConfiguration({{"background_app_mode", Value(0)}, {"camera_mode", Value("VGA")}});
    ASSERT_TRUE(taken);
    ASSERT_EQ(taken->size(), 2u);
    // Everything of one pass arrives before the next idle tick.
    auto events = collect(
        *link, [](const auto& e) { return countOf(e, 403) > 0 && countOf(e, 406) > 0 && e.back().type() == 415; });
    ASSERT_EQ(countOf(events, 403), 1u);
    EXPECT_EQ(countOf(events, 406), 1u);
    const Event& settings = *std::find_if(events.begin(), events.end(), [](const Event& e) { return e.type() == 403; });
    std::map<std::string, int> keys;
    for (const auto& entry : settings.settings().entries()) keys[entry.key()]++;
    EXPECT_EQ(keys, (std::map<std::string, int>{{"background_app_mode", 1}, {"camera_mode", 1}}));
    auto order = std::find_if(events.begin(), events.end(), [](const Event& e) { return e.type() == 403; });
    EXPECT_EQ(std::next(order)->type(), 406);  // settings first, then the mode
}

TEST_F(HostEventTest, ChangesByOtherComponentsArePublishedWithoutModeEvent) {
    startHost();
    auto link = client();
    awaitEventConnection(*link);
    ASSERT_TRUE(Config::set("camera_mode", Value("QVGA")));  // the default is "HVGA"
    auto events = collect(*link, [](const auto& e) { return countOf(e, 403) > 0; });
    ASSERT_EQ(countOf(events, 403), 1u);
    auto more = collect(*link, [](const auto& e) { return countOf(e, 415) >= 3; });
    EXPECT_EQ(countOf(more, 403), 0u);
    EXPECT_EQ(countOf(more, 406), 0u);
    // A setting that does not change anything publishes nothing.
    ASSERT_TRUE(Config::set("camera_mode", Value("QVGA")));
    more = collect(*link, [](const auto& e) { return countOf(e, 415) >= 3; });
    EXPECT_EQ(countOf(more, 403), 0u);
}

TEST_F(HostEventTest, IdleTicksComeOncePerFullPeriod) {
    auto opts = options();
    opts.passPeriod = 60ms;
    auto& host = startHost(opts);
    auto link = client();
    awaitEventConnection(*link);
    auto tick = link->nextEvent(5s);
    while (tick && tick->type() != 415) tick = link->nextEvent(5s);
    ASSERT_TRUE(tick);
    EXPECT_EQ(tick->ByteSizeLong(), 3u);  // the type alone: no payload

    // Each idle tick needs a full period of waiting after its pass, so over
    // any stretch of time there is at most one per period (plus the one
    // under way), however the threads are scheduled.
    const auto start = std::chrono::steady_clock::now();
    const uint64_t before = host.idleTicksPublished();
    std::this_thread::sleep_for(1500ms);
    const uint64_t after = host.idleTicksPublished();
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_LE(after - before, static_cast<uint64_t>(elapsed / 60ms) + 1);
    EXPECT_GT(after, before);
}

TEST_F(HostEventTest, LogRecordsArriveAsLogEvents) {
    std::ostringstream console;
    auto context = CoreContext::Current()->NewChild();
    struct Shutdown {
        std::shared_ptr<CoreContext> context;
        ~Shutdown() { context->RequestShutdown(); }  // before the console goes
    } shutdown{context};
    {
        // The log server in the context above the host's, as in the tool.
        CurrentContextScope scope(context);
        context->AddMember(std::make_shared<EventLogServer>(systemLogClock(), console));
        context->Initiate();
        startHost();
    }
    auto link = client();
    awaitEventConnection(*link);
    auto server = context->FindMember<EventLogServer>();
    ASSERT_TRUE(server);
    ASSERT_TRUE(eventually([&] {
        // Accepted once the server has read its settings.
        server->log(42, 1, 5, "camera lost");
        return countOf(collect(
                           *link, [](const auto& e) { return countOf(e, 412) > 0; }, 200ms),
                       412) > 0;
    }));
    server->log(-1, 0, 0, "second record");
    auto events = collect(*link, [](const auto& e) { return countOf(e, 412) > 0; });
    ASSERT_EQ(countOf(events, 412), 1u);
    const auto& log = std::find_if(events.begin(), events.end(), [](const Event& e) { return e.type() == 412; })->log();
    EXPECT_EQ(log.frame_id(), -1);
    EXPECT_EQ(log.severity(), 0);
    EXPECT_EQ(log.error_code(), 0);
    EXPECT_NE(log.text().find("[Critical] second record"), std::string::npos) << log.text();

    server->log(42, 1, 5, "camera lost");
    events = collect(*link, [](const auto& e) { return countOf(e, 412) > 0; });
    ASSERT_EQ(countOf(events, 412), 1u);
    const auto& warning =
        std::find_if(events.begin(), events.end(), [](const Event& e) { return e.type() == 412; })->log();
    EXPECT_EQ(warning.frame_id(), 42);
    EXPECT_EQ(warning.severity(), 1);
    EXPECT_EQ(warning.error_code(), 5);
    EXPECT_NE(warning.text().find("Frame 42 [Warning] [EC_BAD_LOGIN] camera lost"), std::string::npos)
        << warning.text();
    stopHost();
}

class Recorder : public APIMessageListener {
public:
    void onAPIMessage(const Message& event) override {
        std::lock_guard<std::mutex> lock(m_lock);
        types.push_back(event.event().type());
    }
    std::vector<int> seen() {
        std::lock_guard<std::mutex> lock(m_lock);
        return types;
    }

private:
    std::mutex m_lock;
    std::vector<int> types;
};

TEST_F(HostEventTest, PublishEventReachesInProcessListenersAndRefusesNonEvents) {
    auto& host = startHost();
    auto recorder = std::make_shared<Recorder>();
    m_context->AddMember(recorder);
    Message event;
    event.set_type(Message::EVENT);
    event.mutable_event()->set_type(499);
    EXPECT_TRUE(host.publishEvent(event));
    Message notEvent;
    notEvent.set_type(Message::RESPONSE);
    notEvent.mutable_response()->set_type(0);
    notEvent.mutable_response()->set_status(0);
    EXPECT_FALSE(host.publishEvent(notEvent));
    EXPECT_TRUE(eventually([&] {
        auto seen = recorder->seen();
        return std::count(seen.begin(), seen.end(), 499) == 1 && std::count(seen.begin(), seen.end(), 415) > 0;
    }));
}

TEST_F(HostEventTest, SilentClientExpiresAfter1200PassesAndReleasesItsResources) {
    auto opts = options();
    opts.passPeriod = 1ms;
    auto& host = startHost(opts);
    auto silent = client();
    auto busy = client();
    // Read before the last request: the client was last seen at this tick or later.
    const uint32_t subscribedAt = host.currentTick();
    ASSERT_TRUE(silent->subscribe({"PalmPoints", "Motions"}));
    ASSERT_TRUE(busy->subscribe({"Motions"}));
    EXPECT_TRUE(eventually([&] { return host.activeResourceMask() == (0x1u | 0x200u); }));

    // The busy client keeps itself alive; the silent one says nothing.
    bool gone = eventually(
        [&] {
            busy->ping();
            return !host.hasClient(silent->clientId());
        },
        60s);
    ASSERT_TRUE(gone);
    EXPECT_GE(host.currentTick() - subscribedAt, ResourceHost::kExpiryTicks);
    EXPECT_TRUE(host.hasClient(busy->clientId()));
    EXPECT_EQ(host.resourceSubscribers("PalmPoints"), 0);
    EXPECT_EQ(host.resourceSubscribers("Motions"), 1);
    EXPECT_TRUE(eventually([&] { return host.activeResourceMask() == 0x200u; }));

    auto late = ask(*silent, 203);
    ASSERT_TRUE(late);
    EXPECT_EQ(late->type(), 0);  // forgotten
}

TEST_F(HostEventTest, TickCounterWrapsWithoutExpiringAnyone) {
    auto opts = options();
    opts.passPeriod = 1ms;
    opts.firstTick = 0xFFFFFFFFu - 300;
    auto& host = startHost(opts);
    auto link = client();
    const uint32_t seenAt = host.currentTick();
    // Keep talking across the wrap.
    EXPECT_TRUE(eventually([&] {
        link->ping();
        return host.currentTick() < 0x80000000u;
    }));
    EXPECT_GT(seenAt, 0x80000000u);  // the client came before the wrap
    // Rebased on the client's last request: far below the wrap, and alive.
    EXPECT_LT(host.currentTick(), 1000u);
    EXPECT_TRUE(host.hasClient(link->clientId()));
    EXPECT_TRUE(link->ping());
}

}  // namespace
