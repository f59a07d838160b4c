#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <typeindex>
#include <typeinfo>
#include <unordered_map>
#include <vector>

#include "context/Bolt.h"
#include "context/ContextMember.h"
#include "context/EventReceiver.h"
#include "context/EventReceiverProxy.h"
#include "context/ExceptionFilter.h"
#include "context/Object.h"
#include "context/TeardownNotifier.h"

class CoreContext;
class CoreThread;
class AutowirableSlot;

// The hash of an event interface type used by the proxies map: an FNV-style
// walk over at most about ten characters of the type's name, multiplying
// first and then mixing in the (signed) character.
uint32_t TypeNameHash(const char* name);

struct TypeIndexHash {
    size_t operator()(const std::type_index& type) const noexcept { return TypeNameHash(type.name()); }
};

// Type-erased holder of one member: the context (weakly) and the object.
class SharedPtrWrapBase {
public:
    virtual ~SharedPtrWrapBase() = default;
    // The dynamic type under which the member is registered.
    virtual const std::type_info& Type() const = 0;
    // The member as a ContextMember, or empty when it is none.
    virtual std::shared_ptr<ContextMember> AsContextMember() const = 0;
    // The complete object.
    virtual std::shared_ptr<void> MostDerived() const = 0;
    // The object through its polymorphic root, or empty when it has none.
    virtual std::shared_ptr<Object> AsObject() const = 0;
};

template <class T, bool IsContextMember = std::is_base_of_v<ContextMember, T>>
class SharedPtrWrap : public SharedPtrWrapBase {
public:
    SharedPtrWrap(std::weak_ptr<CoreContext> context, std::shared_ptr<T> ptr)
        : m_context(std::move(context)), m_ptr(std::move(ptr)) {}

    const std::type_info& Type() const override {
        if constexpr (std::is_polymorphic_v<T>) {
            return typeid(*m_ptr);
        } else {
            return typeid(T);
        }
    }

    std::shared_ptr<ContextMember> AsContextMember() const override {
        if constexpr (IsContextMember) {
            return m_ptr;
        } else if constexpr (std::is_polymorphic_v<T>) {
            return std::dynamic_pointer_cast<ContextMember>(m_ptr);
        } else {
            return nullptr;
        }
    }

    std::shared_ptr<void> MostDerived() const override {
        if constexpr (std::is_polymorphic_v<T>) {
            return std::shared_ptr<void>(m_ptr, dynamic_cast<void*>(m_ptr.get()));
        } else {
            return m_ptr;
        }
    }

    std::shared_ptr<Object> AsObject() const override {
        if constexpr (std::is_base_of_v<Object, T>) {
            return m_ptr;
        } else if constexpr (std::is_polymorphic_v<T>) {
            return std::dynamic_pointer_cast<Object>(m_ptr);
        } else {
            return nullptr;
        }
    }

private:
    std::weak_ptr<CoreContext> m_context;
    std::shared_ptr<T> m_ptr;
};

// A pending slot, waiting for a member of its type to appear.
class DeferredBase {
public:
    virtual ~DeferredBase() = default;
    // True when the entry is finished: the slot is gone, filled, or was just
    // filled by this check.
    virtual bool Check() = 0;
    // The slot this entry was made for still exists.
    virtual bool SlotAlive() const = 0;
};

// Every running thread of a context holds the same tracker; when the last
// one ends the tracker goes and wakes the context's waiters.
class OutstandingCountTracker {
public:
    explicit OutstandingCountTracker(std::shared_ptr<CoreContext> context);
    ~OutstandingCountTracker();

    OutstandingCountTracker(const OutstandingCountTracker&) = delete;
    OutstandingCountTracker& operator=(const OutstandingCountTracker&) = delete;

private:
    std::shared_ptr<CoreContext> m_context;
};

// A container that owns components by shared ownership, finds them by their
// exact type, runs their threads, distributes their events and tears them
// down together. Contexts form a tree whose root is the GlobalCoreContext.
class CoreContext : public Object, public TeardownNotifier {
public:
    ~CoreContext() override;

