#pragma once

#include <functional>
#include <list>
#include <mutex>

// Keeps callables to run when the owner goes away, in the order they were
// added. Contexts use it to forget keyed children and to rescan for devices
// once a failed device context is gone; listeners may be added from any
// thread, so the list has a lock of its own.
class TeardownNotifier {
public:
    using Listener = std::function<void()>;

    virtual ~TeardownNotifier() = default;

    void OnTeardown(Listener listener) {
        std::lock_guard<std::mutex> lock(m_teardownLock);
        m_teardownListeners.push_back(std::move(listener));
    }

protected:
    // Runs and drops every listener, outside the lock. Called by the owner's
    // destructor.
    void NotifyTeardownListeners() {
        std::list<Listener> listeners;
        {
            std::lock_guard<std::mutex> lock(m_teardownLock);
            listeners.swap(m_teardownListeners);
        }
        for (auto& listener : listeners) listener();
    }

private:
    std::mutex m_teardownLock;
    std::list<Listener> m_teardownListeners;
};
