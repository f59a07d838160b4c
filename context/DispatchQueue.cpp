#include "context/DispatchQueue.h"

DispatchQueue::~DispatchQueue() = default;

void DispatchQueue::EnqueueThunk(std::unique_ptr<DispatchThunkBase> thunk, bool forced) {
    bool wake = false;
    {
        std::lock_guard<std::mutex> lock(m_dispatchLock);
        if (!forced && (!CanAccept() || m_count + m_inHand.load(std::memory_order_acquire) > kDispatchCap)) {
            // A full queue, or an owner that does not accept calls, drops the
            // call without a report; it is deleted (below) outside the lock.
        } else {
            m_dispatchQueue.push_back(std::move(thunk));
            ++m_count;
            wake = m_waiters > 0;
        }
    }
    // Waking only when somebody waits, and after the lock is released, keeps
    // the common case (a busy dispatcher) free of system calls.
    if (wake) m_queueUpdated.notify_all();
}

void DispatchQueue::DispatchFront(std::unique_lock<std::mutex>& lock) {
    std::unique_ptr<DispatchThunkBase> thunk = std::move(m_dispatchQueue.front());
    m_dispatchQueue.pop_front();
    const bool drained = --m_count == 0;
    lock.unlock();
    // The thunk is already off the queue: if it throws, it is still deleted
    // and the exception goes to the owning thread.
    thunk->Invoke();
    thunk.reset();
    if (drained) {
        lock.lock();
        const bool wake = m_waiters > 0;
        lock.unlock();
        if (wake) m_queueUpdated.notify_all();
    }
}

void DispatchQueue::WaitAndDispatch() {
    std::unique_lock<std::mutex> lock(m_dispatchLock);
    if (m_aborted) throw dispatch_aborted_exception();
    ++m_waiters;
    m_queueUpdated.wait(lock, [this] { return m_aborted || !m_dispatchQueue.empty(); });
    --m_waiters;
    if (m_aborted) throw dispatch_aborted_exception();
    DispatchFront(lock);
}

void DispatchQueue::WaitAndDispatchBatch() {
    std::deque<std::unique_ptr<DispatchThunkBase>> batch;
    {
        std::unique_lock<std::mutex> lock(m_dispatchLock);
        if (m_aborted) throw dispatch_aborted_exception();
        ++m_waiters;
        m_queueUpdated.wait(lock, [this] { return m_aborted || !m_dispatchQueue.empty(); });
        --m_waiters;
        if (m_aborted) throw dispatch_aborted_exception();
        batch.swap(m_dispatchQueue);
        m_inHand.store(batch.size(), std::memory_order_release);
        m_count = 0;
    }

    // Whatever is left of the batch when it ends early (a stop between two
    // calls, a call that throws) goes back to the front of the queue, unless
    // the queue has been aborted meanwhile: then it is deleted unrun, outside
    // the lock.
    struct Remainder {
        DispatchQueue& queue;
        std::deque<std::unique_ptr<DispatchThunkBase>>& batch;
        ~Remainder() {
            std::unique_lock<std::mutex> lock(queue.m_dispatchLock);
            queue.m_inHand.store(0, std::memory_order_release);
            if (!queue.m_aborted && !batch.empty()) {
                queue.m_count += batch.size();
                queue.m_dispatchQueue.insert(queue.m_dispatchQueue.begin(), std::make_move_iterator(batch.begin()),
                                             std::make_move_iterator(batch.end()));
                batch.clear();
            }
            const bool wake = queue.m_waiters > 0 && queue.m_count == 0;
            lock.unlock();
            if (wake) queue.m_queueUpdated.notify_all();
        }
    } remainder{*this, batch};

    while (!batch.empty()) {
        // An abort while the batch runs still deletes the calls that have
        // not run yet, as it would had they stayed in the queue.
        if (m_abortedFlag.load(std::memory_order_acquire)) break;
        if (StopBetweenCalls()) break;
        // Off the batch before it runs, as a single dispatch takes it off the
        // queue: the running call no longer counts against the cap.
        auto call = std::move(batch.front());
        batch.pop_front();
        m_inHand.fetch_sub(1, std::memory_order_acq_rel);
        call->Invoke();
    }
}

bool DispatchQueue::DispatchOne() {
    std::unique_lock<std::mutex> lock(m_dispatchLock);
    if (m_aborted) throw dispatch_aborted_exception();
    if (m_dispatchQueue.empty()) return false;
    DispatchFront(lock);
    return true;
}

int DispatchQueue::DispatchAll() {
    int count = 0;
    while (DispatchOne()) ++count;
    return count;
}

void DispatchQueue::Abort() {
    std::deque<std::unique_ptr<DispatchThunkBase>> pending;
    {
        std::lock_guard<std::mutex> lock(m_dispatchLock);
        m_aborted = true;
        m_abortedFlag.store(true, std::memory_order_release);
        pending.swap(m_dispatchQueue);
        m_count = 0;
        m_queueUpdated.notify_all();
    }
    // Pending calls are deleted without running, outside the lock (their
    // captures may do anything when destroyed).
}

bool DispatchQueue::IsAborted() const {
    std::lock_guard<std::mutex> lock(m_dispatchLock);
    return m_aborted;
}

size_t DispatchQueue::GetDispatchQueueLength() const {
    std::lock_guard<std::mutex> lock(m_dispatchLock);
    return m_count + m_inHand.load(std::memory_order_acquire);
}
