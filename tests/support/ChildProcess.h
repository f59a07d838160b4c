#pragma once

// Runs a program as a child process for end-to-end tests: standard input
// closed or fed from a string, standard output and error collected, with a
// bound on every wait so that a hanging program fails the test instead of
// the run.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

extern char** environ;

namespace testsupport {

class ChildProcess {
public:
    // With closeStdin the child's standard input is closed outright;
    // otherwise it is a pipe the test can write to.
    ChildProcess(const std::vector<std::string>& argv, bool closeStdin) {
        int out[2], err[2], in[2] = {-1, -1};
        if (pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC)) throw std::runtime_error("pipe");
        if (!closeStdin && pipe2(in, O_CLOEXEC)) throw std::runtime_error("pipe");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        if (closeStdin) {
            posix_spawn_file_actions_addclose(&actions, 0);
        } else {
            posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        }
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_adddup2(&actions, err[1], 2);
        std::vector<char*> args;
        for (auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        int rc = posix_spawn(&m_pid, args[0], &actions, nullptr, args.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        close(err[1]);
        if (in[0] >= 0) close(in[0]);
        m_out = out[0];
        m_err = err[0];
        m_in = in[1];
        if (rc != 0) throw std::runtime_error(std::string("spawn: ") + std::strerror(rc));
    }

    ~ChildProcess() {
        Kill();
        if (m_in >= 0) close(m_in);
        close(m_out);
        close(m_err);
    }

    void Write(const std::string& text) {
        if (m_in >= 0 && write(m_in, text.data(), text.size()) < 0) {
            throw std::runtime_error("write to child");
        }
    }

    void CloseInput() {
        if (m_in >= 0) close(m_in);
        m_in = -1;
    }

    // Collects output until `done(stdout)` holds, the child ends, or the
    // time is up. Returns whether `done` held.
    template <class Done>
    bool ReadUntil(Done done, std::chrono::milliseconds bound) {
        auto deadline = std::chrono::steady_clock::now() + bound;
        while (!done(m_stdout)) {
            auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return false;
            if (!Pump(static_cast<int>(left.count()))) return done(m_stdout);
        }
        return true;
    }

    // Waits for the child to end; returns its exit status, or nothing when it
    // was still running at the bound.
    std::optional<int> Wait(std::chrono::milliseconds bound) {
        auto deadline = std::chrono::steady_clock::now() + bound;
        for (;;) {
            int status = 0;
            pid_t r = waitpid(m_pid, &status, WNOHANG);
            if (r == m_pid) {
                m_pid = -1;
                while (Pump(0)) {
                }
                if (WIFEXITED(status)) return WEXITSTATUS(status);
                return 128 + WTERMSIG(status);
            }
            if (std::chrono::steady_clock::now() > deadline) return std::nullopt;
            Pump(10);
        }
    }

    void Kill() {
        if (m_pid > 0) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
            m_pid = -1;
        }
    }

    const std::string& Stdout() const { return m_stdout; }
    const std::string& Stderr() const { return m_stderr; }

private:
    // Reads what is available within the time; false once both streams ended.
    bool Pump(int timeoutMs) {
        pollfd fds[2] = {{m_out, POLLIN, 0}, {m_err, POLLIN, 0}};
        int n = poll(fds, 2, timeoutMs);
        if (n <= 0) return n == 0;
        bool open = false;
        open |= Drain(fds[0], m_out, m_stdout);
        open |= Drain(fds[1], m_err, m_stderr);
        return open;
    }

    static bool Drain(const pollfd& p, int fd, std::string& into) {
        if (!(p.revents & (POLLIN | POLLHUP))) return true;
        char buffer[4096];
        ssize_t got = read(fd, buffer, sizeof buffer);
        if (got <= 0) return false;
        into.append(buffer, static_cast<size_t>(got));
        return true;
    }

    pid_t m_pid = -1;
    int m_in = -1;
    int m_out = -1;
    int m_err = -1;
    std::string m_stdout;
    std::string m_stderr;
};

// What a program run to its end left: its exit status (nothing when it was
// still running at the bound, and was then killed) and its two outputs.
struct ProgramRun {
    std::optional<int> status;
    std::string out;
    std::string err;
};

inline ProgramRun RunToEnd(const std::vector<std::string>& argv, std::chrono::milliseconds bound) {
    ChildProcess child(argv, /*closeStdin=*/true);
    ProgramRun run;
    run.status = child.Wait(bound);
    run.out = child.Stdout();
    run.err = child.Stderr();
    return run;
}

}  // namespace testsupport
