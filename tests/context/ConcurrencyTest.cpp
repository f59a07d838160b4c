#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "context/Autowired.h"
#include "context/CoreContext.h"
#include "context/CoreThread.h"
#include "context/EventSender.h"

using namespace std::chrono_literals;

namespace {

class PingListener : public virtual EventReceiver {
public:
    virtual void onPing(int value) = 0;
};

class Pinged : public ContextMember, public PingListener {
public:
    void onPing(int value) override { sum.fetch_add(value, std::memory_order_relaxed); }
    std::atomic<long> sum{0};
};

class Worker : public CoreThread {
public:
    Worker() : CoreThread("Worker") { Ready(); }
};

TEST(Concurrency, FiringWhileReceiversComeAndGo) {
    auto context = CoreContext::Current()->NewChild();
    auto proxy = context->ProxyFor<PingListener>();
    auto stable = std::make_shared<Pinged>();
    context->AddMember(stable);

    std::atomic<bool> done{false};
    std::vector<std::thread> firers;
    for (int t = 0; t < 3; ++t) {
        firers.emplace_back([&] {
            while (!done) proxy->Fire(&PingListener::onPing, 1);
        });
    }
    std::vector<std::thread> churners;
    for (int t = 0; t < 2; ++t) {
        churners.emplace_back([&] {
            for (int i = 0; i < 200; ++i) {
                auto child = context->NewChild();
                child->AddMember(std::make_shared<Pinged>());
                // The child dies here: its receiver leaves the parent's proxy.
            }
        });
    }
    for (auto& t : churners) t.join();
    done = true;
    for (auto& t : firers) t.join();

    EXPECT_GT(stable->sum.load(), 0);
    proxy->ReleaseReceivers();
}

TEST(Concurrency, ContextShutDownWhileItsThreadsDispatch) {
    for (int round = 0; round < 50; ++round) {
        auto context = CoreContext::Current()->NewChild();
        std::vector<std::shared_ptr<Worker>> workers;
        {
            CurrentContextScope scope(context);
            for (int i = 0; i < 3; ++i) {
                auto worker = std::make_shared<Worker>();
                context->AddMember(worker);
                workers.push_back(worker);
            }
        }
        context->Initiate();
        std::atomic<bool> stop{false};
        std::thread feeder([&] {
            while (!stop) {
                for (auto& w : workers) w->Enqueue([] { std::this_thread::yield(); });
            }
        });
        std::this_thread::sleep_for(1ms);
        context->RequestShutdown();
        for (auto& w : workers) EXPECT_TRUE(w->IsCompleted());
        stop = true;
        feeder.join();
    }
}

TEST(Concurrency, ThousandChildContextsWithThreadsAcrossThreads) {
    auto root = CoreContext::Current()->NewChild();
    std::atomic<int> completed{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 250; ++i) {
                auto child = root->NewChild();
                std::shared_ptr<Worker> worker;
                {
                    CurrentContextScope scope(child);
                    worker = AutoRequired<Worker>().shared();
                }
                child->Initiate();
                child->RequestShutdown();
                if (worker->IsCompleted()) ++completed;
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(completed.load(), 1000);
    // Every child is gone once its last holder let go (threads hold their
    // context until they end).
    for (int i = 0; i < 500 && !root->Children().empty(); ++i) std::this_thread::sleep_for(2ms);
    EXPECT_TRUE(root->Children().empty());
}

TEST(Concurrency, EnqueueFromManyThreadsRunsEveryAcceptedCall) {
    auto context = CoreContext::Current()->NewChild();
    std::shared_ptr<Worker> worker;
    {
        CurrentContextScope scope(context);
        worker = AutoRequired<Worker>().shared();
    }
    context->Initiate();
    while (!worker->CanAccept()) std::this_thread::yield();
    std::atomic<int> ran{0};
    std::vector<std::thread> producers;
    for (int t = 0; t < 4; ++t) {
        producers.emplace_back([&] {
            for (int i = 0; i < 250; ++i) {
                while (worker->GetDispatchQueueLength() > 1000) std::this_thread::yield();
                worker->Enqueue([&] { ++ran; });
            }
        });
    }
    for (auto& t : producers) t.join();
    worker->Stop(true);
    worker->WaitForCompletion();
    EXPECT_EQ(ran.load(), 1000);
    context->RequestShutdown();
}

}  // namespace
