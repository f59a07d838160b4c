// The renderings of a stage's progress: the live line of a terminal and the
// plain lines for a file.

#include "app/ProgressLine.h"

#include <gtest/gtest.h>

#include <sstream>
#include <thread>
#include <vector>

#include "logging/ConsoleLine.h"

namespace {

constexpr const char kClear[] = "\r\x1b[K";

std::size_t Count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

TEST(TerminalProgress, RedrawsOneLineInPlaceAndClearsItAtTheEnd) {
    std::ostringstream out;
    TerminalProgress progress(out, 200);
    progress.begin("Writing the flash", 4096);
    progress.advance("Writing the flash", 2048);  // within a tenth of a second: not drawn
    progress.advance("Writing the flash", 4096);  // done: drawn
    progress.end();
    const std::string text = out.str();
    EXPECT_EQ(text.find('\n'), std::string::npos) << "never a new line";
    EXPECT_EQ(text.rfind(std::string(kClear) + "Writing the flash: 0 B of 4.0 KiB, 0%", 0), 0u) << text;
    EXPECT_NE(text.find(std::string(kClear) + "Writing the flash: 4.0 KiB of 4.0 KiB, 100%"), std::string::npos)
        << text;
    EXPECT_EQ(Count(text, kClear), 3u) << "two drawings and the clearing";
    EXPECT_EQ(text.substr(text.size() - 4), kClear) << "ends cleared";
}

TEST(TerminalProgress, ANewStepIsDrawnAtOnceAndTheLineNeverWraps) {
    std::ostringstream out;
    TerminalProgress progress(out, 30);
    progress.begin("Erasing the flash (sector 1 of 2)", 1 << 20);
    progress.advance("Erasing the flash (sector 2 of 2)", 0);
    const std::string text = out.str();
    EXPECT_EQ(Count(text, kClear), 2u) << text;
    EXPECT_NE(text.find(std::string(kClear) + "Erasing the flash (sector 2 o"), std::string::npos) << text;
    std::size_t at = 0;
    for (std::size_t next; (next = text.find(kClear, at + 1)) != std::string::npos; at = next)
        EXPECT_LE(next - at - 4, 29u);
    EXPECT_LE(text.size() - at - 4, 29u) << "cut to the width less one";
}

TEST(TerminalProgress, EndWithoutBeginWritesNothing) {
    std::ostringstream out;
    TerminalProgress progress(out, 80);
    progress.end();
    EXPECT_EQ(out.str(), "");
}

// What a terminal keeps of a stream: the finished lines, and the line the
// cursor stands on. Knows carriage return, new line and clear to the end of
// the line, which is all the progress line uses.
struct Screen {
    std::vector<std::string> lines;
    std::string current;
};

Screen Play(const std::string& bytes) {
    Screen screen;
    std::size_t column = 0;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (bytes.compare(i, 3, "\x1b[K") == 0) {
            screen.current.resize(column);
            i += 2;
        } else if (bytes[i] == '\r') {
            column = 0;
        } else if (bytes[i] == '\n') {
            screen.lines.push_back(screen.current);
            screen.current.clear();
            column = 0;
        } else {
            if (column < screen.current.size()) {
                screen.current[column] = bytes[i];
            } else {
                screen.current.push_back(bytes[i]);
            }
            ++column;
        }
    }
    return screen;
}

// The log server prints its lines on another thread while the live line
// stands (the in-place update logs as it sends): every line must stand whole
// above the live line, never glued to its end, and the line must be redrawn
// below them. Both go to one stream here, as to one terminal.
TEST(TerminalProgress, LinesPrintedFromAnotherThreadStandWholeAboveTheLine) {
    std::ostringstream terminal;
    TerminalProgress progress(terminal, 200);
    constexpr int kLines = 300;
    std::thread printer([&] {
        for (int i = 0; i < kLines; ++i) WriteConsoleLine(terminal, "[Info] Progress line " + std::to_string(i));
    });
    for (int step = 0; step < 2000; ++step) {
        // A new step is drawn at once, so the line is redrawn all the time.
        if (step == 0) progress.begin("Step 0", 2000);
        progress.advance("Step " + std::to_string(step), static_cast<uint64_t>(step));
    }
    printer.join();

    std::string bytes;
    {
        std::lock_guard<std::mutex> consoleLock(ConsoleLock());
        bytes = terminal.str();
    }
    Screen screen = Play(bytes);
    ASSERT_EQ(screen.lines.size(), static_cast<std::size_t>(kLines)) << bytes.substr(0, 2000);
    for (int i = 0; i < kLines; ++i) EXPECT_EQ(screen.lines[i], "[Info] Progress line " + std::to_string(i));
    EXPECT_EQ(screen.current.rfind("Step 1999: ", 0), 0u) << "the line stands below: " << screen.current;

    progress.end();
    screen = Play(terminal.str());
    EXPECT_EQ(screen.current, "") << "cleared at the end";
    // Once ended, the line is no longer taken down and redrawn around others.
    const std::size_t before = terminal.str().size();
    WriteConsoleLine(terminal, "after");
    EXPECT_EQ(terminal.str().substr(before), "after\n");
}

TEST(PlainProgress, OneLinePerTenthAndPerStep) {
    std::ostringstream out;
    PlainProgress progress(out);
    progress.begin("Erasing the flash (sector 1 of 1)", 1000);
    progress.advance("Writing the flash", 0);
    for (uint64_t done = 50; done <= 1000; done += 50) progress.advance("Writing the flash", done);
    progress.end();
    const std::string text = out.str();
    EXPECT_EQ(text.rfind("Erasing the flash (sector 1 of 1): 0%\nWriting the flash: 0%\nWriting the flash: 10%\n", 0),
              0u)
        << text;
    EXPECT_EQ(Count(text, "\n"), 12u) << text;
    EXPECT_NE(text.find("Writing the flash: 100%\n"), std::string::npos);
    EXPECT_EQ(text.find('\r'), std::string::npos);
}

}  // namespace
