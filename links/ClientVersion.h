#pragma once

#include <cstdint>
#include <optional>
#include <string>

// A client protocol version "major.minor.patch", optionally followed by '+'
// and a build text.
struct ClientVersion {
    uint32_t major = 0;
    uint32_t minor = 0;
    uint32_t patch = 0;
    std::string build;

    // Empty when the text is not of that form or a number does not fit.
    static std::optional<ClientVersion> parse(const std::string& text);

    // Order by major, minor and patch; the build text does not count.
    bool newerThan(const ClientVersion& other) const;
};

// The version this host speaks, and the number old clients compare with.
inline constexpr const char* kServerVersion = "1.0.2+0";
inline constexpr uint32_t kServerOldVersion = 701;

// Whether a client announcing `text` may connect to a server of
// `serverVersion`: a versioned client needs the same major number and a
// minor number not above the server's; an unversioned one must announce a
// decimal number above the old version number. Text that cannot be read
// where a number is needed is refused.
bool clientVersionAccepted(const std::string& text, const ClientVersion& serverVersion);
