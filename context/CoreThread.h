#pragma once

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "context/ContextMember.h"
#include "context/DispatchQueue.h"

class CoreContext;

// A context member with an operating-system thread and a dispatch queue of
// its own. The context starts it when the context is initiated (or at once
// when it joins an initiated context) and stops it when the context loses its
// last initiation. The thread runs Run() with its context current.
class CoreThread : public ContextMember, public DispatchQueue {
public:
    explicit CoreThread(const char* name = nullptr);
    ~CoreThread() override;

    // Starts the thread unless it runs already; false when the context is
    // gone. Called by the context.
    bool Start();

    // The thread body. By default: accept calls and dispatch them until
    // asked to stop.
    virtual void Run();

    // Called by Stop on the stopping caller's thread.
    virtual void OnStop() {}

    // A graceful stop runs every call queued before it, then ends the loop;
    // a non-graceful stop drops the pending calls at once.
    virtual void Stop(bool graceful);

    bool WaitUntilCanAccept() override;
    bool CanAccept() const override;

    // True once a stop was requested, the context is gone, or the context is
    // shutting down.
    bool ShouldStop() const;

    bool IsRunning() const;
    bool IsCompleted() const;

    // Waits until the thread body has ended (returns at once when it never
    // started).
    void WaitForCompletion();

    // Marks the object fully built; the thread does not call Run() before.
    // Every thread class calls it at the end of its constructor.
    void Ready();

protected:
    // Sets whether Enqueue accepts calls and wakes waiters.
    void SetCanAccept(bool canAccept);

    // The default loop's own test, asked between two calls of a batch.
    bool StopBetweenCalls() const override;

    // Waits on the thread's condition for at most the given time or until
    // ShouldStop(); returns ShouldStop().
    template <class Duration>
    bool WaitForStop(Duration timeout) {
        std::unique_lock<std::mutex> lock(m_threadLock);
        m_stateCondition.wait_for(lock, timeout, [this] { return ShouldStop(); });
        return ShouldStop();
    }

private:
    class ThreadStatusMaintainer;
    void ThreadBody(const std::shared_ptr<CoreContext>& context);

    std::atomic<bool> m_stopRequested{false};  // set once, never cleared
    // The running thread and its context (alive while the body runs).
    std::atomic<std::thread::id> m_threadId{};
    CoreContext* m_runContext = nullptr;
    // Set by a graceful stop: the default loop keeps dispatching until the
    // final call of the stop has run, although a stop was requested.
    std::atomic<bool> m_draining{false};

    mutable std::mutex m_threadLock;  // guards the flags below and the condition
    mutable std::condition_variable m_stateCondition;
    bool m_ready = false;
    bool m_running = false;
    bool m_completed = false;
    // Read by Enqueue under the queue's lock, so it is an atomic rather than
    // a flag under the thread lock (the two locks are never nested).
    std::atomic<bool> m_canAccept{false};
};
