#include "context/Autowired.h"

AutowirableSlot::AutowirableSlot()
    : m_context(CoreContext::Current()), m_selfRef(this, [](const AutowirableSlot*) {}) {}

std::shared_ptr<CoreContext> AutowirableSlot::LockContext() const {
    auto context = m_context.lock();
    if (!context) throw std::runtime_error("Attempted to autowire in a context that is tearing down");
    return context;
}

void AutowirableSlot::Withdraw() {
    if (auto context = m_context.lock()) context->CancelDeferred(this);
    m_selfRef.reset();
}
