#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "context/Autowired.h"
#include "context/CoreContext.h"
#include "context/CoreThread.h"
#include "tests/support/Eventually.h"

using namespace std::chrono_literals;

namespace {

class Worker : public CoreThread {
public:
    Worker() : CoreThread("WorkerThreadWithALongName") { Ready(); }
};

class Failing : public CoreThread {
public:
    Failing() : CoreThread("Failing") { Ready(); }
    void Run() override { throw std::runtime_error("thread body failed"); }
};

class ThreadTest : public ::testing::Test {
protected:
    void TearDown() override {
        if (context->IsInitiated()) context->RequestShutdown();
    }
    std::shared_ptr<CoreContext> context = CoreContext::Current()->NewChild();
    CurrentContextScope scope{context};
};

TEST_F(ThreadTest, ThreadAddedBeforeInitiationStartsWithIt) {
    AutoRequired<Worker> worker;
    EXPECT_FALSE(worker->IsRunning());
    context->Initiate();
    EXPECT_TRUE(worker->IsRunning());
    std::promise<std::shared_ptr<CoreContext>> seen;
    ASSERT_TRUE(Eventually([&] { return worker->CanAccept(); }));
    worker->Enqueue([&] { seen.set_value(CoreContext::Current()); });
    EXPECT_EQ(seen.get_future().get(), context) << "the thread runs with its context current";
}

TEST_F(ThreadTest, ThreadAddedToAnInitiatedContextStartsAtOnce) {
    context->Initiate();
    AutoRequired<Worker> worker;
    EXPECT_TRUE(worker->IsRunning());
}

TEST_F(ThreadTest, ThreadIsNamedForTheSystemWithinFifteenCharacters) {
    AutoRequired<Worker> worker;
    context->Initiate();
    ASSERT_TRUE(Eventually([&] { return worker->CanAccept(); }));
    std::promise<std::string> name;
    worker->Enqueue([&] {
        char buffer[32] = {};
        pthread_getname_np(pthread_self(), buffer, sizeof buffer);
        name.set_value(buffer);
    });
    EXPECT_EQ(name.get_future().get(), "WorkerThreadWit");
}

TEST_F(ThreadTest, InitiatedTwiceKeepsRunningUntilTheSecondRelease) {
    AutoRequired<Worker> worker;
    context->Initiate();
    context->Initiate();
    context->ReleaseInitiation();
    EXPECT_FALSE(worker->ShouldStop());
    EXPECT_TRUE(worker->IsRunning());
    context->ReleaseInitiation();
    EXPECT_TRUE(worker->ShouldStop());
    worker->WaitForCompletion();
    EXPECT_TRUE(worker->IsCompleted());
}

TEST_F(ThreadTest, InitiatingAChildInitiatesItsParents) {
    auto parentCount = context->InitiationCount();
    auto child = context->NewChild();
    child->Initiate();
    EXPECT_EQ(context->InitiationCount(), parentCount + 1);
    child->ReleaseInitiation();
    EXPECT_EQ(context->InitiationCount(), parentCount);
}

TEST_F(ThreadTest, NonGracefulStopRunsNoneOfThePendingCalls) {
    AutoRequired<Worker> worker;
    context->Initiate();
    ASSERT_TRUE(Eventually([&] { return worker->CanAccept(); }));
    std::promise<void> entered;
    std::promise<void> release;
    std::atomic<int> ran{0};
    worker->Enqueue([&] {
        entered.set_value();
        release.get_future().wait();
    });
    entered.get_future().wait();
    for (int i = 0; i < 10; ++i) worker->Enqueue([&] { ++ran; });
    worker->Stop(false);
    release.set_value();
    worker->WaitForCompletion();
    EXPECT_EQ(ran, 0);
}

TEST_F(ThreadTest, GracefulStopRunsWhatWasQueuedFirst) {
    AutoRequired<Worker> worker;
    context->Initiate();
    ASSERT_TRUE(Eventually([&] { return worker->CanAccept(); }));
    std::promise<void> release;
    std::atomic<int> ran{0};
    worker->Enqueue([&] { release.get_future().wait(); });
    for (int i = 0; i < 10; ++i) worker->Enqueue([&] { ++ran; });
    worker->Stop(true);
    worker->Enqueue([&] { ran += 100; });  // after the stop: refused
    release.set_value();
    worker->WaitForCompletion();
    EXPECT_EQ(ran, 10);
}

TEST_F(ThreadTest, FailingThreadPrintsItsMessageAndReleasesOneInitiation) {
    testing::internal::CaptureStderr();
    context->Initiate();
    AutoRequired<Failing> failing;
    failing->WaitForCompletion();
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, "thread body failed\n");
    EXPECT_EQ(context->InitiationCount(), 0u);
    EXPECT_TRUE(context->IsStopping());
}

struct RecordingFilter : ContextMember, ExceptionFilter {
    void OnThreadException(const Rethrower& rethrow) override {
        try {
            rethrow();
        } catch (const std::exception& e) {
            seen = e.what();
        }
    }
    std::string seen;
};

TEST_F(ThreadTest, OwnFilterSeesTheExceptionWhichIsStillReportedUnlessAncestorsHandleIt) {
    // The global context above has no filter of its own, so the exception
    // still reaches the thread body's report.
    AutoRequired<RecordingFilter> filter;
    testing::internal::CaptureStderr();
    context->Initiate();
    AutoRequired<Failing> failing;
    failing->WaitForCompletion();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "thread body failed\n");
    EXPECT_EQ(filter->seen, "thread body failed");
}

TEST_F(ThreadTest, FilterInAnAncestorSeesTheExceptionButTheChildStillReportsIt) {
    AutoRequired<RecordingFilter> filter;  // in the parent
    auto child = context->NewChild();
    CurrentContextScope inner(child);
    testing::internal::CaptureStderr();
    child->Initiate();
    AutoRequired<Failing> failing;
    failing->WaitForCompletion();
    EXPECT_EQ(filter->seen, "thread body failed");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "thread body failed\n");
    EXPECT_EQ(child->InitiationCount(), 0u);
}

TEST_F(ThreadTest, RequestShutdownWaitsForEveryThreadAndForChildren) {
    AutoRequired<Worker> worker;
    auto child = context->NewChild();
    std::shared_ptr<Worker> childWorker;
    {
        CurrentContextScope inner(child);
        childWorker = AutoRequired<Worker>().shared();
    }
    child->Initiate();
    context->Initiate();
    context->RequestShutdown();
    EXPECT_TRUE(worker->IsCompleted());
    EXPECT_TRUE(childWorker->IsCompleted());
}

TEST_F(ThreadTest, WaitForThreadsReturnsWhenTheLastThreadHasEnded) {
    AutoRequired<Worker> a;
    context->Initiate();
    std::thread releaser([&] {
        std::this_thread::sleep_for(20ms);
        context->ReleaseInitiation();
    });
    context->WaitForThreads();
    EXPECT_FALSE(a->IsRunning());
    releaser.join();
}

TEST_F(ThreadTest, ShutdownOfANeverInitiatedContextDoesNotWait) {
    AutoRequired<Worker> worker;
    context->RequestShutdown();
    EXPECT_FALSE(worker->IsRunning());
}

}  // namespace
