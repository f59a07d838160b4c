// The link layer against raw ZeroMQ with the same payloads: request/reply
// round trips over TCP loopback (with and without the payload cipher) and
// publish/subscribe event throughput. Each side has a socket context of its
// own, as client and service do. Prints the ratios.

#include <benchmark/benchmark.h>
#include <zmq.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "bench/support/RatioReporter.h"
#include "links/LinkCipher.h"
#include "links/LinkEndpointRpc.h"
#include "links/LinkManager.h"

namespace {

using namespace std::chrono_literals;
using Tyvo::Message::Message;

// A log event whose serialised size is `size` bytes (for sizes above the
// envelope).
Message eventOfSize(size_t size) {
    Message m;
    m.set_type(Message::EVENT);
    m.mutable_event()->set_type(412);
    auto* log = m.mutable_event()->mutable_log();
    log->set_text(std::string(size, 'x'));
    while (m.ByteSizeLong() > size) log->mutable_text()->resize(log->text().size() - (m.ByteSizeLong() - size));
    return m;
}

// ---- request/reply ----------------------------------------------------

void BM_LinkRoundTrip(benchmark::State& state) {
    const size_t size = static_cast<size_t>(state.range(0));
    const bool cipher = state.range(1) != 0;
    auto service = std::make_shared<LinkManager>();
    auto client = std::make_shared<LinkManager>();
    service->setCipherEnabled(cipher);
    client->setCipherEnabled(cipher);
    service->declare("RR", LinkPattern::RequestReply, LinkTransport::Tcp, 0, "");
    LinkEndpointRpc reply(service->open("RR", LinkKind::Reply));
    client->declare("RR", LinkPattern::RequestReply, LinkTransport::Tcp, service->declaration("RR")->port, "");
    LinkEndpointRpc request(client->open("RR", LinkKind::Request));

    std::atomic<bool> stop{false};
    std::thread echo([&] {
        Message m;
        while (!stop.load(std::memory_order_relaxed)) {
            if (reply.readMessage(m, 50ms)) reply.writeMessage(m);
        }
    });
    const Message sent = eventOfSize(size);
    Message got;
    for (auto _ : state) {
        request.writeMessage(sent);
        if (!request.readMessage(got, 5000ms)) {
            state.SkipWithError("no answer");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size * 2));
    stop = true;
    echo.join();
}

struct RawContext {
    void* context = zmq_ctx_new();
    ~RawContext() { zmq_ctx_term(context); }
};

int boundPort(void* socket) {
    char endpoint[128] = {};
    size_t n = sizeof(endpoint) - 1;
    zmq_getsockopt(socket, ZMQ_LAST_ENDPOINT, endpoint, &n);
    return std::atoi(std::strrchr(endpoint, ':') + 1);
}

void BM_RawRoundTrip(benchmark::State& state) {
    const size_t size = static_cast<size_t>(state.range(0));
    RawContext serviceContext, clientContext;
    void* rep = zmq_socket(serviceContext.context, ZMQ_REP);
    int timeout = 50, linger = 0;
    zmq_setsockopt(rep, ZMQ_RCVTIMEO, &timeout, sizeof(timeout));
    zmq_setsockopt(rep, ZMQ_LINGER, &linger, sizeof(linger));
    zmq_bind(rep, "tcp://127.0.0.1:*");
    void* req = zmq_socket(clientContext.context, ZMQ_REQ);
    zmq_setsockopt(req, ZMQ_LINGER, &linger, sizeof(linger));
    zmq_connect(req, ("tcp://localhost:" + std::to_string(boundPort(rep))).c_str());

    std::atomic<bool> stop{false};
    std::thread echo([&] {
        zmq_msg_t m;
        zmq_msg_init(&m);
        while (!stop.load(std::memory_order_relaxed)) {
            if (zmq_msg_recv(&m, rep, 0) >= 0) zmq_msg_send(&m, rep, 0);
        }
        zmq_msg_close(&m);
        zmq_close(rep);
    });
    // The same bytes a caller would have in hand, sent and received whole.
    std::string payload(size, 'x');
    std::string answer(size, '\0');
    for (auto _ : state) {
        zmq_send(req, payload.data(), payload.size(), 0);
        zmq_msg_t m;
        zmq_msg_init(&m);
        zmq_msg_recv(&m, req, 0);
        std::memcpy(answer.data(), zmq_msg_data(&m), std::min(size, zmq_msg_size(&m)));
        zmq_msg_close(&m);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size * 2));
    stop = true;
    echo.join();
    zmq_close(req);
}

