#pragma once

#include <functional>

// Every listener interface derives virtually from this empty base so that a
// context can hand any member to the event proxies of its interfaces.
class EventReceiver {
public:
    virtual ~EventReceiver() = default;
};

// A receiver that collects events instead of handling them at once. The proxy
// hands it a callable that performs the event on a receiver it chooses.
class TransientPoolBase : public virtual EventReceiver {
public:
    using Event = std::function<void(EventReceiver&)>;

    virtual void PushEvent(const Event& event) = 0;
};
