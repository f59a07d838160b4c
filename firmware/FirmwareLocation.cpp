#include "firmware/FirmwareLocation.h"

#include <filesystem>
#include <mutex>
#include <system_error>

namespace {

// The folder chosen by the application. The option parser sets it on the main
// thread while the device monitor's thread may already be reading it.
std::mutex s_folderLock;
std::string s_folder;

std::string WithoutTrailingSlash(std::string folder) {
    while (folder.size() > 1 && folder.back() == '/') {
        folder.pop_back();
    }
    return folder;
}

}  // namespace

std::string ExecutableFolder() {
    std::error_code error;
    const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error || !exe.has_parent_path()) {
        return ".";
    }
    return WithoutTrailingSlash(exe.parent_path().string());
}

void SetFirmwareFolder(std::string folder) {
    folder = WithoutTrailingSlash(std::move(folder));
    std::lock_guard<std::mutex> lock(s_folderLock);
    s_folder = std::move(folder);
}

std::string FirmwareFolder() {
    {
        std::lock_guard<std::mutex> lock(s_folderLock);
        if (!s_folder.empty()) {
            return s_folder;
        }
    }
    return ExecutableFolder();
}

std::string FirmwarePath(std::string_view name) {
    std::string path = FirmwareFolder();
    if (path.empty() || path.back() != '/') {
        path += '/';
    }
    path += name;
    return path;
}
