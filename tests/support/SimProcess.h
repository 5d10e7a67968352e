#pragma once

// matrixsim as a child process for tests. The including test target defines MATRIXSIM_PATH.
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

extern char** environ;

// Runs matrixsim with the given arguments; its standard output and error are read by Line().
class SimProcess {
  public:
    explicit SimProcess(std::vector<std::string> args) {
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
        posix_spawn_file_actions_addclose(&actions, out[0]);
        if (posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
            throw std::runtime_error("spawn");
        }
        posix_spawn_file_actions_destroy(&actions);
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

  private:
    pid_t m_pid = -1;
    std::FILE* m_out = nullptr;
};
