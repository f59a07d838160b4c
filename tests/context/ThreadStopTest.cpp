// How a context thread stops, and how its batches of queued calls keep the
// queue's bound and notice a stop. Every test here shares state between the
// test's thread and the context thread, so they run under ThreadSanitizer.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <stdexcept>
#include <thread>

#include "context/Autowired.h"
#include "context/CoreContext.h"
#include "context/CoreThread.h"
#include "context/ExceptionFilter.h"
#include "tests/support/Eventually.h"

using namespace std::chrono_literals;

namespace {

class Worker : public CoreThread {
public:
    Worker() : CoreThread("Worker") { Ready(); }
};

class OtherWorker : public CoreThread {
public:
    OtherWorker() : CoreThread("OtherWorker") { Ready(); }
};

class Failing : public CoreThread {
public:
    Failing() : CoreThread("Failing") { Ready(); }
    void Run() override { throw std::runtime_error("thread body failed"); }
};

// A filter that handles every thread exception and counts them. Two types,
// so that one context can hold two of them.
template <int N>
struct CountingFilter : ContextMember, ExceptionFilter {
    void OnThreadException(const Rethrower&) override { ++calls; }
    std::atomic<int> calls{0};
};

// Holds the thread in a call until released, so that the test can queue
// calls that the thread then takes as one batch.
class Gate {
public:
    void enter() {
        m_entered.set_value();
        m_release.get_future().wait();
    }
    void waitEntered() { m_entered.get_future().wait(); }
    void release() { m_release.set_value(); }

private:
    std::promise<void> m_entered;
    std::promise<void> m_release;
};

class ThreadStopTest : public ::testing::Test {
protected:
    void TearDown() override {
        if (context->IsInitiated()) context->RequestShutdown();
    }
    std::shared_ptr<CoreContext> context = CoreContext::Current()->NewChild();
    CurrentContextScope scope{context};
};

// ---------------------------------------------------------------------------
// A normal stop is no failure.

TEST_F(ThreadStopTest, StoppingOneThreadIsSilentAndKeepsTheContextRunning) {
    AutoRequired<Worker> worker;
    AutoRequired<OtherWorker> other;
    context->Initiate();
    ASSERT_TRUE(Eventually([&] { return worker->CanAccept() && other->CanAccept(); }));

    testing::internal::CaptureStderr();
    worker->Stop(false);  // the queue is aborted: the loop ends by dispatch_aborted_exception
    worker->WaitForCompletion();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << "a normal stop prints nothing";

    EXPECT_EQ(context->InitiationCount(), 1u) << "a normal stop does not drop the context's initiation";
    EXPECT_FALSE(context->IsStopping());
    std::promise<void> ran;
    other->Enqueue([&] { ran.set_value(); });
    EXPECT_EQ(ran.get_future().wait_for(5s), std::future_status::ready) << "the context's other thread still runs";
}

TEST_F(ThreadStopTest, ShutdownOfAContextIsNoThreadExceptionForItsFilters) {
    AutoRequired<CountingFilter<1>> filter;
    AutoRequired<Worker> worker;
    context->Initiate();
    ASSERT_TRUE(Eventually([&] { return worker->CanAccept(); }));
    context->RequestShutdown();
    EXPECT_TRUE(worker->IsCompleted());
    EXPECT_EQ(filter->calls, 0);
}

TEST_F(ThreadStopTest, OnlyTheFirstFilterThatHandlesAThreadExceptionSeesIt) {
    AutoRequired<CountingFilter<1>> first;
    AutoRequired<CountingFilter<2>> second;
    context->Initiate();
    AutoRequired<Failing> failing;
    failing->WaitForCompletion();
    EXPECT_EQ(first->calls + second->calls, 1);
}

TEST_F(ThreadStopTest, ContextInitiatedAgainAfterItsReleaseRunsNewThreads) {
    context->Initiate();
    context->ReleaseInitiation();
    ASSERT_TRUE(context->IsStopping());

    context->Initiate();
    AutoRequired<Worker> worker;  // starts at once in the initiated context
    ASSERT_TRUE(Eventually([&] { return worker->CanAccept(); })) << "the thread took the context for one that stops";
    std::promise<void> ran;
    worker->Enqueue([&] { ran.set_value(); });
    EXPECT_EQ(ran.get_future().wait_for(5s), std::future_status::ready);
    EXPECT_FALSE(worker->IsCompleted());
}

// ---------------------------------------------------------------------------
// Batches of queued calls.

TEST_F(ThreadStopTest, AbortFromACallDropsTheRestOfItsBatch) {
    AutoRequired<Worker> worker;
    context->Initiate();
    ASSERT_TRUE(Eventually([&] { return worker->CanAccept(); }));
    Gate gate;
    std::atomic<int> ranAfterAbort{0};
    worker->Enqueue([&] { gate.enter(); });
    gate.waitEntered();
    // Both calls wait while the first runs, so the thread takes them together.
    worker->Enqueue([&] { worker->Abort(); });
    for (int i = 0; i < 5; ++i) worker->Enqueue([&] { ++ranAfterAbort; });
    gate.release();
    worker->WaitForCompletion();
    EXPECT_EQ(ranAfterAbort, 0);
}

TEST_F(ThreadStopTest, ContextStopIsSeenBetweenTwoCallsOfABatch) {
    AutoRequired<Worker> worker;
    context->Initiate();
    context->Initiate();  // the shutdown below then flags the stop without aborting the queue
    ASSERT_TRUE(Eventually([&] { return worker->CanAccept(); }));
    Gate gate;
    std::atomic<int> ranAfterStop{0};
    std::thread shutdown;
    worker->Enqueue([&] { gate.enter(); });
    gate.waitEntered();
    worker->Enqueue([&] {
        shutdown = std::thread([&] { context->RequestShutdown(); });
        while (!context->IsStopping()) std::this_thread::sleep_for(1ms);
    });
    for (int i = 0; i < 100; ++i) worker->Enqueue([&] { ++ranAfterStop; });
    gate.release();
    worker->WaitForCompletion();  // also orders the thread's start of `shutdown` before the join
    // The shutdown waits for the thread, which ended after the stopping call.
    shutdown.join();
    EXPECT_EQ(ranAfterStop, 0) << "the calls after the stop ran in the same batch";
}

TEST_F(ThreadStopTest, BatchInHandCountsAgainstTheQueueBound) {
    AutoRequired<Worker> worker;
    context->Initiate();
    ASSERT_TRUE(Eventually([&] { return worker->CanAccept(); }));
    Gate first;
    Gate second;
    std::atomic<int> early{0};
    std::atomic<int> late{0};
    worker->Enqueue([&] { first.enter(); });
    first.waitEntered();
    // The second gate and 1000 calls wait; the thread takes them as one batch
    // and stops in the gate with 1000 calls still in hand.
    worker->Enqueue([&] { second.enter(); });
    for (int i = 0; i < 1000; ++i) worker->Enqueue([&] { ++early; });
    first.release();
    second.waitEntered();
    for (int i = 0; i < 2000; ++i) worker->Enqueue([&] { ++late; });
    EXPECT_EQ(worker->GetDispatchQueueLength(), DispatchQueue::kDispatchCap + 1);
    second.release();
    ASSERT_TRUE(Eventually([&] { return early + late == 1025; }));
    std::this_thread::sleep_for(50ms);  // room for any call that should not be there
    EXPECT_EQ(early, 1000);
    EXPECT_EQ(late, 25) << "only 1025 calls may wait, counting those of the batch in hand";
}

TEST_F(ThreadStopTest, GracefulStopStillRunsTheWholeBatchBeforeIt) {
    AutoRequired<Worker> worker;
    context->Initiate();
    ASSERT_TRUE(Eventually([&] { return worker->CanAccept(); }));
    Gate gate;
    std::atomic<int> ran{0};
    worker->Enqueue([&] { gate.enter(); });
    gate.waitEntered();
    for (int i = 0; i < 50; ++i) worker->Enqueue([&] { ++ran; });
    worker->Stop(true);
    gate.release();
    worker->WaitForCompletion();
    EXPECT_EQ(ran, 50);
}

}  // namespace
