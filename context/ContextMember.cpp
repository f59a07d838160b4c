#include "context/ContextMember.h"

#include "context/CoreContext.h"

ContextMember::ContextMember(const char* name) : m_name(name), m_context(CoreContext::Current()) {}

ContextMember::~ContextMember() { NotifyTeardownListeners(); }

std::shared_ptr<CoreContext> ContextMember::GetContext() const {
    std::lock_guard<std::mutex> lock(m_memberLock);
    return m_context.lock();
}

std::shared_ptr<ContextMember> ContextMember::GetSelf() const {
    std::lock_guard<std::mutex> lock(m_memberLock);
    return m_self.lock();
}

void ContextMember::Attach(const std::shared_ptr<CoreContext>& context, const std::shared_ptr<ContextMember>& self) {
    std::lock_guard<std::mutex> lock(m_memberLock);
    if (context) m_context = context;
    m_self = self;
}
