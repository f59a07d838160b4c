#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

// Whole-file reads and writes for the firmware tools. Errors come back as a
// text naming the file and the reason, for the tool to print.

std::optional<std::vector<std::uint8_t>> ReadFileBytes(const std::string& path, std::string& error);

// Writes through a temporary file beside path and renames it into place, so
// that a failed write never leaves a half-written file under the final name.
bool WriteFileBytes(const std::string& path, std::span<const std::uint8_t> bytes, std::string& error);
