#pragma once

// A program of ours as a child process: its standard output, standard error and exit code.
// The child inherits the test's environment (MATRIXPANEL_SYSDIR of a ScopedSysDir included),
// less the variables named in `unset`.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <stdexcept>
#include <string>
#include <vector>

extern char** environ;

struct ChildOutcome {
    int exitCode = -1;
    std::string out;
    std::string err;
};

class ChildProcess {
  public:
    // Starts `args[0]` with the rest as its arguments; Finish collects what it did.
    explicit ChildProcess(std::vector<std::string> args,
                          const std::vector<std::string>& unset = {}) {
        std::vector<char*> argv;
        for (auto& arg : args) {
            argv.push_back(arg.data());
        }
        argv.push_back(nullptr);
        std::vector<std::string> env;
        for (char** entry = environ; *entry != nullptr; ++entry) {
            const std::string text = *entry;
            const std::string name = text.substr(0, text.find('='));
            if (std::find(unset.begin(), unset.end(), name) == unset.end()) {
                env.push_back(text);
            }
        }
        std::vector<char*> envp;
        for (auto& entry : env) {
            envp.push_back(entry.data());
        }
        envp.push_back(nullptr);
        int out[2], err[2];
        if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) {
            throw std::runtime_error("pipe");
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_adddup2(&actions, err[1], 2);
        const int spawned =
            posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        ::close(err[1]);
        m_out = out[0];
        m_err = err[0];
        if (spawned != 0) {
            throw std::runtime_error("spawn");
        }
    }
    ~ChildProcess() {
        if (m_pid > 0) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
        ::close(m_out);
        ::close(m_err);
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Reads both outputs to their end and waits for the exit; a run that outlives `limit` is
    // killed (exit code -1).
    ChildOutcome Finish(std::chrono::milliseconds limit = std::chrono::seconds(60)) {
        ChildOutcome outcome;
        const auto deadline = std::chrono::steady_clock::now() + limit;
        bool outOpen = true, errOpen = true;
        while (outOpen || errOpen) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                ::kill(m_pid, SIGKILL);
                break;
            }
            pollfd fds[2] = {{outOpen ? m_out : -1, POLLIN, 0}, {errOpen ? m_err : -1, POLLIN, 0}};
            if (::poll(fds, 2, static_cast<int>(left.count())) <= 0) {
                continue;
            }
            outOpen = Drain(fds[0], m_out, outcome.out) && outOpen;
            errOpen = Drain(fds[1], m_err, outcome.err) && errOpen;
        }
        int status = 0;
        ::waitpid(m_pid, &status, 0);
        m_pid = -1;
        outcome.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return outcome;
    }

  private:
    // False once the pipe has reached its end.
    static bool Drain(const pollfd& ready, int fd, std::string& text) {
        if (ready.fd < 0 || ready.revents == 0) {
            return ready.fd >= 0;
        }
        char buffer[4096];
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0) {
            text.append(buffer, static_cast<std::size_t>(n));
            return true;
        }
        return n < 0 && errno == EINTR;
    }

    pid_t m_pid = -1;
    int m_out = -1;
    int m_err = -1;
};
