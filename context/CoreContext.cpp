#include "context/CoreContext.h"

#include <algorithm>
#include <cstring>
#include <iostream>

#include "context/CoreThread.h"

namespace {

// The calling thread's current context; empty means the global one.
thread_local std::shared_ptr<CoreContext> t_currentContext;

}  // namespace

uint32_t TypeNameHash(const char* name) {
    const size_t length = std::strlen(name);
    const size_t step = length / 10 + 1;
    uint32_t hash = 2166136261u;
    for (size_t p = 0; p < length; p += step) {
        hash *= 16777619u;
        hash ^= static_cast<uint32_t>(static_cast<int32_t>(static_cast<int8_t>(name[p])));
    }
    return hash;
}

void FilterFiredEventException(const EventReceiverProxyBase* proxy, const std::shared_ptr<EventReceiver>& receiver) {
    CoreContext::Current()->FilterEventException(proxy, receiver);
}

// ---------------------------------------------------------------------------

OutstandingCountTracker::OutstandingCountTracker(std::shared_ptr<CoreContext> context)
    : m_context(std::move(context)) {}

OutstandingCountTracker::~OutstandingCountTracker() {
    {
        std::lock_guard<std::mutex> lock(m_context->m_lock);
        m_context->m_stateChanged.notify_all();
    }
    // Released after the lock: this may be the context's last reference.
    m_context.reset();
}

// ---------------------------------------------------------------------------

CoreContext::CoreContext(std::shared_ptr<CoreContext> parent) : m_parent(std::move(parent)) {}

CoreContext::~CoreContext() {
    NotifyTeardownListeners();

    for (auto& proxy : m_proxies) proxy.second->ReleaseReceivers();

    std::vector<std::shared_ptr<EventReceiver>> receivers(m_receivers.begin(), m_receivers.end());
    if (m_parent) m_parent->UnregisterReceivers(receivers);

    // Members go last, in a defined order, with nothing locked: their
    // destructors may do anything.
    m_deferred.clear();
    m_bolts.clear();
    m_filters.clear();
    m_threads.clear();
    m_receivers.clear();
    m_proxies.clear();
    m_members.clear();
    m_byType.clear();
}

std::shared_ptr<CoreContext> CoreContext::Current() {
    if (t_currentContext) return t_currentContext;
    return GlobalCoreContext::Instance();
}

std::shared_ptr<CoreContext> CoreContext::MakeCurrent() {
    auto previous = std::move(t_currentContext);
    t_currentContext = Self();
    return previous;
}

CurrentContextScope::~CurrentContextScope() { t_currentContext = std::move(m_previous); }

// ---------------------------------------------------------------------------

GlobalCoreContext::GlobalCoreContext() : CoreContext(nullptr) {}

std::shared_ptr<GlobalCoreContext> GlobalCoreContext::Instance() {
    static std::mutex s_instanceLock;
    // Deliberately never destroyed: detached context threads may still run
    // while the process exits, and must not meet a destroyed root.
    static std::shared_ptr<GlobalCoreContext>* s_instance = nullptr;
    std::lock_guard<std::mutex> lock(s_instanceLock);
    if (!s_instance) {
        auto global = std::shared_ptr<GlobalCoreContext>(new GlobalCoreContext());
        global->m_self = global;
        s_instance = new std::shared_ptr<GlobalCoreContext>(global);
        if (!t_currentContext) t_currentContext = global;
    }
    return *s_instance;
}

// ---------------------------------------------------------------------------

void CoreContext::AddMemberInternal(std::unique_ptr<SharedPtrWrapBase> wrap, const Registration& reg) {
    const std::type_index key(wrap->Type());
    auto member = wrap->AsContextMember();
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_byType.emplace(key, std::move(wrap));
    }

    if (reg.receiver) RegisterReceiver(reg.receiver);

    if (reg.filter) {
        std::lock_guard<std::mutex> lock(m_lock);
        m_filters.insert(reg.filter);
    }

    UpdateDeferred();

    if (member) {
        member->Attach(Self(), member);
        std::lock_guard<std::mutex> lock(m_lock);
        m_members.insert(member);
    }

    if (auto thread = std::dynamic_pointer_cast<CoreThread>(member)) {
        std::lock_guard<std::mutex> lock(m_lock);
        m_threads.push_back(thread);
        if (m_initiationCount > 0) thread->Start();
    }

    if (reg.bolt) {
        std::lock_guard<std::mutex> lock(m_lock);
        m_bolts[reg.bolt->ContextName()].push_back(reg.bolt);
    }
}

