#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <utility>

#include "context/EventReceiver.h"

// A queued call.
class DispatchThunkBase {
public:
    virtual ~DispatchThunkBase() = default;
    virtual void Invoke() = 0;
};

template <class F>
class DispatchThunk : public DispatchThunkBase {
public:
    explicit DispatchThunk(F&& f) : m_f(std::move(f)) {}
    void Invoke() override { m_f(); }

private:
    F m_f;
};

// Thrown by every wait or dispatch once the queue has been aborted.
class dispatch_aborted_exception : public std::exception {
public:
    const char* what() const noexcept override { return ""; }
};

// Something that runs queued calls.
class EventDispatcher {
public:
    virtual ~EventDispatcher() = default;
    virtual void WaitAndDispatch() = 0;
    virtual bool DispatchOne() = 0;
    virtual int DispatchAll() = 0;
};

// A queue of deferred calls. Any thread may enqueue; one thread (the owner)
// dispatches. The queue goes from open to aborted once and never back.
class DispatchQueue : public virtual EventReceiver, public EventDispatcher {
public:
    // Calls are accepted while fewer than this many are pending, and also
    // when exactly this many are: the queue holds at most cap + 1 calls.
    static constexpr size_t kDispatchCap = 1024;

    DispatchQueue() = default;
    ~DispatchQueue() override;

    DispatchQueue(const DispatchQueue&) = delete;
    DispatchQueue& operator=(const DispatchQueue&) = delete;

    // Waits until the owner accepts calls or is stopping; returns whether
    // it is stopping.
    virtual bool WaitUntilCanAccept() = 0;
    virtual bool CanAccept() const = 0;

    void WaitAndDispatch() override;
    bool DispatchOne() override;
    int DispatchAll() override;

    // Queues a call taking no arguments; dropped silently when the owner does
    // not accept calls or the queue is full.
    template <class F>
    void Enqueue(F&& f) {
        EnqueueThunk(std::make_unique<DispatchThunk<std::decay_t<F>>>(std::forward<F>(f)), false);
    }

    // Deletes every pending call without running it; every later wait or
    // dispatch throws dispatch_aborted_exception.
    void Abort();

    bool IsAborted() const;
    size_t GetDispatchQueueLength() const;

protected:
    // Like WaitAndDispatch, but takes every pending call at once and runs
    // them in order, so that a busy owner pays for the lock once per batch
    // rather than once per call. The calls of the batch not yet run still
    // count against the cap, so the queue never holds more than cap + 1
    // calls. Calls not yet run when the queue is aborted are deleted without
    // running; when StopBetweenCalls() says so, or a call throws, they go back
    // to the front of the queue, as if they had never been taken.
    void WaitAndDispatchBatch();

    // Asked before each call of a batch: true ends the batch there. The
    // owner says whether it has been asked to stop, so that a stop is seen
    // between any two calls, not only between batches.
    virtual bool StopBetweenCalls() const { return false; }

    // Appends without asking CanAccept or the cap (used for the final call
    // of a graceful stop).
    template <class F>
    void EnqueueForced(F&& f) {
        EnqueueThunk(std::make_unique<DispatchThunk<std::decay_t<F>>>(std::forward<F>(f)), true);
    }

private:
    void EnqueueThunk(std::unique_ptr<DispatchThunkBase> thunk, bool forced);
    // Runs the first thunk; called with the lock held, releases it.
    void DispatchFront(std::unique_lock<std::mutex>& lock);

    mutable std::mutex m_dispatchLock;
    std::condition_variable m_queueUpdated;
    std::deque<std::unique_ptr<DispatchThunkBase>> m_dispatchQueue;
    size_t m_count = 0;  // calls in m_dispatchQueue
    // Calls of the batch in hand that have not started yet. Only the owner
    // lowers it, without the lock and only after a call has left the batch,
    // so a reader under the lock never sees less than is really pending.
    std::atomic<size_t> m_inHand{0};
    size_t m_waiters = 0;  // threads waiting on m_queueUpdated
    bool m_aborted = false;
    std::atomic<bool> m_abortedFlag{false};  // m_aborted, readable without the lock
};
