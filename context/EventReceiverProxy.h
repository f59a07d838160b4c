#pragma once

#include <memory>
#include <tuple>
#include <type_traits>
#include <utility>

#include "context/EventReceiver.h"
#include "context/LockReducedCollection.h"

// The context's view of one listener interface: every receiver of that
// interface registered in the context (and in its child contexts).
class EventReceiverProxyBase {
public:
    virtual ~EventReceiverProxyBase() = default;
    virtual bool HasReceivers() const = 0;
    virtual void ReleaseReceivers() = 0;
    virtual void AddReceiver(const std::shared_ptr<EventReceiver>& receiver) = 0;
    virtual void RemoveReceiver(const std::shared_ptr<EventReceiver>& receiver) = 0;
};

// Reports an exception thrown by a receiver to the exception filters of the
// firing thread's current context; rethrows it when no filter handles it.
// Defined with the context.
void FilterFiredEventException(const EventReceiverProxyBase* proxy, const std::shared_ptr<EventReceiver>& receiver);

template <class T>
class EventReceiverProxy : public EventReceiverProxyBase {
public:
    bool HasReceivers() const override { return !m_receivers.Empty(); }

    void ReleaseReceivers() override {
        m_receivers.Clear();
        m_pools.Clear();
    }

    void AddReceiver(const std::shared_ptr<EventReceiver>& receiver) override {
        if (auto typed = std::dynamic_pointer_cast<T>(receiver)) {
            m_receivers.Insert(typed);
        } else if (auto pool = std::dynamic_pointer_cast<TransientPoolBase>(receiver)) {
            m_pools.Insert(pool);
        }
    }

    void RemoveReceiver(const std::shared_ptr<EventReceiver>& receiver) override {
        if (auto typed = std::dynamic_pointer_cast<T>(receiver)) {
            m_receivers.Erase(typed);
        } else if (auto pool = std::dynamic_pointer_cast<TransientPoolBase>(receiver)) {
            m_pools.Erase(pool);
        }
    }

    // Calls the operation on every receiver, synchronously, on this thread.
    // The arguments are copied once and passed to each receiver.
    template <class R, class... Params, class... Args>
    void Fire(R (T::*operation)(Params...), Args&&... args) const {
        FireImpl(operation, std::forward<Args>(args)...);
    }
    template <class R, class... Params, class... Args>
    void Fire(R (T::*operation)(Params...) const, Args&&... args) const {
        FireImpl(operation, std::forward<Args>(args)...);
    }

private:
    template <class Op, class... Args>
    void FireImpl(Op operation, Args&&... args) const {
        auto bound = std::make_tuple(std::decay_t<Args>(std::forward<Args>(args))...);
        // Taking a snapshot costs atomic operations on shared counters; a
        // collection that is empty (pools nearly always are) is skipped on
        // one load.
        if (!m_receivers.LooksEmpty()) {
            auto receivers = m_receivers.GetSnapshot();
            for (const auto& receiver : *receivers) {
                try {
                    std::apply([&](auto&... a) { ((*receiver).*operation)(a...); }, bound);
                } catch (...) {
                    FilterFiredEventException(this, receiver);
                }
            }
        }
        if (m_pools.LooksEmpty()) return;
        auto pools = m_pools.GetSnapshot();
        if (pools->empty()) return;
        auto event = [operation, bound](EventReceiver& target) {
            if (auto* typed = dynamic_cast<T*>(&target)) {
                auto copy = bound;
                std::apply([&](auto&... a) { (typed->*operation)(a...); }, copy);
            }
        };
        for (const auto& pool : *pools) pool->PushEvent(event);
    }

    LockReducedCollection<T> m_receivers;
    LockReducedCollection<TransientPoolBase> m_pools;
};