std::shared_ptr<void> CoreContext::FindByType(const std::type_info& type) const {
    std::lock_guard<std::mutex> lock(m_lock);
    auto range = m_byType.equal_range(std::type_index(type));
    if (range.first == range.second) return nullptr;
    if (std::next(range.first) != range.second) {
        throw std::runtime_error("An autowiring operation resulted in an ambiguous match");
    }
    return range.first->second->MostDerived();
}

std::vector<std::shared_ptr<Object>> CoreContext::AllObjects() const {
    std::vector<std::shared_ptr<Object>> objects;
    std::lock_guard<std::mutex> lock(m_lock);
    for (auto& entry : m_byType) {
        if (auto object = entry.second->AsObject()) objects.push_back(std::move(object));
    }
    return objects;
}

// ---------------------------------------------------------------------------

void CoreContext::Defer(const AutowirableSlot* slot, std::unique_ptr<DeferredBase> entry) {
    std::unique_ptr<DeferredBase> stale;
    std::lock_guard<std::mutex> lock(m_deferredLock);
    auto found = m_deferred.find(slot);
    if (found != m_deferred.end()) {
        if (found->second->SlotAlive()) {
            throw std::runtime_error(
                "A slot is being autowired, but a deferred instance already exists at this "
                "location");
        }
        stale = std::move(found->second);
        m_deferred.erase(found);
    }
    // A member may have been added between the slot's own lookup and this
    // registration; look once more under the lock that additions take.
    if (entry->Check()) return;
    m_deferred.emplace(slot, std::move(entry));
}

void CoreContext::CancelDeferred(const AutowirableSlot* slot) {
    std::unique_ptr<DeferredBase> entry;
    std::lock_guard<std::mutex> lock(m_deferredLock);
    auto found = m_deferred.find(slot);
    if (found == m_deferred.end()) return;
    entry = std::move(found->second);
    m_deferred.erase(found);
}

void CoreContext::UpdateDeferred() {
    std::vector<std::unique_ptr<DeferredBase>> finished;
    {
        std::lock_guard<std::mutex> lock(m_deferredLock);
        for (auto it = m_deferred.begin(); it != m_deferred.end();) {
            if (it->second->Check()) {
                finished.push_back(std::move(it->second));
                it = m_deferred.erase(it);
            } else {
                ++it;
            }
        }
    }
    // The finished entries are deleted here, after the lock is released.
}

// ---------------------------------------------------------------------------

std::shared_ptr<CoreContext> CoreContext::NewChild() {
    std::list<std::weak_ptr<CoreContext>>::iterator entry;
    {
        std::lock_guard<std::mutex> lock(m_childrenLock);
        entry = m_children.insert(m_children.end(), std::weak_ptr<CoreContext>());
    }
    CoreContext* parent = this;  // alive while the child holds it
    CoreContext* raw = nullptr;
    try {
        raw = new CoreContext(Self());
    } catch (...) {
        std::lock_guard<std::mutex> lock(m_childrenLock);
        m_children.erase(entry);
        throw;
    }
    std::shared_ptr<CoreContext> child(raw, [parent, entry](CoreContext* context) {
        {
            std::lock_guard<std::mutex> lock(parent->m_childrenLock);
            parent->m_children.erase(entry);
        }
        delete context;
    });
    child->m_self = child;
    {
        std::lock_guard<std::mutex> lock(m_childrenLock);
        *entry = child;
    }
    return child;
}

std::vector<std::shared_ptr<CoreContext>> CoreContext::Children() const {
    std::vector<std::shared_ptr<CoreContext>> children;
    std::lock_guard<std::mutex> lock(m_childrenLock);
    for (auto& weak : m_children) {
        if (auto child = weak.lock()) children.push_back(std::move(child));
    }
    return children;
}

// ---------------------------------------------------------------------------

uint32_t CoreContext::InitiationCount() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_initiationCount;
}

void CoreContext::Initiate() {
    {
        std::lock_guard<std::mutex> lock(m_lock);
        if (m_initiationCount++ != 0) return;
    }
    if (m_parent) m_parent->Initiate();
    m_stopping.store(false, std::memory_order_release);
    std::lock_guard<std::mutex> lock(m_lock);
    for (auto& thread : m_threads) thread->Start();
}

void CoreContext::ReleaseInitiation() {
    std::vector<std::shared_ptr<CoreThread>> threads;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        if (m_initiationCount == 0) return;
        if (--m_initiationCount != 0) return;
        threads = m_threads;
    }
    m_stopping.store(true, std::memory_order_release);
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_stateChanged.notify_all();
    }
    for (auto& thread : threads) thread->Stop(false);
    if (m_parent) m_parent->ReleaseInitiation();
}

