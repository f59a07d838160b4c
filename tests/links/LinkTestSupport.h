#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "links/LinkEndpoint.h"
#include "links/LinkManager.h"

namespace linktest {

using namespace std::chrono_literals;

inline std::shared_ptr<LinkManager> makeManager(bool cipher = true) {
    auto manager = std::make_shared<LinkManager>();
    manager->setCipherEnabled(cipher);
    return manager;
}

// Receives one whole socket message as its list of parts (waiting at most
// `wait` for the first).
inline std::vector<std::string> receiveParts(LinkEndpoint& endpoint, std::chrono::milliseconds wait = 2000ms) {
    std::vector<std::string> parts;
    std::vector<char> buffer(1 << 20);
    bool more = true;
    bool first = true;
    while (more) {
        int n = endpoint.receive(buffer.data(), buffer.size(), first ? wait : 2000ms, more);
        if (n < 0) break;
        parts.emplace_back(buffer.data(), static_cast<size_t>(std::min<int>(n, buffer.size())));
        first = false;
    }
    return parts;
}

// A subscriber only sees what is published after its connection is up:
// publish until the subscriber sees something, within a bound.
template <class Publish, class Poll>
bool publishUntilSeen(Publish publish, Poll poll, std::chrono::milliseconds bound = 5000ms) {
    auto end = std::chrono::steady_clock::now() + bound;
    while (std::chrono::steady_clock::now() < end) {
        publish();
        if (poll()) return true;
    }
    return false;
}

}  // namespace linktest
