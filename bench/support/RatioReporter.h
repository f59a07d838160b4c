#pragma once

// Runs the registered benchmarks with the normal console output, keeps each
// result's time per iteration, and then prints ratios of chosen pairs: a
// figure means little on its own, a ratio against a peer measured in the same
// run on the same machine is what we compare.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace benchsupport {

class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const auto& run : runs) {
            if (run.run_type == Run::RT_Iteration && !run.error_occurred) {
                m_times[run.benchmark_name()] = run.GetAdjustedRealTime();
                m_cpuTimes[run.benchmark_name()] = run.GetAdjustedCPUTime();
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }

    // Looks a result up by its full name (e.g. "BM_Fire/8"): the wall-clock
    // time, or with `cpu` the processor time of this process (steadier on a
    // shared machine for work done on the benchmark's own thread).
    bool Time(const std::string& name, double* time, bool cpu = false) const {
        const auto& times = cpu ? m_cpuTimes : m_times;
        auto found = times.find(name);
        if (found == times.end()) return false;
        *time = found->second;
        return true;
    }

    // Prints "label: ours / peer = ratio" for each pair that ran.
    void PrintRatios(const std::vector<std::pair<std::string, std::string>>& pairs, const char* heading,
                     bool cpu = false) const {
        std::printf("\n%s\n", heading);
        for (const auto& [ours, peer] : pairs) {
            double a = 0, b = 0;
            if (Time(ours, &a, cpu) && Time(peer, &b, cpu) && b > 0) {
                std::printf("  %-40s / %-40s = %6.2f\n", ours.c_str(), peer.c_str(), a / b);
            } else {
                std::printf("  %-40s / %-40s : not measured\n", ours.c_str(), peer.c_str());
            }
        }
    }

private:
    std::map<std::string, double> m_times;
    std::map<std::string, double> m_cpuTimes;
};

}  // namespace benchsupport
