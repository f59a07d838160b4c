#include "logging/ProfilingStatistics.h"

#include <cmath>
#include <ostream>

void RunningStatistic::add(double sample) {
    ++count;
    double delta = sample - mean;
    mean += delta / count;
    m2 += delta * (sample - mean);
    if (sample < minimum) minimum = sample;
    if (sample > maximum) maximum = sample;
}

double RunningStatistic::deviation() const { return count < 2 ? 0.0 : std::sqrt(m2 / (count - 1)); }

void ProfilingStatistics::setSmoothing(double frameTimeWeight, double frameRateWeight) {
    m_frameTimeWeight = frameTimeWeight;
    m_frameRateWeight = frameRateWeight;
}

void ProfilingStatistics::recordFrame(int64_t frameId, double seconds, double nowSeconds) {
    if (m_frames.count == 0) {
        m_firstFrame = frameId;
        m_startTime = nowSeconds;
    }
    m_lastFrame = frameId;
    m_endTime = nowSeconds;
    m_frames.add(seconds);

    m_smoothedFrameTime += m_frameTimeWeight * (seconds - m_smoothedFrameTime);
    if (m_previousFrameEnd >= 0.0 && nowSeconds > m_previousFrameEnd) {
        double rate = 1.0 / (nowSeconds - m_previousFrameEnd);
        m_smoothedFrameRate += m_frameRateWeight * (rate - m_smoothedFrameRate);
    }
    m_previousFrameEnd = nowSeconds;
}

void ProfilingStatistics::recordTimer(const std::string& timer, double seconds) {
    m_timers[timer].statistic.add(seconds);
}

void ProfilingStatistics::recordSubTimer(const std::string& timer, const std::string& subTimer, double seconds) {
    auto& subTimers = m_timers[timer].subTimers;
    for (auto& [name, statistic] : subTimers) {
        if (name == subTimer) {
            statistic.add(seconds);
            return;
        }
    }
    subTimers.emplace_back(subTimer, RunningStatistic());
    subTimers.back().second.add(seconds);
}

double ProfilingStatistics::frameRate() const {
    double elapsed = m_endTime - m_startTime;
    return elapsed > 0.0 ? static_cast<double>(m_lastFrame - m_firstFrame) / elapsed : 0.0;
}

void ProfilingStatistics::resetFrames() {
    m_frames.reset();
    m_firstFrame = m_lastFrame = 0;
    m_startTime = m_endTime = 0.0;
}

void ProfilingStatistics::writeText(std::ostream& out, int level) {
    out << "Frames " << m_firstFrame << " to " << m_lastFrame << " (" << frameRate() << " fps): avg " << m_frames.mean
        << ", std " << m_frames.deviation() << '\n';
    resetFrames();
    if (level <= 1) return;
    for (auto& [name, timer] : m_timers) {
        out << "  " << name << ": avg " << timer.statistic.mean << ", std " << timer.statistic.deviation() << '\n';
        timer.statistic.reset();
        if (level <= 2) continue;
        for (auto& [subName, statistic] : timer.subTimers) {
            out << "    " << subName << ": avg " << statistic.mean << ", std " << statistic.deviation() << '\n';
            statistic.reset();
        }
    }
}

void ProfilingStatistics::writeCsv(std::ostream& out, int level, bool& headerPending) {
    auto eachColumn = [&](auto&& cell) {
        if (level <= 1) return;
        for (auto& [name, timer] : m_timers) {
            cell(name, timer.statistic);
            if (level <= 2) continue;
            for (auto& [subName, statistic] : timer.subTimers) cell(subName, statistic);
        }
    };
    if (headerPending) {
        out << ",Total,";
        eachColumn([&](const std::string& name, const RunningStatistic&) { out << name << ','; });
        out << '\n';
        headerPending = false;
    }
    out << "avg," << m_frames.mean << ',';
    eachColumn([&](const std::string&, const RunningStatistic& s) { out << s.mean << ','; });
    out << '\n';
    out << "std," << m_frames.deviation() << ',';
    eachColumn([&](const std::string&, const RunningStatistic& s) { out << s.deviation() << ','; });
    out << '\n';
    if (level > 1) {
        resetFrames();
        eachColumn([](const std::string&, RunningStatistic& s) { s.reset(); });
    }
}
