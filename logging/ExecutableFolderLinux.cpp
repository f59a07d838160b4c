#include "logging/ExecutableFolder.h"

#include <filesystem>
#include <system_error>

std::string executableFolder() {
    std::error_code error;
    auto executable = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) return {};
    return executable.parent_path().string();
}
