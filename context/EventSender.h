#pragma once

#include <memory>
#include <utility>

#include "context/CoreContext.h"

// Fires events of interface T through the proxy of the context that was
// current when the sender was made (usually inside a component's
// constructor). Every receiver of T in that context and below is called,
// synchronously, on the firing thread.
template <class T>
class EventSender {
public:
    EventSender() : m_proxy(CoreContext::Current()->ProxyFor<T>()) {}
    explicit EventSender(const std::shared_ptr<CoreContext>& context) : m_proxy(context->ProxyFor<T>()) {}

    template <class Op, class... Args>
    void Fire(Op operation, Args&&... args) const {
        m_proxy->Fire(operation, std::forward<Args>(args)...);
    }

    bool HasReceivers() const { return m_proxy->HasReceivers(); }

    const std::shared_ptr<EventReceiverProxy<T>>& Proxy() const { return m_proxy; }

private:
    std::shared_ptr<EventReceiverProxy<T>> m_proxy;
};
