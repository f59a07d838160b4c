#include "firmware/restore/RestoreSession.h"

#include "context/CoreContext.h"

RestoreStageSettings RestoreSession::ForCurrentContext() {
    if (const auto session = CoreContext::Current()->FindNearestMember<RestoreSession>()) return session->Settings();
    return {};
}
