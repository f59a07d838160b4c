#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "firmware/EmulatedBus.h"

namespace {

std::string Variable(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

// The mapped files of this process, rather than LD_PRELOAD: a variable can
// be set by anyone, a loaded library is what actually answers the tool's
// device calls.
bool LibraryMapped(std::string_view name) {
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line)) {
        if (line.find(name) != std::string::npos) return true;
    }
    return false;
}

bool FolderExists(const std::string& path) {
    std::error_code error;
    return !path.empty() && std::filesystem::is_directory(path, error);
}

}  // namespace

EmulatedBusEvidence GatherEmulatedBusEvidence() {
    EmulatedBusEvidence evidence;
    evidence.declared = Variable(kEmulatedBusVariable);
    // Only what the declaration names is looked at.
    if (evidence.declared == "umockdev") {
        evidence.umockdevPreloaded = LibraryMapped("libumockdev-preload");
        evidence.umockdevTestBed = FolderExists(Variable("UMOCKDEV_DIR"));
    } else if (evidence.declared == "dummy_hcd") {
        evidence.dummyHostController = FolderExists("/sys/module/dummy_hcd");
    }
    return evidence;
}
