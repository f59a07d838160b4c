#include "links/ClientVersion.h"

#include <charconv>
#include <tuple>

namespace {

// A run of decimal digits that fits in 32 bits, exactly filling the text.
std::optional<uint32_t> number(std::string_view text) {
    if (text.empty()) return std::nullopt;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
    }
    uint32_t value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

}  // namespace

std::optional<ClientVersion> ClientVersion::parse(const std::string& text) {
    std::string_view rest = text;
    ClientVersion version;
    auto plus = rest.find('+');
    if (plus != std::string_view::npos) {
        version.build = std::string(rest.substr(plus + 1));
        rest = rest.substr(0, plus);
    }
    auto firstDot = rest.find('.');
    if (firstDot == std::string_view::npos) return std::nullopt;
    auto secondDot = rest.find('.', firstDot + 1);
    if (secondDot == std::string_view::npos) return std::nullopt;
    auto major = number(rest.substr(0, firstDot));
    auto minor = number(rest.substr(firstDot + 1, secondDot - firstDot - 1));
    auto patch = number(rest.substr(secondDot + 1));
    if (!major || !minor || !patch) return std::nullopt;
    version.major = *major;
    version.minor = *minor;
    version.patch = *patch;
    return version;
}

bool ClientVersion::newerThan(const ClientVersion& other) const {
    return std::tie(major, minor, patch) > std::tie(other.major, other.minor, other.patch);
}

bool clientVersionAccepted(const std::string& text, const ClientVersion& serverVersion) {
    if (auto version = ClientVersion::parse(text)) {
        return version->major == serverVersion.major && version->minor <= serverVersion.minor;
    }
    auto old = number(text);
    return old && *old > kServerOldVersion;
}
