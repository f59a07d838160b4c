#pragma once

#include <functional>
#include <string>

// The process-wide status notifier: an optional receiver of short status
// texts (such as "bad_calib") that a host application shows its user. The
// tool itself installs none, so the texts then go nowhere.
using StatusNotifier = std::function<void(const std::string& status)>;

// Installs the notifier (an empty one removes it); returns the previous one.
StatusNotifier installStatusNotifier(StatusNotifier notifier);

// Hands the text to the notifier when one is installed. The notifier is
// called without any lock of this module held.
void notifyStatus(const std::string& status);
