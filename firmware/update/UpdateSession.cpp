#include "firmware/update/UpdateSession.h"

#include "context/CoreContext.h"

std::shared_ptr<ProgressSink> UpdateSession::ProgressForCurrentContext() {
    if (const auto session = CoreContext::Current()->FindNearestMember<UpdateSession>()) return session->Progress();
    return nullptr;
}