// ---- publish/subscribe ------------------------------------------------

constexpr int kBatch = 1000;  // below the send high-water mark: nothing is dropped

// Counts what a subscriber thread has taken, for the publisher to wait on.
// The publisher is woken once, when its target is reached, not for every
// event: a wake-up per event would cost the subscriber more than the event.
class Received {
public:
    void add() {
        std::lock_guard<std::mutex> lock(m_lock);
        if (++m_count == m_target) m_changed.notify_one();
    }
    bool waitFor(long target) {
        std::unique_lock<std::mutex> lock(m_lock);
        m_target = target;
        return m_changed.wait_for(lock, 10s, [&] { return m_count >= target; });
    }

private:
    std::mutex m_lock;
    std::condition_variable m_changed;
    long m_count = 0;
    long m_target = 0;
};

void BM_LinkPublish(benchmark::State& state) {
    const size_t size = static_cast<size_t>(state.range(0));
    const bool cipher = state.range(1) != 0;
    auto service = std::make_shared<LinkManager>();
    auto client = std::make_shared<LinkManager>();
    service->setCipherEnabled(cipher);
    client->setCipherEnabled(cipher);
    service->declare("Events", LinkPattern::PublishSubscribe, LinkTransport::Tcp, 0, "");
    LinkEndpointRpc publisher(service->open("Events", LinkKind::Publisher));
    client->declare("Events", LinkPattern::PublishSubscribe, LinkTransport::Tcp, service->declaration("Events")->port,
                    "");
    LinkEndpointRpc subscriber(client->open("Events", LinkKind::Subscriber));

    const Message sent = eventOfSize(size);
    Received received;
    std::atomic<bool> stop{false};
    std::thread reader([&] {
        Message m;
        while (!stop.load(std::memory_order_relaxed)) {
            if (subscriber.readMessage(m, 50ms) && m.has_type()) received.add();
        }
    });
    // The subscription takes a moment to reach the publisher.
    long expected = 0;
    do {
        publisher.writeMessage(sent);
        ++expected;
    } while (!received.waitFor(1) && expected < 100);
    std::this_thread::sleep_for(100ms);
    long target = 0;
    for (auto _ : state) {
        for (int i = 0; i < kBatch; ++i) publisher.writeMessage(sent);
        target += kBatch;
        // Warm-up events may still be arriving: count from what came.
        if (!received.waitFor(target)) {
            state.SkipWithError("events lost");
            break;
        }
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kBatch));
    stop = true;
    reader.join();
}

void BM_RawPublish(benchmark::State& state) {
    const size_t size = static_cast<size_t>(state.range(0));
    RawContext serviceContext, clientContext;
    void* pub = zmq_socket(serviceContext.context, ZMQ_PUB);
    int hwm = 5000, linger = 0, timeout = 50;
    zmq_setsockopt(pub, ZMQ_SNDHWM, &hwm, sizeof(hwm));
    zmq_setsockopt(pub, ZMQ_LINGER, &linger, sizeof(linger));
    zmq_bind(pub, "tcp://127.0.0.1:*");
    void* sub = zmq_socket(clientContext.context, ZMQ_SUB);
    zmq_setsockopt(sub, ZMQ_SUBSCRIBE, "", 0);
    zmq_setsockopt(sub, ZMQ_RCVTIMEO, &timeout, sizeof(timeout));
    zmq_setsockopt(sub, ZMQ_LINGER, &linger, sizeof(linger));
    zmq_connect(sub, ("tcp://localhost:" + std::to_string(boundPort(pub))).c_str());

    std::string payload(size, 'x');
    Received received;
    std::atomic<bool> stop{false};
    std::thread reader([&] {
        std::string buffer(size, '\0');
        while (!stop.load(std::memory_order_relaxed)) {
            zmq_msg_t m;
            zmq_msg_init(&m);
            if (zmq_msg_recv(&m, sub, 0) >= 0) {
                std::memcpy(buffer.data(), zmq_msg_data(&m), std::min(size, zmq_msg_size(&m)));
                received.add();
            }
            zmq_msg_close(&m);
        }
        zmq_close(sub);
    });
    long expected = 0;
    do {
        zmq_send(pub, payload.data(), payload.size(), 0);
        ++expected;
    } while (!received.waitFor(1) && expected < 100);
    std::this_thread::sleep_for(100ms);
    long target = 0;
    for (auto _ : state) {
        for (int i = 0; i < kBatch; ++i) zmq_send(pub, payload.data(), payload.size(), 0);
        target += kBatch;
        if (!received.waitFor(target)) {
            state.SkipWithError("events lost");
            break;
        }
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kBatch));
    stop = true;
    reader.join();
    zmq_close(pub);
}

