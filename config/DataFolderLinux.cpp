#include "config/DataFolder.h"

#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace Config {
namespace {

const char* nonEmptyVariable(const char* name) {
    const char* value = std::getenv(name);
    return (value && *value) ? value : nullptr;
}

}  // namespace

std::optional<std::string> userDataFolder() {
    if (const char* appData = nonEmptyVariable("APPDATA")) return std::string(appData);
    // A relative XDG_CONFIG_HOME is invalid and to be ignored.
    if (const char* xdg = nonEmptyVariable("XDG_CONFIG_HOME"); xdg && xdg[0] == '/') {
        return std::string(xdg);
    }
    if (const char* home = nonEmptyVariable("HOME")) return std::string(home) + "/.config";
    return std::nullopt;
}

std::string dataFilePath(const std::string& name) {
    const std::string folder = userDataFolder().value_or(".") + "/Tyvo";
    // A folder that cannot be made is not an error here: reading the file
    // then reports it missing and saving reports failure.
    std::error_code ignored;
    std::filesystem::create_directories(folder, ignored);
    return folder + "/" + name;
}

}  // namespace Config
