#include "firmware/FirmwareLocation.h"

#include <array>
#include <filesystem>
#include <mutex>
#include <system_error>

// Architecture-independent data that only this tool reads belongs under the
// install prefix's share folder; /lib/firmware (/usr/lib/firmware) is the
// kernel's firmware loader's folder, for files the kernel itself hands to
// drivers, which ours never are. The build fixes the folder from
// CMAKE_INSTALL_FULL_DATADIR, so a /usr/local install looks in
// /usr/local/share/tyvo/firmware and the Debian package in
// /usr/share/tyvo/firmware.
#ifndef TYVO_FIRMWARE_INSTALL_DIR
#define TYVO_FIRMWARE_INSTALL_DIR "/usr/local/share/tyvo/firmware"
#endif

namespace {

// The folder chosen by the application. The option parser sets it on the main
// thread while the device monitor's thread may already be reading it.
std::mutex s_folderLock;
std::string s_folder;

constexpr std::array<std::string_view, 3> kFirmwareFileNames = {"app0.dat", "app1.dat", "app2.dat"};

std::string WithoutTrailingSlash(std::string folder) {
    while (folder.size() > 1 && folder.back() == '/') {
        folder.pop_back();
    }
    return folder;
}

std::string Joined(const std::string& folder, std::string_view name) {
    std::string path = folder;
    if (path.empty() || path.back() != '/') {
        path += '/';
    }
    path += name;
    return path;
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

std::string InstalledFirmwareFolder() { return WithoutTrailingSlash(TYVO_FIRMWARE_INSTALL_DIR); }

std::vector<std::string> FirmwareSearchFolders() { return {ExecutableFolder(), InstalledFirmwareFolder()}; }

std::string FirstFolderWithFirmware(const std::vector<std::string>& folders) {
    for (const std::string& folder : folders) {
        for (const std::string_view name : kFirmwareFileNames) {
            // A file that exists but cannot be read still settles the folder:
            // the reader then says why it cannot use it, rather than the tool
            // quietly taking other files from elsewhere.
            std::error_code error;
            if (std::filesystem::exists(Joined(folder, name), error)) {
                return folder;
            }
        }
    }
    return folders.empty() ? std::string(".") : folders.front();
}

void SetFirmwareFolder(std::string folder) {
    folder = WithoutTrailingSlash(std::move(folder));
    std::lock_guard<std::mutex> lock(s_folderLock);
    s_folder = std::move(folder);
}

std::string ChosenFirmwareFolder() {
    std::lock_guard<std::mutex> lock(s_folderLock);
    return s_folder;
}

std::string FirmwareFolder() {
    if (std::string chosen = ChosenFirmwareFolder(); !chosen.empty()) {
        return chosen;
    }
    return FirstFolderWithFirmware(FirmwareSearchFolders());
}

std::string FirmwarePath(std::string_view name) { return Joined(FirmwareFolder(), name); }

std::string FirmwareSearchNote() {
    if (const std::string chosen = ChosenFirmwareFolder(); !chosen.empty()) {
        return "tyvo-reset: firmware files are read from " + chosen + " (--firmware-dir)";
    }
    std::string note = "tyvo-reset: looked for the firmware files in ";
    const std::vector<std::string> folders = FirmwareSearchFolders();
    for (std::size_t i = 0; i < folders.size(); ++i) {
        if (i > 0) note += ", then in ";
        note += folders[i];
    }
    return note;
}
