#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "context/Autowired.h"
#include "context/CoreContext.h"
#include "context/EventSender.h"

namespace {

class CountingListener : public virtual EventReceiver {
public:
    virtual void onCount(int amount) = 0;
};

class Counter : public ContextMember, public CountingListener {
public:
    void onCount(int amount) override { total += amount; }
    int total = 0;
};

class Thrower : public ContextMember, public CountingListener {
public:
    void onCount(int) override {
        ++calls;
        throw std::runtime_error("receiver failed");
    }
    int calls = 0;
};

class Swallower : public ContextMember, public ExceptionFilter {
public:
    void OnEventException(const Rethrower& rethrow, const EventReceiverProxyBase*,
                          const std::shared_ptr<EventReceiver>&) override {
        try {
            rethrow();
        } catch (const std::runtime_error& e) {
            seen.emplace_back(e.what());
        }
    }
    std::vector<std::string> seen;
};

class Pool : public ContextMember, public TransientPoolBase {
public:
    void PushEvent(const Event& event) override { events.push_back(event); }
    std::vector<Event> events;
};

class EventTest : public ::testing::Test {
protected:
    std::shared_ptr<CoreContext> context = CoreContext::Current()->NewChild();
    CurrentContextScope scope{context};
};

TEST_F(EventTest, ProxyMadeLaterStillReachesEarlierReceivers) {
    auto a = std::make_shared<Counter>();
    auto b = std::make_shared<Counter>();
    context->AddMember(a);
    context->AddMember(b);
    EventSender<CountingListener> sender;  // proxy created now
    sender.Fire(&CountingListener::onCount, 5);
    EXPECT_EQ(a->total, 5);
    EXPECT_EQ(b->total, 5);
}

TEST_F(EventTest, FiringWithoutReceiversDoesNothing) {
    EventSender<CountingListener> sender;
    EXPECT_FALSE(sender.HasReceivers());
    sender.Fire(&CountingListener::onCount, 1);
}

TEST_F(EventTest, EventsReachChildContextsButNotParents) {
    auto up = std::make_shared<Counter>();
    context->AddMember(up);
    auto child = context->NewChild();
    auto down = std::make_shared<Counter>();
    child->AddMember(down);

    context->ProxyFor<CountingListener>()->Fire(&CountingListener::onCount, 1);
    child->ProxyFor<CountingListener>()->Fire(&CountingListener::onCount, 10);
    EXPECT_EQ(up->total, 1);
    EXPECT_EQ(down->total, 11);
}

TEST_F(EventTest, ReceiversOfADestroyedChildLeaveTheParentProxies) {
    auto proxy = context->ProxyFor<CountingListener>();
    std::weak_ptr<Counter> weak;
    {
        auto child = context->NewChild();
        auto counter = std::make_shared<Counter>();
        weak = counter;
        child->AddMember(counter);
        EXPECT_TRUE(proxy->HasReceivers());
    }
    EXPECT_FALSE(proxy->HasReceivers());
    EXPECT_TRUE(weak.expired()) << "the parent's proxy must not keep the receiver alive";
}

TEST_F(EventTest, FilterThatReturnsLetsTheOtherReceiversRun) {
    auto filter = std::make_shared<Swallower>();
    context->AddMember(filter);
    auto thrower = std::make_shared<Thrower>();
    auto counters = std::vector<std::shared_ptr<Counter>>{std::make_shared<Counter>(), std::make_shared<Counter>(),
                                                          std::make_shared<Counter>()};
    context->AddMember(thrower);
    for (auto& c : counters) context->AddMember(c);

    context->ProxyFor<CountingListener>()->Fire(&CountingListener::onCount, 2);
    EXPECT_EQ(thrower->calls, 1);
    for (auto& c : counters) EXPECT_EQ(c->total, 2);
    EXPECT_EQ(filter->seen, std::vector<std::string>{"receiver failed"});
}

TEST_F(EventTest, WithoutAFilterTheExceptionReachesTheFirer) {
    context->AddMember(std::make_shared<Thrower>());
    EXPECT_THROW(context->ProxyFor<CountingListener>()->Fire(&CountingListener::onCount, 1), std::runtime_error);
}

TEST_F(EventTest, PoolsReceiveACallableThatPerformsTheEvent) {
    auto pool = std::make_shared<Pool>();
    context->AddMember(pool);
    context->ProxyFor<CountingListener>()->Fire(&CountingListener::onCount, 4);
    ASSERT_EQ(pool->events.size(), 1u);
    Counter target;
    pool->events[0](target);
    EXPECT_EQ(target.total, 4);
}

TEST_F(EventTest, ReleasedProxyForgetsItsReceivers) {
    auto counter = std::make_shared<Counter>();
    context->AddMember(counter);
    auto proxy = context->ProxyFor<CountingListener>();
    proxy->ReleaseReceivers();
    proxy->Fire(&CountingListener::onCount, 1);
    EXPECT_EQ(counter->total, 0);
}

TEST(LockReducedCollection, AddingTwiceOrRemovingAbsentChangesNothing) {
    LockReducedCollection<int> collection;
    auto one = std::make_shared<int>(1);
    EXPECT_TRUE(collection.Insert(one));
    auto before = collection.GetSnapshot();
    EXPECT_FALSE(collection.Insert(one));
    EXPECT_EQ(collection.GetSnapshot(), before) << "an unchanged set keeps its snapshot";
    EXPECT_FALSE(collection.Erase(std::make_shared<int>(1))) << "hashed by address, not value";
    EXPECT_TRUE(collection.Erase(one));
    EXPECT_EQ(before->size(), 1u) << "old snapshots stay intact for their readers";
    EXPECT_TRUE(collection.Empty());
}

// Firing skips an empty collection on its kept size without taking the
// snapshot: the size must follow every change, or a receiver or pool would
// be skipped (or an empty one taken).
TEST(LockReducedCollection, TheKeptSizeFollowsEveryChange) {
    LockReducedCollection<int> collection;
    EXPECT_TRUE(collection.LooksEmpty());
    auto one = std::make_shared<int>(1);
    auto two = std::make_shared<int>(2);
    collection.Insert(one);
    EXPECT_FALSE(collection.LooksEmpty());
    collection.Insert(one);
    collection.Insert(two);
    collection.Erase(one);
    EXPECT_FALSE(collection.LooksEmpty()) << "two is still there";
    collection.Erase(std::make_shared<int>(2));
    EXPECT_FALSE(collection.LooksEmpty()) << "an absent element removes nothing";
    collection.Erase(two);
    EXPECT_TRUE(collection.LooksEmpty());
    collection.Insert(one);
    collection.Clear();
    EXPECT_TRUE(collection.LooksEmpty());
    EXPECT_TRUE(collection.Empty());
}

TEST_F(EventTest, APoolAddedAfterFiringBeganReceivesTheNextEvents) {
    auto counter = std::make_shared<Counter>();
    context->AddMember(counter);
    auto proxy = context->ProxyFor<CountingListener>();
    proxy->Fire(&CountingListener::onCount, 1);
    auto pool = std::make_shared<Pool>();
    context->AddMember(pool);
    proxy->Fire(&CountingListener::onCount, 2);
    EXPECT_EQ(counter->total, 3);
    EXPECT_EQ(pool->events.size(), 1u);
    proxy->RemoveReceiver(pool);
    proxy->Fire(&CountingListener::onCount, 3);
    EXPECT_EQ(pool->events.size(), 1u) << "a removed pool hears no more";
    EXPECT_EQ(counter->total, 6);
}

}  // namespace
