#include "logging/ConsoleOverlay.h"

namespace {

// Guarded by the console lock.
ConsoleOverlay* g_overlay = nullptr;

}  // namespace

std::mutex& ConsoleLock() {
    static std::mutex consoleLock;
    return consoleLock;
}

void SetConsoleOverlay(ConsoleOverlay* overlay) { g_overlay = overlay; }

void WriteAroundOverlay(std::ostream& out, std::string_view text) {
    std::lock_guard<std::mutex> consoleLock(ConsoleLock());
    if (g_overlay) g_overlay->hide();
    out << text << std::flush;
    if (g_overlay) g_overlay->show();
}
