#include "context/DispatchQueue.h"

DispatchQueue::~DispatchQueue() = default;

void DispatchQueue::EnqueueThunk(std::unique_ptr<DispatchThunkBase> thunk, bool forced) {
    std::unique_ptr<DispatchThunkBase> dropped;
    {
        std::lock_guard<std::mutex> lock(m_dispatchLock);
        if (!forced && (!CanAccept() || m_count > kDispatchCap)) {
            // A full queue, or an owner that does not accept calls, drops the
            // call without a report; it is deleted outside the lock.
            dropped = std::move(thunk);
        } else {
            m_dispatchQueue.push_back(std::move(thunk));
            ++m_count;
            m_queueUpdated.notify_all();
        }
    }
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
        m_queueUpdated.notify_all();
        lock.unlock();
    }
}

void DispatchQueue::WaitAndDispatch() {
    std::unique_lock<std::mutex> lock(m_dispatchLock);
    if (m_aborted) throw dispatch_aborted_exception();
    m_queueUpdated.wait(lock, [this] { return m_aborted || !m_dispatchQueue.empty(); });
    if (m_aborted) throw dispatch_aborted_exception();
    DispatchFront(lock);
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
    return m_count;
}
