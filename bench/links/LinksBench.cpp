// The link layer against raw ZeroMQ with the same payloads: request/reply
// round trips over TCP loopback (with and without the payload cipher) and
// publish/subscribe event throughput. Each side has a socket context of its
// own, as client and service do. Prints the ratios.

#include <benchmark/benchmark.h>
#include <zmq.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/blowfish.h>

#include "bench/support/RatioReporter.h"
#include "links/LinkCipher.h"
#include "links/LinkEndpointRpc.h"
#include "links/LinkManager.h"

namespace {

using namespace std::chrono_literals;
using Tyvo::Message::Message;

// The links send a message in parts of this size, each enciphered alone.
constexpr size_t kPart = 131072;

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

constexpr int kBatch = 1000;
// Events in flight at most, on both sides alike: a publisher that runs ahead
// of its subscriber by more than the queues hold drops events, which would
// measure the drop rather than the delivery. Well below the high-water marks
// on the link's way (send 5000, receive 1000 by default).
constexpr long kWindow = 256;

// Counts what a subscriber thread has taken, for the publisher to wait on.
// The publisher is woken once, when its target is reached, not for every
// event: a wake-up per event would cost the subscriber more than the event.
class Received {
public:
    void add() {
        std::lock_guard<std::mutex> lock(m_lock);
        if (++m_count == m_target) m_changed.notify_one();
    }
    bool waitFor(long target, std::chrono::milliseconds limit = 10s) {
        std::unique_lock<std::mutex> lock(m_lock);
        m_target = target;
        return m_changed.wait_for(lock, limit, [&] { return m_count >= target; });
    }
    long count() {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_count;
    }

private:
    std::mutex m_lock;
    std::condition_variable m_changed;
    long m_count = 0;
    long m_target = 0;
};

// Sends until the subscription has reached the publisher (events published
// before that are dropped by design), lets the warm-up events drain, and
// returns the count to measure from.
template <class Send>
long warmUp(Send send, Received& received) {
    for (int attempt = 0; attempt < 200; ++attempt) {
        send();
        if (received.waitFor(1, 50ms)) break;
    }
    std::this_thread::sleep_for(200ms);
    return received.count();
}

// Publishes the batches, never more than kWindow events ahead of the
// subscriber. False when events went missing.
template <class Send>
bool publishBatch(Send send, Received& received, long& sent) {
    for (int i = 0; i < kBatch; ++i) {
        if (i % (kWindow / 2) == 0 && !received.waitFor(sent - kWindow / 2)) return false;
        send();
        ++sent;
    }
    return received.waitFor(sent);
}

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
    auto send = [&] { publisher.writeMessage(sent); };
    long count = warmUp(send, received);
    for (auto _ : state) {
        if (!publishBatch(send, received, count)) {
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
    // No high-water mark on either socket: with the link's 5000 the raw
    // publisher still dropped a few events now and then, with no more than
    // kWindow in flight, since a sender in a tight loop learns how far its
    // queue has drained only when it next handles the socket's commands.
    // Lifting the mark costs no speed (a publisher never waits on it); it
    // only keeps the peer from measuring a drop.
    int hwm = 0, linger = 0, timeout = 50;
    zmq_setsockopt(pub, ZMQ_SNDHWM, &hwm, sizeof(hwm));
    zmq_setsockopt(pub, ZMQ_LINGER, &linger, sizeof(linger));
    zmq_bind(pub, "tcp://127.0.0.1:*");
    void* sub = zmq_socket(clientContext.context, ZMQ_SUB);
    zmq_setsockopt(sub, ZMQ_SUBSCRIBE, "", 0);
    zmq_setsockopt(sub, ZMQ_RCVHWM, &hwm, sizeof(hwm));
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
    auto send = [&] { zmq_send(pub, payload.data(), payload.size(), 0); };
    long count = warmUp(send, received);
    for (auto _ : state) {
        if (!publishBatch(send, received, count)) {
            state.SkipWithError("events lost");
            break;
        }
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kBatch));
    stop = true;
    reader.join();
    zmq_close(pub);
}

// The cipher's own work on the bytes of one message, as the links do it:
// enciphered and deciphered once, part by part (each part from a zero
// vector). A round trip does this twice, an event once.
void BM_CipherBoth(benchmark::State& state) {
    const LinkCipher cipher;
    std::string bytes(static_cast<size_t>(state.range(0)), 'x');
    std::string wire(bytes.size(), '\0');
    for (auto _ : state) {
        for (size_t at = 0; at < bytes.size(); at += kPart) {
            const size_t n = std::min(kPart, bytes.size() - at);
            cipher.encipher(bytes.data() + at, wire.data() + at, n);
            cipher.decipher(wire.data() + at, wire.data() + at, n);
        }
        benchmark::DoNotOptimize(wire.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size() * 2));
}

// The same with OpenSSL's Blowfish CFB64 called directly, with the same key:
// what the cipher cannot beat one block at a time.
void BM_OpenSslBlowfishBoth(benchmark::State& state) {
    const auto linkKey = LinkCipher::linkKey();
    BF_KEY key;
    BF_set_key(&key, static_cast<int>(linkKey.size()), linkKey.data());
    std::string bytes(static_cast<size_t>(state.range(0)), 'x');
    std::string wire(bytes.size(), '\0');
    auto* plain = reinterpret_cast<const unsigned char*>(bytes.data());
    auto* enciphered = reinterpret_cast<unsigned char*>(wire.data());
    for (auto _ : state) {
        for (size_t at = 0; at < bytes.size(); at += kPart) {
            const long n = static_cast<long>(std::min(kPart, bytes.size() - at));
            unsigned char vector[8] = {};
            int position = 0;
            BF_cfb64_encrypt(plain + at, enciphered + at, n, &key, vector, &position, BF_ENCRYPT);
            std::memset(vector, 0, sizeof vector);
            position = 0;
            BF_cfb64_encrypt(enciphered + at, enciphered + at, n, &key, vector, &position, BF_DECRYPT);
        }
        benchmark::DoNotOptimize(wire.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size() * 2));
}

// Each direction alone, ours and OpenSSL's, on one full part: deciphering
// works on groups of blocks, enciphering cannot.
void BM_CipherOneWay(benchmark::State& state) {
    const LinkCipher cipher;
    const bool encipher = state.range(1) != 0;
    std::string part(static_cast<size_t>(state.range(0)), 'x');
    std::string out(part.size(), '\0');
    for (auto _ : state) {
        if (encipher) {
            cipher.encipher(part.data(), out.data(), part.size());
        } else {
            cipher.decipher(part.data(), out.data(), part.size());
        }
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * part.size()));
}

