#pragma once

#include <optional>
#include <string>

namespace Config {

// The per-user application data folder: $APPDATA when set, else
// $XDG_CONFIG_HOME, else $HOME/.config. Empty when none of them is set (a
// process without a user, such as a system service).
std::optional<std::string> userDataFolder();

// The path of a file in the product folder "Tyvo" of the data folder; the
// folders are created when missing. Without a data folder the product folder
// is taken in the working directory.
std::string dataFilePath(const std::string& name);

}  // namespace Config