// The cipher alone on one full part: the floor under every enciphered
// figure above (a round trip enciphers and deciphers each byte twice).
void BM_CipherPart(benchmark::State& state) {
    const LinkCipher cipher;
    std::string part(static_cast<size_t>(state.range(0)), 'x');
    std::string out(part.size(), '\0');
    for (auto _ : state) {
        cipher.encipher(part.data(), out.data(), part.size());
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * part.size()));
}
BENCHMARK(BM_CipherPart)->Arg(64)->Arg(131072);

const int64_t kSizes[] = {64, 4096, 300000};

void RoundTripArgs(benchmark::internal::Benchmark* b) {
    for (int64_t size : kSizes) b->Args({size, 1})->Args({size, 0});
}
void RawArgs(benchmark::internal::Benchmark* b) {
    for (int64_t size : kSizes) b->Args({size});
}
void PublishArgs(benchmark::internal::Benchmark* b) {
    for (int64_t size : {int64_t{64}, int64_t{4096}}) b->Args({size, 1})->Args({size, 0});
}
void RawPublishArgs(benchmark::internal::Benchmark* b) {
    for (int64_t size : {int64_t{64}, int64_t{4096}}) b->Args({size});
}

// Two threads and two socket contexts per figure: short runs are dominated
// by scheduling noise, so each figure gets a full second.
BENCHMARK(BM_LinkRoundTrip)->Apply(RoundTripArgs)->UseRealTime()->MinTime(1.0);
BENCHMARK(BM_RawRoundTrip)->Apply(RawArgs)->UseRealTime()->MinTime(1.0);
BENCHMARK(BM_LinkPublish)->Apply(PublishArgs)->UseRealTime()->MinTime(1.0);
BENCHMARK(BM_RawPublish)->Apply(RawPublishArgs)->UseRealTime()->MinTime(1.0);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchsupport::RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);

    // The names the library gives the figures measured as registered below.
    const std::string kSuffix = "/min_time:1.000/real_time";
    std::vector<std::pair<std::string, std::string>> latency;
    for (int64_t size : kSizes) {
        const std::string raw = "BM_RawRoundTrip/" + std::to_string(size) + kSuffix;
        latency.emplace_back("BM_LinkRoundTrip/" + std::to_string(size) + "/1" + kSuffix, raw);
        latency.emplace_back("BM_LinkRoundTrip/" + std::to_string(size) + "/0" + kSuffix, raw);
    }
    reporter.PrintRatios(latency, "Round-trip latency, links / raw ZeroMQ (goal with cipher: at most 1.2):");

    std::printf("\nEvent throughput, links / raw ZeroMQ (goal with cipher: at least 0.8):\n");
    for (int64_t size : {int64_t{64}, int64_t{4096}}) {
        const std::string raw = "BM_RawPublish/" + std::to_string(size) + kSuffix;
        for (int cipher : {1, 0}) {
            const std::string ours = "BM_LinkPublish/" + std::to_string(size) + "/" + std::to_string(cipher) + kSuffix;
            double a = 0, b = 0;
            if (reporter.Time(ours, &a) && reporter.Time(raw, &b) && a > 0) {
                std::printf("  %-40s / %-40s = %6.2f\n", ours.c_str(), raw.c_str(), b / a);
            } else {
                std::printf("  %-40s / %-40s : not measured\n", ours.c_str(), raw.c_str());
            }
        }
    }
    benchmark::Shutdown();
    return 0;
}