void CoreContext::RequestShutdown() {
    m_stopping.store(true, std::memory_order_release);

    auto children = Children();
    for (auto it = children.rbegin(); it != children.rend(); ++it) (*it)->RequestShutdown();
    children.clear();

    ReleaseInitiation();

    std::vector<std::shared_ptr<CoreThread>> threads;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        threads = m_threads;
    }
    // Threads that never started (a context that was never initiated) are
    // not waited for: they will never complete.
    for (auto& thread : threads) thread->WaitForCompletion();
}

void CoreContext::WaitForThreads() {
    std::unique_lock<std::mutex> lock(m_lock);
    m_stateChanged.wait(lock, [this] {
        std::lock_guard<std::mutex> trackerLock(m_trackerLock);
        return m_tracker.expired();
    });
}

std::shared_ptr<OutstandingCountTracker> CoreContext::IncrementOutstandingThreadCount() {
    std::lock_guard<std::mutex> lock(m_trackerLock);
    if (auto tracker = m_tracker.lock()) return tracker;
    auto tracker = std::make_shared<OutstandingCountTracker>(Self());
    m_tracker = tracker;
    return tracker;
}

// ---------------------------------------------------------------------------

void CoreContext::RegisterReceiver(const std::shared_ptr<EventReceiver>& receiver) {
    {
        // Proxies are updated under the same lock that ProxyFor uses to hand
        // the receiver list to a new proxy, so no receiver is missed or
        // resurrected by a proxy made at the same moment.
        std::lock_guard<std::mutex> lock(m_lock);
        m_receivers.push_back(receiver);
        for (auto& proxy : m_proxies) proxy.second->AddReceiver(receiver);
    }
    if (m_parent) m_parent->RegisterReceiver(receiver);
}

void CoreContext::UnregisterReceivers(const std::vector<std::shared_ptr<EventReceiver>>& receivers) {
    if (receivers.empty()) return;
    std::vector<std::shared_ptr<EventReceiver>> removed;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        for (auto& receiver : receivers) {
            auto found = std::find(m_receivers.begin(), m_receivers.end(), receiver);
            if (found == m_receivers.end()) continue;
            m_receivers.erase(found);
            for (auto& proxy : m_proxies) proxy.second->RemoveReceiver(receiver);
        }
    }
    if (m_parent) m_parent->UnregisterReceivers(receivers);
}

std::shared_ptr<EventReceiverProxyBase> CoreContext::FindOrCreateProxy(
    const std::type_index& type, std::shared_ptr<EventReceiverProxyBase> (*make)()) {
    std::lock_guard<std::mutex> lock(m_lock);
    auto found = m_proxies.find(type);
    if (found != m_proxies.end()) return found->second;
    auto proxy = make();
    m_proxies.emplace(type, proxy);
    for (auto& receiver : m_receivers) proxy->AddReceiver(receiver);
    return proxy;
}

// ---------------------------------------------------------------------------

void CoreContext::FilterThreadException() {
    const std::exception_ptr ex = std::current_exception();
    const Rethrower rethrow = [ex] { std::rethrow_exception(ex); };

    std::vector<std::shared_ptr<ExceptionFilter>> filters;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        filters.assign(m_filters.begin(), m_filters.end());
    }
    bool handled = false;
    for (auto& filter : filters) {
        try {
            filter->OnThreadException(rethrow);
            handled = true;
            break;
        } catch (...) {
            // This filter did not handle it; the next one may.
        }
    }
    if (m_parent) m_parent->FilterThreadException();
    if (!handled) std::rethrow_exception(ex);
}

void CoreContext::FilterEventException(const EventReceiverProxyBase* proxy,
                                       const std::shared_ptr<EventReceiver>& receiver) {
    const std::exception_ptr ex = std::current_exception();
    const Rethrower rethrow = [ex] { std::rethrow_exception(ex); };

    std::vector<std::shared_ptr<ExceptionFilter>> filters;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        filters.assign(m_filters.begin(), m_filters.end());
    }
    for (auto& filter : filters) {
        try {
            filter->OnEventException(rethrow, proxy, receiver);
            return;
        } catch (...) {
            // Not handled by this filter; try the next one.
        }
    }
    std::rethrow_exception(ex);
}

// ---------------------------------------------------------------------------

void CoreContext::BroadcastContextCreation(const char* name, const std::shared_ptr<CoreContext>& created) {
    std::vector<std::shared_ptr<BoltBase>> bolts;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        auto found = m_bolts.find(name);
        if (found != m_bolts.end()) bolts = found->second;
    }
    for (auto& bolt : bolts) {
        CurrentContextScope scope(created);
        bolt->OnContextCreated();
    }
    for (auto& child : Children()) child->BroadcastContextCreation(name, created);
}
