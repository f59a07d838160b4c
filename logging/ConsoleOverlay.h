#pragma once

#include <mutex>
#include <ostream>
#include <string_view>

// A live line at the bottom of the terminal (the progress line on standard
// error) and the whole lines other threads print at any moment (the
// dialogue, the log server's batches) share one screen. A line printed while
// the live line stands would be glued to its end. So every printer of whole
// lines goes through WriteAroundOverlay: the live line is taken down, the
// text printed and the live line drawn again, all under the console lock.
class ConsoleOverlay {
public:
    virtual ~ConsoleOverlay() = default;
    // Both are called with the console lock held, from any thread.
    virtual void hide() = 0;
    virtual void show() = 0;
};

// The console lock: held while the live line is drawn and while text is
// printed around it. A leaf: nothing else is locked while it is held (the
// log server holds its output lock when it takes it, never the other way).
std::mutex& ConsoleLock();

// The live line now standing, or none (nullptr). The caller holds the
// console lock.
void SetConsoleOverlay(ConsoleOverlay* overlay);

// Prints `text` (whole lines) to `out` and flushes, with the live line, if
// one stands, taken down before and drawn again after.
void WriteAroundOverlay(std::ostream& out, std::string_view text);
