#include "links/FrontmostApplication.h"

// A Linux desktop has no foreground-window query that works the same under
// every session type (X11, the Wayland compositors, a console): nothing is
// known until a client reports the frontmost application, so the process id
// stays 0 until then.
std::optional<FrontmostApplication> queryDesktopForeground() { return std::nullopt; }
