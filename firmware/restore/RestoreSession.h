#pragma once

#include "context/ContextMember.h"
#include "firmware/restore/RestoreStages.h"

// How the restore stages run in this process, for the device objects the
// monitor builds with their default constructors: the application puts one
// into the global context before it is initiated, and every stage started
// below it takes these settings. Without one, the stages run as in the
// plain dialogue.
class RestoreSession : public ContextMember {
public:
    explicit RestoreSession(RestoreStageSettings settings)
        : ContextMember("RestoreSession"), m_settings(std::move(settings)) {}

    const RestoreStageSettings& Settings() const { return m_settings; }

    // The settings of the session of the current context or its nearest
    // ancestor that has one; the defaults without one.
    static RestoreStageSettings ForCurrentContext();

private:
    const RestoreStageSettings m_settings;
};
