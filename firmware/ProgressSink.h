#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

// Where a long piece of work (a restore stage, the in-place update) says how
// far it has come. The work calls begin() once, advance() as it goes and
// end() when it stops, whether it finished or failed; what the reader sees
// (a live line on a terminal, plain percentage lines, nothing) is the
// sink's business. Calls come from the one thread doing the work.
class ProgressSink {
public:
    virtual ~ProgressSink() = default;
    // `what` says what is happening ("Writing the flash"); total is in bytes.
    virtual void begin(const std::string& what, uint64_t total) = 0;
    // Bytes done so far, out of the total given to begin(); `what` may
    // change as the work moves from one step to the next.
    virtual void advance(const std::string& what, uint64_t done) = 0;
    virtual void end() = 0;
};

// How far a piece of work has come, and from its pace how long it still
// needs: the numbers a progress line shows. Pure arithmetic over the times
// it is given, so that it can be tested without waiting.
class ProgressMeter {
public:
    using Clock = std::chrono::steady_clock;

    void start(uint64_t total, Clock::time_point now);
    void update(uint64_t done, Clock::time_point now);

    uint64_t done() const { return m_done; }
    uint64_t total() const { return m_total; }
    // 0..100; a work of no bytes is complete.
    unsigned percent() const;
    // Bytes per second since the last update that had no bytes done (the
    // start, or the end of a step that moved none); nullopt until some time
    // has passed and some bytes are done.
    std::optional<double> rate() const;
    // The time the rest needs at the rate so far; nullopt without a rate.
    std::optional<std::chrono::seconds> remaining() const;

private:
    uint64_t m_total = 0;
    uint64_t m_done = 0;
    Clock::time_point m_started{};
    Clock::time_point m_now{};
};

// "1.5 MiB", "512 KiB", "100 B": sizes the way a person reads them.
std::string FormatByteCount(double bytes);
// "0:07", "12:34", "1:02:03".
std::string FormatDuration(std::chrono::seconds duration);
