#include "camera/capture/VideoNodeLocator.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>

namespace {

std::vector<std::string> entriesOf(const std::string& folder) {
    std::vector<std::string> names;
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr) return names;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    ::closedir(dir);
    return names;
}

// folder + "/" + name in one allocation.
std::string joined(const std::string& folder, const std::string& name) {
    std::string path;
    path.reserve(folder.size() + 1 + name.size());
    path.append(folder).append(1, '/').append(name);
    return path;
}

// The number of "videoN", or -1.
long videoNumber(const std::string& name) {
    if (name.size() <= 5 || name.compare(0, 5, "video") != 0) return -1;
    if (!std::all_of(name.begin() + 5, name.end(), [](char c) { return std::isdigit(static_cast<unsigned char>(c)); }))
        return -1;
    return std::strtol(name.c_str() + 5, nullptr, 10);
}

}  // namespace

std::string portChainFromDevicePath(const std::wstring& devicePath) {
    const auto cut = devicePath.rfind(L'#');
    if (cut == std::wstring::npos) return {};
    std::string chain;
    for (auto it = devicePath.begin() + static_cast<std::ptrdiff_t>(cut) + 1; it != devicePath.end(); ++it) {
        const wchar_t c = *it;
        // Bus and ports are numbers joined by '-' and '.'; anything else
        // (a path separator above all) is no port chain.
        if (!((c >= L'0' && c <= L'9') || c == L'-' || c == L'.')) return {};
        chain.push_back(static_cast<char>(c));
    }
    const auto dash = chain.find('-');
    if (dash == std::string::npos || dash == 0 || dash + 1 == chain.size()) return {};
    return chain;
}

std::vector<VideoNode> videoNodesOf(const std::string& portChain, const std::string& sysfsRoot,
                                    const std::string& devRoot) {
    std::vector<VideoNode> nodes;
    if (portChain.empty()) return nodes;
    const std::string device = sysfsRoot + "/bus/usb/devices/" + portChain;
    const std::string interfacePrefix = portChain + ":";
    for (const std::string& interface : entriesOf(device)) {
        if (interface.compare(0, interfacePrefix.size(), interfacePrefix) != 0) continue;
        const std::string folder = joined(joined(device, interface), "video4linux");
        for (const std::string& name : entriesOf(folder)) {
            if (videoNumber(name) < 0) continue;
            nodes.push_back(VideoNode{name, joined(folder, name), joined(devRoot, name)});
        }
    }
    std::sort(nodes.begin(), nodes.end(),
              [](const VideoNode& a, const VideoNode& b) { return videoNumber(a.name) < videoNumber(b.name); });
    return nodes;
}

bool videoNodePresent(const VideoNode& node) {
    struct stat info {};
    return !node.sysfsPath.empty() && ::stat(node.sysfsPath.c_str(), &info) == 0;
}
