#include "firmware/restore/RestoreSession.h"

#include "context/CoreContext.h"

RestoreStageSettings RestoreSession::ForCurrentContext() {
    for (auto context = CoreContext::Current(); context; context = context->GetParent()) {
        if (const auto session = context->FindMember<RestoreSession>()) return session->Settings();
    }
    return {};
}
