#pragma once

#include <memory>

#include "context/ContextMember.h"

class ProgressSink;

// How the in-place updates of this process show their progress: the
// application puts one into the global context before it is initiated, and
// the setup of every controller below it hands the sink to its update.
// Without one, an update shows only its log lines.
class UpdateSession : public ContextMember {
public:
    explicit UpdateSession(std::shared_ptr<ProgressSink> progress)
        : ContextMember("UpdateSession"), m_progress(std::move(progress)) {}

    const std::shared_ptr<ProgressSink>& Progress() const { return m_progress; }

    // The sink of the session of the current context or its nearest
    // ancestor that has one; none without one.
    static std::shared_ptr<ProgressSink> ProgressForCurrentContext();

private:
    const std::shared_ptr<ProgressSink> m_progress;
};
