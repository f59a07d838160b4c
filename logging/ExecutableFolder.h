#pragma once

#include <string>

// The folder of the running executable (from /proc/self/exe), or "" when it
// cannot be read.
std::string executableFolder();
