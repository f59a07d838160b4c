#pragma once

#include <cstdint>
#include <iosfwd>
#include <limits>
#include <map>
#include <string>
#include <utility>
#include <vector>

// A running mean and spread (Welford's method): one pass, no stored samples.
struct RunningStatistic {
    uint32_t count = 0;
    double mean = 0.0;
    double m2 = 0.0;  // sum of squared deviations from the mean
    double minimum = std::numeric_limits<double>::max();
    double maximum = std::numeric_limits<double>::lowest();

    void add(double sample);
    // Sample standard deviation; 0 below two samples.
    double deviation() const;
    void reset() { *this = RunningStatistic(); }
};

// Timings fed by the components, printed by the log server at every flush.
// Not thread-safe: the log server guards it.
class ProfilingStatistics {
public:
    // One frame took `seconds`; `nowSeconds` is the steady time it ended,
    // from which the frame rate of the interval is computed.
    void recordFrame(int64_t frameId, double seconds, double nowSeconds);
    void recordTimer(const std::string& timer, double seconds);
    void recordSubTimer(const std::string& timer, const std::string& subTimer, double seconds);

    bool hasTimers() const { return !m_timers.empty(); }

    // The text form:
    //   Frames <first> to <last> (<rate> fps): avg <mean>, std <deviation>
    // then, above level 1, each timer ("  <name>: avg …, std …") and above
    // level 2 each of its sub-timers ("    <name>: …"). Every statistic
    // printed is reset.
    void writeText(std::ostream& out, int level);

    // The comma-separated form: a header line once (while `headerPending`),
    // then a line of means and one of deviations. Above level 1 the timers
    // are included and every statistic is reset afterwards.
    void writeCsv(std::ostream& out, int level, bool& headerPending);

    // Frame time and frame rate smoothed exponentially over recent frames.
    double smoothedFrameTime() const { return m_smoothedFrameTime; }
    double smoothedFrameRate() const { return m_smoothedFrameRate; }

    // Weights of the newest sample in the two smoothed figures.
    void setSmoothing(double frameTimeWeight, double frameRateWeight);

private:
    struct Timer {
        RunningStatistic statistic;
        // In the order they were first recorded.
        std::vector<std::pair<std::string, RunningStatistic>> subTimers;
    };

    double frameRate() const;
    void resetFrames();

    RunningStatistic m_frames;
    int64_t m_firstFrame = 0;
    int64_t m_lastFrame = 0;
    double m_startTime = 0.0;
    double m_endTime = 0.0;
    std::map<std::string, Timer> m_timers;

    double m_frameTimeWeight = 0.05;
    double m_frameRateWeight = 0.2;
    double m_smoothedFrameTime = 0.0;
    double m_smoothedFrameRate = 0.0;
    double m_previousFrameEnd = -1.0;
};
