#pragma once

#include <memory>
#include <mutex>

#include "context/Object.h"
#include "context/TeardownNotifier.h"

class CoreContext;

// A named component owned by a context. It refers to its context and to
// itself weakly: the context owns the member, never the other way round.
class ContextMember : public virtual Object, public TeardownNotifier {
public:
    // The member belongs to the context that is current while it is built,
    // until a context adds it.
    explicit ContextMember(const char* name = nullptr);
    ~ContextMember() override;

    ContextMember(const ContextMember&) = delete;
    ContextMember& operator=(const ContextMember&) = delete;

    // Hooks for subclasses; the framework itself never calls them.
    virtual void ContextAttached() {}
    virtual void ContextDetached() {}

    const char* GetName() const { return m_name; }

    // The owning context, or empty once it is gone.
    std::shared_ptr<CoreContext> GetContext() const;

    // The shared pointer under which the context holds this member, or empty
    // before it was added (or once it is being destroyed).
    std::shared_ptr<ContextMember> GetSelf() const;

    template <class T>
    std::shared_ptr<T> GetSelf() const {
        return std::dynamic_pointer_cast<T>(GetSelf());
    }

private:
    friend class CoreContext;
    void Attach(const std::shared_ptr<CoreContext>& context, const std::shared_ptr<ContextMember>& self);

    const char* const m_name;
    mutable std::mutex m_memberLock;  // guards the two references below
    std::weak_ptr<CoreContext> m_context;
    std::weak_ptr<ContextMember> m_self;
};
