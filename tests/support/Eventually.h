#pragma once
// Waits for a condition with a bound, so that a broken build fails instead of
// hanging.

#include <chrono>
#include <thread>

template <class Predicate>
bool Eventually(Predicate predicate, std::chrono::milliseconds bound = std::chrono::milliseconds(5000)) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    while (!predicate()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}
