// Event firing and the dispatch queue against their peers.
//
// Fire: our proxy calling 1 and 8 receivers, against a plain loop of virtual
// calls over the same receivers (the limit), boost::signals2 and libsigc++
// emitting to the same number of slots.
// Dispatch: one thread enqueues, the context thread runs the calls; against
// boost::asio io_context post/run with one thread running it.

#include <benchmark/benchmark.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "bench/support/RatioReporter.h"
#include "context/Autowired.h"
#include "context/CoreContext.h"
#include "context/CoreThread.h"

#ifdef HAVE_BOOST_PEERS
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/signals2/signal.hpp>
#endif
#ifdef HAVE_SIGCXX
#include <sigc++/sigc++.h>
#endif

namespace {

class ValueListener : public virtual EventReceiver {
public:
    virtual void onValue(int value) = 0;
};

class Sink : public ContextMember, public ValueListener {
public:
    void onValue(int value) override { benchmark::DoNotOptimize(sum += value); }
    long sum = 0;
};

void BM_Fire(benchmark::State& state) {
    auto context = CoreContext::Current()->NewChild();
    for (int i = 0; i < state.range(0); ++i) context->AddMember(std::make_shared<Sink>());
    auto proxy = context->ProxyFor<ValueListener>();
    for (auto _ : state) proxy->Fire(&ValueListener::onValue, 1);
}
BENCHMARK(BM_Fire)->Arg(1)->Arg(8);

void BM_VirtualLoop(benchmark::State& state) {
    std::vector<std::unique_ptr<Sink>> sinks;
    std::vector<ValueListener*> targets;
    for (int i = 0; i < state.range(0); ++i) {
        sinks.push_back(std::make_unique<Sink>());
        targets.push_back(sinks.back().get());
    }
    benchmark::DoNotOptimize(targets.data());
    for (auto _ : state) {
        for (auto* t : targets) t->onValue(1);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_VirtualLoop)->Arg(1)->Arg(8);

#ifdef HAVE_BOOST_PEERS
void BM_Signals2(benchmark::State& state) {
    boost::signals2::signal<void(int)> signal;
    std::vector<std::unique_ptr<Sink>> sinks;
    for (int i = 0; i < state.range(0); ++i) {
        sinks.push_back(std::make_unique<Sink>());
        Sink* s = sinks.back().get();
        signal.connect([s](int v) { s->onValue(v); });
    }
    for (auto _ : state) signal(1);
}
BENCHMARK(BM_Signals2)->Arg(1)->Arg(8);
#endif

#ifdef HAVE_SIGCXX
void BM_Sigcxx(benchmark::State& state) {
    sigc::signal<void(int)> signal;
    std::vector<std::unique_ptr<Sink>> sinks;
    for (int i = 0; i < state.range(0); ++i) {
        sinks.push_back(std::make_unique<Sink>());
        Sink* s = sinks.back().get();
        signal.connect([s](int v) { s->onValue(v); });
    }
    for (auto _ : state) signal.emit(1);
}
BENCHMARK(BM_Sigcxx)->Arg(1)->Arg(8);
#endif

// --- dispatch ---------------------------------------------------------------

constexpr int kBatch = 1000;  // within the queue's cap

class Dispatcher : public CoreThread {
public:
    Dispatcher() : CoreThread("BenchDispatch") { Ready(); }
};

void BM_DispatchQueue(benchmark::State& state) {
    auto context = CoreContext::Current()->NewChild();
    std::shared_ptr<Dispatcher> thread;
    {
        CurrentContextScope scope(context);
        thread = AutoRequired<Dispatcher>().shared();
    }
    context->Initiate();
    while (!thread->CanAccept()) std::this_thread::yield();
    std::atomic<long> done{0};
    long expected = 0;
    for (auto _ : state) {
        for (int i = 0; i < kBatch; ++i) {
            thread->Enqueue([&done] { done.fetch_add(1, std::memory_order_release); });
        }
        expected += kBatch;
        while (done.load(std::memory_order_acquire) != expected) std::this_thread::yield();
    }
    state.SetItemsProcessed(state.iterations() * kBatch);
    context->RequestShutdown();
}
BENCHMARK(BM_DispatchQueue)->UseRealTime();

#ifdef HAVE_BOOST_PEERS
void BM_AsioPost(benchmark::State& state) {
    boost::asio::io_context io;
    auto guard = boost::asio::make_work_guard(io);
    std::thread runner([&] { io.run(); });
    std::atomic<long> done{0};
    long expected = 0;
    for (auto _ : state) {
        for (int i = 0; i < kBatch; ++i) {
            boost::asio::post(io, [&done] { done.fetch_add(1, std::memory_order_release); });
        }
        expected += kBatch;
        while (done.load(std::memory_order_acquire) != expected) std::this_thread::yield();
    }
    state.SetItemsProcessed(state.iterations() * kBatch);
    guard.reset();
    io.stop();
    runner.join();
}
BENCHMARK(BM_AsioPost)->UseRealTime();
#endif

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchsupport::RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintRatios({{"BM_Fire/1", "BM_VirtualLoop/1"},
                          {"BM_Fire/8", "BM_VirtualLoop/8"},
                          {"BM_Fire/1", "BM_Signals2/1"},
                          {"BM_Fire/8", "BM_Signals2/8"},
                          {"BM_Fire/1", "BM_Sigcxx/1"},
                          {"BM_Fire/8", "BM_Sigcxx/8"}},
                         "Fire, time ratio (below 1 = ours faster):");
    reporter.PrintRatios({{"BM_DispatchQueue/real_time", "BM_AsioPost/real_time"}},
                         "Dispatch of 1000 calls, time ratio (below 1 = ours faster):");
    benchmark::Shutdown();
}