    CoreContext(const CoreContext&) = delete;
    CoreContext& operator=(const CoreContext&) = delete;

    // The calling thread's current context; the global context when the
    // thread has none.
    static std::shared_ptr<CoreContext> Current();

    // Makes this context current for the calling thread; returns the
    // previous one (empty when the thread had none).
    std::shared_ptr<CoreContext> MakeCurrent();

    std::shared_ptr<CoreContext> GetParent() const { return m_parent; }
    std::shared_ptr<CoreContext> Self() const { return m_self.lock(); }
    bool IsGlobal() const { return !m_parent; }

    // Registers a member under its dynamic type and hooks it up as event
    // receiver, exception filter, context member, thread and bolt as it is one.
    template <class T>
    void AddMember(const std::shared_ptr<T>& member);

    // The member registered under exactly T here, or empty. Throws when two
    // members of type T were added.
    template <class T>
    std::shared_ptr<T> FindMember() const;

    // The member registered under exactly T here or, failing that, in the
    // nearest ancestor that has one; empty when none has.
    template <class T>
    std::shared_ptr<T> FindNearestMember() const;

    // Every member of this context that is a T (by runtime cast), in no
    // particular order. Only members with a polymorphic root are seen.
    template <class T>
    std::vector<std::shared_ptr<T>> MembersOf() const;

    std::shared_ptr<CoreContext> NewChild();
    std::vector<std::shared_ptr<CoreContext>> Children() const;

    void Initiate();
    void ReleaseInitiation();
    void RequestShutdown();
    void WaitForThreads();

    uint32_t InitiationCount() const;
    bool IsInitiated() const { return InitiationCount() > 0; }
    bool IsStopping() const { return m_stopping.load(std::memory_order_acquire); }

    void RegisterReceiver(const std::shared_ptr<EventReceiver>& receiver);

    template <class T>
    std::shared_ptr<EventReceiverProxy<T>> ProxyFor();

    // Called from inside a handler, with the exception in flight.
    void FilterThreadException();
    void FilterEventException(const EventReceiverProxyBase* proxy, const std::shared_ptr<EventReceiver>& receiver);

    std::shared_ptr<OutstandingCountTracker> IncrementOutstandingThreadCount();

    // Tells every bolt for `name` here and in every context below that
    // `created` was made, with `created` current.
    void BroadcastContextCreation(const char* name, const std::shared_ptr<CoreContext>& created);

    // Slot support.
    void Defer(const AutowirableSlot* slot, std::unique_ptr<DeferredBase> entry);
    void CancelDeferred(const AutowirableSlot* slot);

protected:
    explicit CoreContext(std::shared_ptr<CoreContext> parent);

private:
    friend class GlobalCoreContext;
    friend class CoreThread;
    friend class OutstandingCountTracker;

    struct Registration {
        std::shared_ptr<EventReceiver> receiver;
        std::shared_ptr<ExceptionFilter> filter;
        std::shared_ptr<BoltBase> bolt;
    };

    void AddMemberInternal(std::unique_ptr<SharedPtrWrapBase> wrap, const Registration& reg);
    std::shared_ptr<void> FindByType(const std::type_info& type) const;
    std::vector<std::shared_ptr<Object>> AllObjects() const;
    std::shared_ptr<EventReceiverProxyBase> FindOrCreateProxy(const std::type_index& type,
                                                              std::shared_ptr<EventReceiverProxyBase> (*make)());
    void UpdateDeferred();
    void UnregisterReceivers(const std::vector<std::shared_ptr<EventReceiver>>& receivers);
    void RunThreadFilters(const std::exception_ptr& ex);

    // Main lock: registry, members, receivers, proxies, filters, count,
    // thread list. Lock order: a creator's lock before this one; the deferred
    // lock before the main locks of this context and its ancestors.
    mutable std::mutex m_lock;
    std::condition_variable m_stateChanged;

    const std::shared_ptr<CoreContext> m_parent;
    std::weak_ptr<CoreContext> m_self;

