#pragma once
// The program under emulation, run as a child of the host: its standard
// input and output are pipes the host drives, its standard error is the
// host's own.

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tyvo::sim::host {

class ToolProcess {
public:
    // Starts argv[0] (a path) with the host's environment, so that it runs
    // inside the same emulation. Throws std::runtime_error when it cannot.
    explicit ToolProcess(const std::vector<std::string>& argv);
    // A tool still running is killed.
    ~ToolProcess();
    ToolProcess(const ToolProcess&) = delete;
    ToolProcess& operator=(const ToolProcess&) = delete;

    // Appends what the tool wrote to its standard output within the time;
    // false once that output has ended.
    bool read(std::string& into, std::chrono::milliseconds timeout);
    // Writes to the tool's standard input; false when it no longer reads.
    bool write(std::string_view text);
    // The exit status once the tool has ended (128 + signal number when a
    // signal ended it); does not wait.
    std::optional<int> exitStatus();
    void kill();
    // The tool's peak resident memory in KiB, once it has ended.
    std::optional<long> peakResidentKiB() const { return m_peakKiB; }

private:
    pid_t m_pid = -1;
    int m_input = -1;
    int m_output = -1;
    std::optional<int> m_status;
    std::optional<long> m_peakKiB;
};

}  // namespace tyvo::sim::host
