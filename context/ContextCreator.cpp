#include "context/ContextCreator.h"

#include <iostream>

DeferredCreationNotice::DeferredCreationNotice(std::shared_ptr<CoreContext> context, const char* name)
    : m_context(std::move(context)), m_name(name) {}

DeferredCreationNotice::DeferredCreationNotice(DeferredCreationNotice&& other) noexcept
    : m_context(std::move(other.m_context)), m_name(other.m_name), m_uncaughtAtCreation(other.m_uncaughtAtCreation) {
    other.m_name = nullptr;
}

DeferredCreationNotice& DeferredCreationNotice::operator=(DeferredCreationNotice&& other) noexcept {
    if (this != &other) {
        Release();
        m_context = std::move(other.m_context);
        m_name = other.m_name;
        m_uncaughtAtCreation = other.m_uncaughtAtCreation;
        other.m_name = nullptr;
    }
    return *this;
}

DeferredCreationNotice::~DeferredCreationNotice() {
    // No broadcast while an exception propagates: the new context is being
    // abandoned.
    if (std::uncaught_exceptions() > m_uncaughtAtCreation) return;
    Release();
}

void DeferredCreationNotice::Release() {
    auto context = std::move(m_context);
    const char* name = m_name;
    m_context.reset();
    m_name = nullptr;
    if (!context || !name) return;
    auto parent = context->GetParent();
    if (!parent) return;
    try {
        parent->BroadcastContextCreation(name, context);
    } catch (const std::exception& e) {
        // A bolt failed while the notice was going away, possibly inside a
        // destructor where nothing may propagate: say so, go on.
        std::cerr << e.what() << std::endl;
    }
}
