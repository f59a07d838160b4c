#include "sim/host/ToolProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

extern char** environ;

namespace tyvo::sim::host {

ToolProcess::ToolProcess(const std::vector<std::string>& argv) {
    if (argv.empty()) throw std::runtime_error("no program to run");
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0) throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
    if (pipe2(out, O_CLOEXEC) != 0) {
        close(in[0]);
        close(in[1]);
        throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    std::vector<char*> args;
    args.reserve(argv.size() + 1);
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const int rc = posix_spawn(&m_pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    m_input = in[1];
    m_output = out[0];
    if (rc != 0) {
        m_pid = -1;
        close(m_input);
        close(m_output);
        throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(rc));
    }
}

ToolProcess::~ToolProcess() {
    kill();
    if (m_input >= 0) close(m_input);
    if (m_output >= 0) close(m_output);
}

bool ToolProcess::read(std::string& into, std::chrono::milliseconds timeout) {
    if (m_output < 0) return false;
    pollfd fd{m_output, POLLIN, 0};
    const int ready = poll(&fd, 1, static_cast<int>(timeout.count()));
    if (ready < 0) return errno == EINTR;
    if (ready == 0) return true;
    char buffer[4096];
    const ssize_t got = ::read(m_output, buffer, sizeof buffer);
    if (got < 0) return errno == EINTR || errno == EAGAIN;
    if (got == 0) {
        close(m_output);
        m_output = -1;
        return false;
    }
    into.append(buffer, static_cast<std::size_t>(got));
    return true;
}

bool ToolProcess::write(std::string_view text) {
    while (!text.empty()) {
        if (m_input < 0) return false;
        const ssize_t put = ::write(m_input, text.data(), text.size());
        if (put < 0) {
            if (errno == EINTR) continue;
            return false;  // EPIPE: the tool is gone (SIGPIPE is ignored by the host)
        }
        text.remove_prefix(static_cast<std::size_t>(put));
    }
    return true;
}

std::optional<int> ToolProcess::exitStatus() {
    if (m_status || m_pid <= 0) return m_status;
    int status = 0;
    rusage usage{};
    if (wait4(m_pid, &status, WNOHANG, &usage) != m_pid) return std::nullopt;
    m_pid = -1;
    m_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    m_peakKiB = usage.ru_maxrss;
    return m_status;
}

void ToolProcess::kill() {
    if (m_pid <= 0) return;
    ::kill(m_pid, SIGKILL);
    int status = 0;
    rusage usage{};
    if (wait4(m_pid, &status, 0, &usage) == m_pid) {
        m_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        m_peakKiB = usage.ru_maxrss;
    }
    m_pid = -1;
}

}  // namespace tyvo::sim::host
