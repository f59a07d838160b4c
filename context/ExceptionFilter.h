#pragma once

#include <functional>
#include <memory>

class EventReceiver;
class EventReceiverProxyBase;

// Rethrows the exception that is in flight when the filter is called.
using Rethrower = std::function<void()>;

// A member that wants to see exceptions that escape a context thread or an
// event receiver. A filter that returns normally has handled the exception;
// one that lets it propagate (for instance by calling the rethrower) has not.
class ExceptionFilter {
public:
    virtual ~ExceptionFilter() = default;

    virtual void OnEventException(const Rethrower& rethrower, const EventReceiverProxyBase* proxy,
                                  const std::shared_ptr<EventReceiver>& receiver) {
        (void)rethrower;
        (void)proxy;
        (void)receiver;
    }

    virtual void OnThreadException(const Rethrower& rethrower) { (void)rethrower; }
};
