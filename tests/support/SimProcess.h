#pragma once

// matrixsim as a child process for tests. The including test target defines MATRIXSIM_PATH.
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

extern char** environ;

// Runs matrixsim with the given arguments; its standard output and error are read by Line().
// It inherits no descriptor of the test beyond standard input. A descriptor limit above 0 is
// set as its RLIMIT_NOFILE right after the start (a limit only refuses new descriptors, so the
// simulator may have opened its own by then).
class SimProcess {
  public:
    explicit SimProcess(std::vector<std::string> args, rlim_t descriptorLimit = 0) {
        args.insert(args.begin(), MATRIXSIM_PATH);
        std::vector<char*> argv;
        for (auto& arg : args) {
            argv.push_back(arg.data());
        }
        argv.push_back(nullptr);
        int out[2];
        if (::pipe(out) != 0) {
            throw std::runtime_error("pipe");
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_adddup2(&actions, out[1], 2);
        posix_spawn_file_actions_addclosefrom_np(&actions, 3);
        if (posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
            throw std::runtime_error("spawn");
        }
        posix_spawn_file_actions_destroy(&actions);
        if (descriptorLimit > 0) {
            const rlimit limit{descriptorLimit, descriptorLimit};
            if (::prlimit(m_pid, RLIMIT_NOFILE, &limit, nullptr) != 0) {
                throw std::runtime_error("prlimit");
            }
        }
        ::close(out[1]);
        m_out = ::fdopen(out[0], "r");
    }
    ~SimProcess() {
        if (m_pid > 0) {
            ::kill(m_pid, SIGKILL);
            Wait();
        }
        std::fclose(m_out);
    }
    // The next line it prints, without its line end; empty at its end.
    std::string Line() {
        char line[512];
        if (std::fgets(line, sizeof line, m_out) == nullptr) {
            return {};
        }
        std::string text(line);
        while (!text.empty() && text.back() == '\n') {
            text.pop_back();
        }
        return text;
    }
    std::uint16_t Port() {
        for (std::string line = Line(); !line.empty(); line = Line()) {
            const auto at = line.find("127.0.0.1:");
            if (at != std::string::npos) {
                return static_cast<std::uint16_t>(std::stoi(line.substr(at + 10)));
            }
        }
        return 0;
    }
    int Wait() {
        int status = 0;
        ::waitpid(m_pid, &status, 0);
        m_pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    void Signal(int sig) { ::kill(m_pid, sig); }
    pid_t Pid() const { return m_pid; }

  private:
    pid_t m_pid = -1;
    std::FILE* m_out = nullptr;
};
