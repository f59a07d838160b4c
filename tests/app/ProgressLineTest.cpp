// The renderings of a stage's progress: the live line of a terminal and the
// plain lines for a file.

#include "app/ProgressLine.h"

#include <gtest/gtest.h>

#include <sstream>

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
