#pragma once

#include <ctime>
#include <string>

// Local time; throws std::runtime_error "could not convert calendar time to
// local time" when the conversion fails.
std::tm localTime(std::time_t time);

// "2026-Dec-08 10:12:02": English month abbreviations whatever the locale.
std::string formatDateTime(const std::tm& time);

// The C library's ctime form without its line end, spaces as '_' and colons
// as '-': "Tue_Dec__8_10-12-02_2026". Used in log file names.
std::string formatFileStamp(const std::tm& time);