void BM_OpenSslBlowfishOneWay(benchmark::State& state) {
    const auto linkKey = LinkCipher::linkKey();
    BF_KEY key;
    BF_set_key(&key, static_cast<int>(linkKey.size()), linkKey.data());
    const int direction = state.range(1) != 0 ? BF_ENCRYPT : BF_DECRYPT;
    std::string part(static_cast<size_t>(state.range(0)), 'x');
    std::string out(part.size(), '\0');
    for (auto _ : state) {
        unsigned char vector[8] = {};
        int position = 0;
        BF_cfb64_encrypt(reinterpret_cast<const unsigned char*>(part.data()),
                         reinterpret_cast<unsigned char*>(out.data()), static_cast<long>(part.size()), &key, vector,
                         &position, direction);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * part.size()));
}

const int64_t kSizes[] = {64, 4096, 300000};

void CipherArgs(benchmark::internal::Benchmark* b) {
    for (int64_t size : kSizes) b->Args({size});
}
void OneWayArgs(benchmark::internal::Benchmark* b) {
    for (int64_t size : {int64_t{64}, int64_t{131072}}) b->Args({size, 1})->Args({size, 0});
}
BENCHMARK(BM_CipherBoth)->Apply(CipherArgs);
BENCHMARK(BM_OpenSslBlowfishBoth)->Apply(CipherArgs);
BENCHMARK(BM_CipherOneWay)->Apply(OneWayArgs);
BENCHMARK(BM_OpenSslBlowfishOneWay)->Apply(OneWayArgs);

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
    reporter.PrintRatios(latency, "Round-trip latency, links / raw ZeroMQ:");

    std::vector<std::pair<std::string, std::string>> cipher;
    for (int64_t size : kSizes) {
        cipher.emplace_back("BM_CipherBoth/" + std::to_string(size), "BM_OpenSslBlowfishBoth/" + std::to_string(size));
    }
    for (const char* direction : {"/1", "/0"}) {
        for (const char* size : {"64", "131072"}) {
            cipher.emplace_back(std::string("BM_CipherOneWay/") + size + direction,
                                std::string("BM_OpenSslBlowfishOneWay/") + size + direction);
        }
    }
    reporter.PrintRatios(cipher, "Cipher, ours / OpenSSL's CFB64, CPU time (one way: /1 encipher, /0 decipher):", true);

    std::printf("\nEvent throughput, links / raw ZeroMQ (events per second):\n");
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
