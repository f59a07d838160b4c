#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <stdexcept>

#include "context/CoreContext.h"

// Base of the slots that find a member by type in the context that was
// current when the slot was made, or in one of its ancestors.
class AutowirableSlot {
public:
    AutowirableSlot();
    virtual ~AutowirableSlot() = default;

    AutowirableSlot(const AutowirableSlot&) = delete;
    AutowirableSlot& operator=(const AutowirableSlot&) = delete;

    virtual bool IsAutowired() const = 0;

    // The slot's context; throws when it no longer exists.
    std::shared_ptr<CoreContext> LockContext() const;

    // Lets pending entries see, through a weak copy, whether the slot exists.
    std::weak_ptr<const AutowirableSlot> WeakSelf() const { return m_selfRef; }

protected:
    // Withdraws a pending entry; derived slots call it in their destructor,
    // while they are still whole.
    void Withdraw();

    std::weak_ptr<CoreContext> m_context;

private:
    // Owns nothing (its deleter does nothing): it only marks that the slot
    // still exists.
    std::shared_ptr<const AutowirableSlot> m_selfRef;
};

// A slot for a member of type T. It is filled at construction when T exists
// in the slot's context or an ancestor, and otherwise by the first later
// addition to the slot's own context after a T exists there or above.
template <class T>
class Autowired : public AutowirableSlot {
public:
    Autowired() {
        if (!Resolve()) LockContext()->Defer(this, std::make_unique<Deferred>(*this));
    }

    ~Autowired() override { Withdraw(); }

    bool IsAutowired() const override { return m_raw.load(std::memory_order_acquire) != nullptr; }
    explicit operator bool() const { return IsAutowired(); }

    T* get() const { return m_raw.load(std::memory_order_acquire); }
    T* operator->() const { return get(); }
    T& operator*() const { return *get(); }

    std::shared_ptr<T> shared() const {
        std::lock_guard<std::mutex> lock(m_slotLock);
        return m_ptr;
    }
    operator std::shared_ptr<T>() const { return shared(); }

    // Fills the slot explicitly and adds the member to the slot's context.
    Autowired& operator=(const std::shared_ptr<T>& member) {
        auto context = LockContext();
        Fill(member);
        context->template AddMember<T>(member);
        return *this;
    }

protected:
    void Fill(const std::shared_ptr<T>& member) {
        std::lock_guard<std::mutex> lock(m_slotLock);
        m_ptr = member;
        m_raw.store(member.get(), std::memory_order_release);
    }

    // Walks from the slot's context up to the root; the first hit fills.
    bool Resolve() {
        for (auto context = m_context.lock(); context; context = context->GetParent()) {
            if (auto member = context->template FindMember<T>()) {
                Fill(member);
                return true;
            }
        }
        return false;
    }

private:
    class Deferred : public DeferredBase {
    public:
        explicit Deferred(Autowired& slot) : m_slot(&slot), m_alive(slot.WeakSelf()) {}

        bool Check() override {
            // Runs under the context's deferred lock; a slot withdraws its
            // entry under the same lock before it dies, so m_slot is valid
            // whenever m_alive is.
            if (m_alive.expired() || m_slot->IsAutowired()) return true;
            return m_slot->Resolve();
        }
        bool SlotAlive() const override { return !m_alive.expired(); }

    private:
        Autowired* m_slot;
        std::weak_ptr<const AutowirableSlot> m_alive;
    };

    mutable std::mutex m_slotLock;  // guards m_ptr
    std::shared_ptr<T> m_ptr;
    std::atomic<T*> m_raw{nullptr};
};

// A slot that creates its member (with T's default constructor, in the
// slot's context) when none is found.
template <class T>
class AutoRequired : public Autowired<T> {
public:
    AutoRequired() {
        if (this->IsAutowired()) return;
        auto context = this->LockContext();
        auto member = std::make_shared<T>();
        this->Fill(member);
        context->template AddMember<T>(member);
    }
};
