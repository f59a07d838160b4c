#include "context/CoreThread.h"

#include <iostream>
#include <thread>

#include "context/CoreContext.h"
#include "context/ThreadName.h"

// What the new thread runs: the thread object, its context and the
// context's outstanding-thread tracker, all held for as long as the thread
// runs, so that none of them is destroyed under it.
class CoreThread::ThreadStatusMaintainer {
public:
    ThreadStatusMaintainer(std::shared_ptr<CoreThread> thread, std::shared_ptr<CoreContext> context)
        : m_thread(std::move(thread)),
          m_context(std::move(context)),
          m_tracker(m_context->IncrementOutstandingThreadCount()) {}

    void operator()() { m_thread->ThreadBody(m_context); }

private:
    std::shared_ptr<CoreThread> m_thread;
    std::shared_ptr<CoreContext> m_context;
    std::shared_ptr<OutstandingCountTracker> m_tracker;
};

CoreThread::CoreThread(const char* name) : ContextMember(name) {}

CoreThread::~CoreThread() = default;

bool CoreThread::Start() {
    auto context = GetContext();
    if (!context) return false;
    auto self = GetSelf<CoreThread>();
    if (!self) return false;
    {
        std::lock_guard<std::mutex> lock(m_threadLock);
        if (m_running) return true;
        m_running = true;
        m_stateCondition.notify_all();
    }
    // The new thread holds the only reference to the maintainer: if the
    // caller kept one, a thread that ends at once could leave the caller
    // dropping the context's last tracker while it holds the context's lock.
    auto maintainer = std::make_unique<ThreadStatusMaintainer>(std::move(self), std::move(context));
    std::thread([maintainer = std::move(maintainer)]() mutable {
        (*maintainer)();
        // Dropping the maintainer is the last thing this thread does: it may
        // destroy the thread object and its context.
        maintainer.reset();
    }).detach();
    return true;
}

void CoreThread::ThreadBody(const std::shared_ptr<CoreContext>& context) {
    {
        CurrentContextScope scope(context);
        m_runContext = context.get();
        m_threadId.store(std::this_thread::get_id(), std::memory_order_release);
        SetCurrentThreadName(GetName());
        {
            std::unique_lock<std::mutex> lock(m_threadLock);
            m_stateCondition.wait(lock, [this] { return m_ready || ShouldStop(); });
        }
        try {
            Run();
        } catch (const dispatch_aborted_exception&) {
            // The queue was aborted by a stop: the normal way for the default
            // loop to end.
        } catch (...) {
            try {
                context->FilterThreadException();
            } catch (...) {
                try {
                    throw;
                } catch (const std::exception& e) {
                    std::cerr << e.what() << std::endl;
                } catch (...) {
                    // Not a standard exception: nothing readable to print.
                }
            }
            context->ReleaseInitiation();
        }
        SetCanAccept(false);
        m_threadId.store(std::thread::id(), std::memory_order_release);
        {
            std::lock_guard<std::mutex> lock(m_threadLock);
            m_running = false;
            m_completed = true;
            m_stateCondition.notify_all();
        }
    }
}

void CoreThread::Run() {
    SetCanAccept(true);
    // A graceful stop requests the stop first and queues its final call
    // last; the calls in between must still run, so the loop only leaves on
    // a stop request once the queue has been aborted by that final call
    // (WaitAndDispatch then throws dispatch_aborted_exception).
    while (!StopBetweenCalls()) WaitAndDispatchBatch();
}

bool CoreThread::StopBetweenCalls() const {
    // A stop of the context or a non-graceful stop ends the loop before the
    // next call, even in the middle of a batch; those calls stay queued and
    // are deleted when the queue is aborted.
    return ShouldStop() && !m_draining.load(std::memory_order_acquire);
}

void CoreThread::Stop(bool graceful) {
    // Draining is announced before the stop request, so that the loop never
    // sees the request without it.
    if (graceful) m_draining.store(true, std::memory_order_release);
    m_stopRequested.store(true, std::memory_order_release);
    OnStop();
    if (graceful) {
        SetCanAccept(false);
        // Everything queued before this call still runs first.
        EnqueueForced([this] { Abort(); });
    } else {
        m_draining.store(false, std::memory_order_release);
        Abort();
        std::lock_guard<std::mutex> lock(m_threadLock);
        m_stateCondition.notify_all();
    }
}

bool CoreThread::WaitUntilCanAccept() {
    std::unique_lock<std::mutex> lock(m_threadLock);
    m_stateCondition.wait(lock, [this] { return m_canAccept.load() || ShouldStop(); });
    return ShouldStop();
}

bool CoreThread::CanAccept() const { return m_canAccept.load(std::memory_order_acquire); }

bool CoreThread::ShouldStop() const {
    if (m_stopRequested.load(std::memory_order_acquire)) return true;
    // On the thread itself the context is held alive by the thread body, so
    // the check costs no lock; it runs between every two dispatched calls.
    if (std::this_thread::get_id() == m_threadId.load(std::memory_order_acquire)) {
        return m_runContext->IsStopping();
    }
    auto context = GetContext();
    return !context || context->IsStopping();
}

bool CoreThread::IsRunning() const {
    std::lock_guard<std::mutex> lock(m_threadLock);
    return m_running;
}

bool CoreThread::IsCompleted() const {
    std::lock_guard<std::mutex> lock(m_threadLock);
    return m_completed;
}

void CoreThread::WaitForCompletion() {
    std::unique_lock<std::mutex> lock(m_threadLock);
    m_stateCondition.wait(lock, [this] { return !m_running; });
}

void CoreThread::Ready() {
    std::lock_guard<std::mutex> lock(m_threadLock);
    m_ready = true;
    m_stateCondition.notify_all();
}

void CoreThread::SetCanAccept(bool canAccept) {
    std::lock_guard<std::mutex> lock(m_threadLock);
    m_canAccept.store(canAccept, std::memory_order_release);
    m_stateCondition.notify_all();
}
