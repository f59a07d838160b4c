#pragma once

#include <cstdint>
#include <string>

#include "context/Autowired.h"
#include "logging/ErrorCodes.h"
#include "logging/EventLogServer.h"

// A component's handle on the log server. It finds the server in the
// component's context or above, also when the server is added later; while
// there is none, the calls do nothing.
class LogHandle {
public:
    LogHandle() = default;

    void critical(const std::string& text, int64_t frameId = -1, uint32_t errorCode = EC_NO_ERROR) const {
        log(LOG_CRITICAL, text, frameId, errorCode);
    }
    void warning(const std::string& text, int64_t frameId = -1, uint32_t errorCode = EC_NO_ERROR) const {
        log(LOG_WARNING, text, frameId, errorCode);
    }
    void info(const std::string& text, int64_t frameId = -1, uint32_t errorCode = EC_NO_ERROR) const {
        log(LOG_INFO, text, frameId, errorCode);
    }

private:
    void log(int32_t severity, const std::string& text, int64_t frameId, uint32_t errorCode) const {
        if (EventLogServer* server = m_server.get()) server->log(frameId, severity, errorCode, text);
    }

    Autowired<EventLogServer> m_server;
};
