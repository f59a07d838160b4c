// Many clients at once, each waiting for its own answers: nothing lost,
// nothing mixed up, and memory that settles.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <barrier>
#include <fstream>
#include <iostream>
#include <thread>

#include "links/LinkManager.h"
#include "tests/links/HostTestSupport.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// From the sanitizer runtime's allocator interface (its header does not come
// with every compiler).
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#define TYVO_SANITIZER_ALLOCATOR 1
#endif

namespace {

using namespace hosttest;

#if defined(__SANITIZE_THREAD__)
// The thread checker slows everything down several times over.
constexpr int kRequestsPerClient = 100;
#else
constexpr int kRequestsPerClient = 500;
#endif
constexpr int kClients = 200;
constexpr int kClientsPerManager = 15;

// The memory the process holds. Under a sanitizer the resident size says
// little (freed memory is kept back in quarantine and per-thread caches), so
// the sanitizer's count of live heap bytes stands in for it.
size_t residentBytes() {
#ifdef TYVO_SANITIZER_ALLOCATOR
    return __sanitizer_get_current_allocated_bytes();
#else
    std::ifstream statm("/proc/self/statm");
    size_t total = 0, resident = 0;
    statm >> total >> resident;
    return resident * static_cast<size_t>(sysconf(_SC_PAGESIZE));
#endif
}

const char* const kKeys[] = {"camera_mode", "background_app_mode", "debug_output_level", "Gesture.Swipe.MinLength",
                             "profiling_output_mode"};
const char* const kResources[] = {"FingerPoints", "PalmPoints", "Motions", "Gestures:Swipe", "Clusters"};

class HostLoadTest : public HostTest {};

TEST_F(HostLoadTest, TwoHundredClientsGetEveryAnswerRight) {
    auto opts = options();
    opts.passPeriod = 250ms;
    auto& host = startHost(opts);

    std::vector<std::shared_ptr<LinkManager>> managers;
    for (int i = 0; i < (kClients + kClientsPerManager - 1) / kClientsPerManager; ++i) {
        managers.push_back(std::make_shared<LinkManager>());
    }
    std::atomic<int> lost{0}, mismatched{0}, answered{0};
    size_t residentAfterWarmUp = 0;
    std::barrier warmedUp(kClients + 1);
    std::barrier measured(kClients + 1);

    auto run = [&](int index) {
        LinkClient::Options o;
        o.commandPort = host.commandPort();
        o.timeout = 30s;
        LinkClient c(managers[index / kClientsPerManager], o);
        if (!c.authenticate()) ++lost;
        for (int i = 0; i < kRequestsPerClient; ++i) {
            if (i == kRequestsPerClient / 5 || i == kRequestsPerClient * 3 / 5 || i == kRequestsPerClient - 1) {
                warmedUp.arrive_and_wait();
                measured.arrive_and_wait();
            }
            const int pick = (index + i) % 5;
            if (i % 2 == 0) {
                auto values = c.getConfiguration({kKeys[pick]});
                if (!values)
                    ++lost;
                else if (values->size() != 1 || !values->count(kKeys[pick]))
                    ++mismatched;
                else
                    ++answered;
            } else {
                auto names = c.subscribe({kResources[pick]}, i % 4 == 1);
                if (!names)
                    ++lost;
                else if (*names != std::vector<std::string>{kResources[pick]})
                    ++mismatched;
                else
                    ++answered;
            }
        }
    };
    std::vector<std::thread> threads;
    for (int i = 0; i < kClients; ++i) threads.emplace_back(run, i);
    warmedUp.arrive_and_wait();
    residentAfterWarmUp = residentBytes();
    measured.arrive_and_wait();
    warmedUp.arrive_and_wait();
    const size_t residentHalfway = residentBytes();
    measured.arrive_and_wait();
    warmedUp.arrive_and_wait();
    const size_t residentAtEnd = residentBytes();
    measured.arrive_and_wait();
    for (auto& t : threads) t.join();
    std::cout << "memory: " << residentAfterWarmUp / 1024 << " KiB after warm-up, " << residentHalfway / 1024
              << " KiB at 60%, " << residentAtEnd / 1024 << " KiB before the last request\n";

    EXPECT_EQ(lost.load(), 0);
    EXPECT_EQ(mismatched.load(), 0);
    EXPECT_EQ(answered.load(), kClients * kRequestsPerClient);
    EXPECT_EQ(host.clientCount(), static_cast<size_t>(kClients));
    // Every client ended unsubscribed from what it subscribed last (odd
    // rounds alternate), so the counts are bounded by the client number.
    for (const char* name : kResources) EXPECT_LE(host.resourceSubscribers(name), kClients);
    // Measured with every client waiting at the same point: four fifths of
    // the work after the warm-up may not grow memory by more than a small,
    // fixed amount.
    EXPECT_LT(residentAtEnd, residentAfterWarmUp + (48u << 20))
        << residentAfterWarmUp / 1024 << " KiB after warm-up, " << residentAtEnd / 1024 << " KiB at end";
}

}  // namespace
