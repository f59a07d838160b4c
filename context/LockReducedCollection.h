#pragma once

#include <atomic>
#include <memory>
#include <thread>
#include <unordered_set>

// Hashes shared pointers by the address they hold.
template <class T>
struct SharedPtrHash {
    size_t operator()(const std::shared_ptr<T>& p) const noexcept {
        return std::hash<const void*>()(static_cast<const void*>(p.get()));
    }
};

// An unordered set of shared pointers kept as an immutable snapshot. The
// whole state sits behind one pointer-sized slot that a user takes by
// exchanging it with null (spinning while someone else holds it) and gives
// back by storing it again. Readers hold the slot only long enough to copy
// the snapshot pointer and then iterate without any lock; writers build a new
// snapshot while holding the slot. Events are frequent and receivers change
// rarely, so copying the set on every change is the cheaper side.
template <class T, class Hash = SharedPtrHash<T>>
class LockReducedCollection {
public:
    using Collection = std::unordered_set<std::shared_ptr<T>, Hash>;
    using Snapshot = std::shared_ptr<const Collection>;

    LockReducedCollection() : m_slot(new State{std::make_shared<const Collection>()}) {}
    ~LockReducedCollection() { delete m_slot.load(std::memory_order_acquire); }

    LockReducedCollection(const LockReducedCollection&) = delete;
    LockReducedCollection& operator=(const LockReducedCollection&) = delete;

    Snapshot GetSnapshot() const {
        State* state = Take();
        Snapshot snapshot = state->collection;
        Give(state);
        return snapshot;
    }

    bool Empty() const { return GetSnapshot()->empty(); }

    // Whether the collection is empty as of the last change, without taking
    // the slot: one load, for the hot path that would only find the snapshot
    // empty. A change racing with the call may be missed, exactly as a
    // snapshot taken just before it would miss it.
    bool LooksEmpty() const { return m_size.load(std::memory_order_acquire) == 0; }

    // Returns false when the element was already present.
    bool Insert(const std::shared_ptr<T>& element) {
        State* state = Take();
        bool changed = false;
        if (!state->collection->count(element)) {
            auto next = std::make_shared<Collection>(*state->collection);
            next->insert(element);
            state->collection = std::move(next);
            m_size.store(state->collection->size(), std::memory_order_release);
            changed = true;
        }
        Give(state);
        return changed;
    }

    // Returns false when the element was absent.
    bool Erase(const std::shared_ptr<T>& element) {
        State* state = Take();
        bool changed = false;
        if (state->collection->count(element)) {
            auto next = std::make_shared<Collection>(*state->collection);
            next->erase(element);
            state->collection = std::move(next);
            m_size.store(state->collection->size(), std::memory_order_release);
            changed = true;
        }
        Give(state);
        return changed;
    }

    void Clear() {
        State* state = Take();
        Snapshot old = std::move(state->collection);
        state->collection = std::make_shared<const Collection>();
        m_size.store(0, std::memory_order_release);
        Give(state);
        // The old snapshot (and the receivers only it holds) dies here,
        // outside the slot.
    }

private:
    struct State {
        Snapshot collection;
    };

    State* Take() const {
        for (unsigned spins = 0;; ++spins) {
            State* state = m_slot.exchange(nullptr, std::memory_order_acquire);
            if (state) return state;
            if (spins > 64) std::this_thread::yield();
        }
    }

    void Give(State* state) const { m_slot.store(state, std::memory_order_release); }

    mutable std::atomic<State*> m_slot;
    // The size of the current snapshot, written while the slot is held.
    std::atomic<std::size_t> m_size{0};
};
