#pragma once

#include <string>

#include "context/ContextMember.h"

// Start-up of the configuration: applies the defaults, then reads the
// section "configuration" of the configuration file (config.json in the
// user's data folder, or the file named by --config). A file that is
// missing, unreadable or malformed leaves the defaults in force.
class ConfigLoader : public ContextMember {
public:
    ConfigLoader();

    // True when the file was read in full, or when there was no file to read.
    bool loaded() const { return m_loaded; }

    // The file that was read or tried ("" when none was).
    const std::string& path() const { return m_path; }

private:
    bool m_loaded = false;
    std::string m_path;
};
