#pragma once

#include <cstdint>

// Error codes a log message may carry; printed by name in the log line.
enum ErrorCode : uint32_t {
    EC_NO_ERROR = 0,
    EC_GENERAL_ERROR = 1,
    EC_IMAGE_ERROR = 2,
    EC_PIPE_ERROR = 3,
    EC_BAD_CALIB = 4,
    EC_BAD_LOGIN = 5,
    EC_BAD_CONNECT = 6,
    EC_BAD_REPORT = 7,
    EC_BAD_UPDATE = 8,
    EC_BAD_LIGHTING = 9,
    EC_PROC_ERROR1 = 10,
    EC_PROC_ERROR2 = 11,
    EC_NO_DEVICE = 12,
    EC_BAD_DEVICE_AUTH = 13,
    EC_FW_UPDATE = 14,
    EC_CANNOT_STREAM = 15,
    EC_SMUDGE = 16,
    EC_BAD_CALIBRATION = 17,
};

// "EC_NO_ERROR" … "EC_BAD_CALIBRATION"; "" for a code beyond the list.
const char* errorCodeName(uint32_t code);
