#include "logging/ErrorCodes.h"

#include <array>

const char* errorCodeName(uint32_t code) {
    static constexpr std::array<const char*, 18> kNames = {
        "EC_NO_ERROR",      "EC_GENERAL_ERROR", "EC_IMAGE_ERROR",     "EC_PIPE_ERROR",      "EC_BAD_CALIB",
        "EC_BAD_LOGIN",     "EC_BAD_CONNECT",   "EC_BAD_REPORT",      "EC_BAD_UPDATE",      "EC_BAD_LIGHTING",
        "EC_PROC_ERROR1",   "EC_PROC_ERROR2",   "EC_NO_DEVICE",       "EC_BAD_DEVICE_AUTH", "EC_FW_UPDATE",
        "EC_CANNOT_STREAM", "EC_SMUDGE",        "EC_BAD_CALIBRATION",
    };
    return code < kNames.size() ? kNames[code] : "";
}