    std::multimap<std::type_index, std::unique_ptr<SharedPtrWrapBase>> m_byType;
    std::set<std::shared_ptr<ContextMember>> m_members;

    mutable std::mutex m_deferredLock;
    std::map<const AutowirableSlot*, std::unique_ptr<DeferredBase>> m_deferred;

    std::list<std::shared_ptr<EventReceiver>> m_receivers;
    std::unordered_map<std::type_index, std::shared_ptr<EventReceiverProxyBase>, TypeIndexHash> m_proxies;

    std::set<std::shared_ptr<ExceptionFilter>> m_filters;

    uint32_t m_initiationCount = 0;
    std::atomic<bool> m_stopping{false};

    std::map<std::string, std::vector<std::shared_ptr<BoltBase>>> m_bolts;

    std::mutex m_trackerLock;
    std::weak_ptr<OutstandingCountTracker> m_tracker;

    std::vector<std::shared_ptr<CoreThread>> m_threads;

    mutable std::mutex m_childrenLock;
    std::list<std::weak_ptr<CoreContext>> m_children;
};

// The root of the context tree. Made on first use; it is never destroyed, so
// that threads still running when the process ends never meet a torn-down
// root.
class GlobalCoreContext : public CoreContext {
public:
    static std::shared_ptr<GlobalCoreContext> Instance();

private:
    GlobalCoreContext();
};

// Makes a context current for the scope and restores the previous one on
// exit, also when the scope ends by an exception.
class CurrentContextScope {
public:
    explicit CurrentContextScope(const std::shared_ptr<CoreContext>& context) : m_previous(context->MakeCurrent()) {}
    ~CurrentContextScope();

    CurrentContextScope(const CurrentContextScope&) = delete;
    CurrentContextScope& operator=(const CurrentContextScope&) = delete;

private:
    std::shared_ptr<CoreContext> m_previous;
};

// ---------------------------------------------------------------------------

template <class T>
void CoreContext::AddMember(const std::shared_ptr<T>& member) {
    if (!member) throw std::invalid_argument("AddMember: empty pointer");
    Registration reg;
    // Members are also found as receivers, filters and bolts by runtime
    // cast: a device object is added through its identity interface but must
    // still receive the events of its listener interfaces.
    if constexpr (std::is_base_of_v<EventReceiver, T>) {
        reg.receiver = member;
    } else if constexpr (std::is_polymorphic_v<T>) {
        reg.receiver = std::dynamic_pointer_cast<EventReceiver>(member);
    }
    if constexpr (std::is_polymorphic_v<T>) {
        reg.filter = std::dynamic_pointer_cast<ExceptionFilter>(member);
        reg.bolt = std::dynamic_pointer_cast<BoltBase>(member);
    }
    AddMemberInternal(std::make_unique<SharedPtrWrap<T>>(m_self, member), reg);
}

template <class T>
std::shared_ptr<T> CoreContext::FindMember() const {
    // The registry key is the most-derived type, so the complete object is a T.
    return std::static_pointer_cast<T>(FindByType(typeid(T)));
}

template <class T>
std::shared_ptr<T> CoreContext::FindNearestMember() const {
    if (auto member = FindMember<T>()) return member;
    return m_parent ? m_parent->FindNearestMember<T>() : nullptr;
}

template <class T>
std::vector<std::shared_ptr<T>> CoreContext::MembersOf() const {
    std::vector<std::shared_ptr<T>> result;
    for (auto& object : AllObjects()) {
        if (auto typed = std::dynamic_pointer_cast<T>(object)) result.push_back(std::move(typed));
    }
    return result;
}

template <class T>
std::shared_ptr<EventReceiverProxy<T>> CoreContext::ProxyFor() {
    auto proxy = FindOrCreateProxy(
        typeid(T), [] { return std::shared_ptr<EventReceiverProxyBase>(std::make_shared<EventReceiverProxy<T>>()); });
    return std::static_pointer_cast<EventReceiverProxy<T>>(proxy);
}
