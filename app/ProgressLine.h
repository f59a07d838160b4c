#pragma once

#include <chrono>
#include <ostream>
#include <string>

#include "firmware/ProgressSink.h"
#include "logging/ConsoleOverlay.h"

// How a stage's progress reaches the person at the console, on standard
// error (standard output keeps the dialogue's exact lines).

// The text of a live line: "Writing the flash: 48 KiB of 96 KiB, 50%,
// 120 KiB/s, 0:01 left", the rate and time left once they are known.
std::string DescribeProgress(const std::string& what, const ProgressMeter& meter);

// On a terminal: one line, redrawn in place ("\r", the text, clear to the
// end of the line) at most every tenth of a second or when what is
// happening changes, and cleared when the work ends. The text is cut to the
// terminal's width so that it never wraps (a wrapped line cannot be redrawn).
// While it stands, lines that other threads print through the console
// (WriteAroundOverlay) appear above it, whole.
class TerminalProgress : public ProgressSink, private ConsoleOverlay {
public:
    // `columns`: the terminal's width (0: unknown).
    TerminalProgress(std::ostream& out, unsigned columns);
    ~TerminalProgress() override;

    void begin(const std::string& what, uint64_t total) override;
    void advance(const std::string& what, uint64_t done) override;
    void end() override;

private:
    void draw(const std::string& what);
    void hide() override;
    void show() override;

    std::ostream& m_out;
    const unsigned m_columns;
    // The meter and the pace of redrawing belong to the working thread.
    ProgressMeter m_meter;
    std::string m_lastWhat;
    std::chrono::steady_clock::time_point m_lastDraw{};
    // What stands on the screen: guarded by the console lock, since the
    // threads that print around the line redraw it.
    std::string m_text;
    bool m_shown = false;
};

// Not on a terminal, when asked for (--progress plain): a line each time
// the work passes another tenth, and when what is happening changes.
class PlainProgress : public ProgressSink {
public:
    explicit PlainProgress(std::ostream& out) : m_out(out) {}

    void begin(const std::string& what, uint64_t total) override;
    void advance(const std::string& what, uint64_t done) override;
    void end() override {}

private:
    std::ostream& m_out;
    ProgressMeter m_meter;
    std::string m_lastWhat;
    int m_lastTenth = -1;
};

// The terminal's width in columns, or 0 when the stream is no terminal.
unsigned TerminalColumns(int fd);
