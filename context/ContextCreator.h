#pragma once

#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "context/CoreContext.h"

// Returned by ContextCreator::CreateContext. When it carries a name (the
// context was new) and goes away without an exception in flight, the bolts
// that asked for contexts of that name are told about the new context.
class DeferredCreationNotice {
public:
    DeferredCreationNotice() = default;
    DeferredCreationNotice(std::shared_ptr<CoreContext> context, const char* name);
    DeferredCreationNotice(DeferredCreationNotice&& other) noexcept;
    DeferredCreationNotice& operator=(DeferredCreationNotice&& other) noexcept;
    ~DeferredCreationNotice();

    DeferredCreationNotice(const DeferredCreationNotice&) = delete;
    DeferredCreationNotice& operator=(const DeferredCreationNotice&) = delete;

    const std::shared_ptr<CoreContext>& GetContext() const { return m_context; }
    // Null when the context existed already.
    const char* GetName() const { return m_name; }
    explicit operator bool() const { return m_context != nullptr; }

    // Broadcasts now (when there is anything to broadcast) and empties the
    // notice.
    void Release();

private:
    std::shared_ptr<CoreContext> m_context;
    const char* m_name = nullptr;
    int m_uncaughtAtCreation = std::uncaught_exceptions();
};

// Mixin of a member that creates child contexts keyed by a value. A key maps
// to at most one live context; the entry goes when that context is torn down.
template <const char* Name, class Key>
class ContextCreator {
public:
    using KeyMap = std::map<Key, std::weak_ptr<CoreContext>>;

    ContextCreator() : m_creatorContext(CoreContext::Current()), m_state(std::make_shared<State>()) {}
    virtual ~ContextCreator() = default;

    static const char* ContextName() { return Name; }

    DeferredCreationNotice CreateContext(const Key& key) {
        std::lock_guard<std::mutex> lock(m_state->m_creatorLock);
        auto found = m_state->m_contexts.find(key);
        if (found != m_state->m_contexts.end()) {
            if (auto existing = found->second.lock()) return DeferredCreationNotice(existing, nullptr);
        }
        auto parent = m_creatorContext.lock();
        if (!parent) return DeferredCreationNotice();
        auto child = parent->NewChild();
        m_state->m_contexts[key] = child;
        std::weak_ptr<State> state = m_state;
        child->OnTeardown([state, key] {
            // Only the entry of the context being torn down goes: a newer
            // context made for the same key in the meantime stays.
            if (auto s = state.lock()) {
                std::lock_guard<std::mutex> lock(s->m_creatorLock);
                auto entry = s->m_contexts.find(key);
                if (entry != s->m_contexts.end() && entry->second.expired()) s->m_contexts.erase(entry);
            }
        });
        return DeferredCreationNotice(child, Name);
    }

    void Forget(const Key& key) {
        std::lock_guard<std::mutex> lock(m_state->m_creatorLock);
        m_state->m_contexts.erase(key);
    }

    // Every created context loses its initiation; with wait, the caller then
    // waits until their threads have ended.
    void ReleaseAll(bool wait) {
        // The strong references outlive the lock: dropping the last one tears
        // a context down, and its teardown listener takes the creator's lock.
        std::vector<std::shared_ptr<CoreContext>> live;
        {
            std::lock_guard<std::mutex> lock(m_state->m_creatorLock);
            for (auto& entry : m_state->m_contexts) {
                if (auto context = entry.second.lock()) {
                    context->ReleaseInitiation();
                    live.push_back(std::move(context));
                }
            }
            m_state->m_contexts.clear();
        }
        if (wait) {
            for (auto& context : live) context->WaitForThreads();
        }
    }

    KeyMap Contexts() const {
        std::lock_guard<std::mutex> lock(m_state->m_creatorLock);
        return m_state->m_contexts;
    }

    bool HasContexts() const {
        std::lock_guard<std::mutex> lock(m_state->m_creatorLock);
        return !m_state->m_contexts.empty();
    }

private:
    // Shared with the teardown listeners, which may outlive the creator.
    struct State {
        std::mutex m_creatorLock;  // before any context's main lock
        KeyMap m_contexts;
    };

    std::weak_ptr<CoreContext> m_creatorContext;
    std::shared_ptr<State> m_state;
};
