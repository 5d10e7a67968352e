#pragma once

// matrixd as a child process for tests (the including target defines MATRIXD_PATH). Its
// standard output gives the ports it listens on; its standard error goes to a file that the
// test reads as the daemon's log. It inherits the test's environment, MATRIXPANEL_SYSDIR of a
// ScopedSysDir included, and no descriptor beyond standard input.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <regex>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/LinkTestSupport.h"

extern char** environ;

class MatrixdProcess {
  public:
    // Starts matrixd with `args` (the router and raw ports picked free unless given) and waits
    // for the lines that name both ports; Started() is false when they did not come.
    MatrixdProcess(std::vector<std::string> args, const std::string& logPath,
                   bool advertise = false)
        : m_log(logPath) {
        const auto has = [&](const char* option) {
            for (const auto& arg : args) {
                if (arg == option) {
                    return true;
                }
            }
            return false;
        };
        for (const char* option : {"--videohub-port", "--raw-port", "--web-port", "--swp08-port"}) {
            if (!has(option)) {
                args.insert(args.end(), {option, "0"});
            }
        }
        for (std::size_t i = 0; i + 1 < args.size(); ++i) {
            m_bWeb = m_bWeb && !(args[i] == "--web-port" && args[i + 1] == "off");
        }
        // Tests announce nothing on the network of the machine they run on.
        if (!advertise) {
            args.insert(args.end(), {"--no-advertise"});
        }
        args.insert(args.begin(), MATRIXD_PATH);
        std::vector<char*> argv;
        for (auto& arg : args) {
            argv.push_back(arg.data());
        }
        argv.push_back(nullptr);
        int out[2];
        if (::pipe2(out, O_CLOEXEC) != 0) {
            throw std::runtime_error("pipe");
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_addopen(&actions, 2, logPath.c_str(),
                                         O_WRONLY | O_CREAT | O_APPEND, 0644);
        const int spawned = posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        m_out = out[0];
        if (spawned != 0) {
            m_pid = -1;
            return;
        }
        ReadPorts();
    }
    ~MatrixdProcess() {
        if (m_pid > 0) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
        ::close(m_out);
    }
    MatrixdProcess(const MatrixdProcess&) = delete;
    MatrixdProcess& operator=(const MatrixdProcess&) = delete;

    bool Started() const { return m_nRouterPort != 0 && m_nRawPort != 0; }
    std::uint16_t RouterPort() const { return m_nRouterPort; }
    std::uint16_t RawPort() const { return m_nRawPort; }
    std::uint16_t WebPort() const { return m_nWebPort; }
    std::uint16_t Swp08Port() const { return m_nSwp08Port; }
    pid_t Pid() const { return m_pid; }
    std::string Log() const { return FileText(m_log); }

    // SIGTERM, then the exit code (-1 for a death by signal or no exit within 20 s).
    int Stop() {
        if (m_pid <= 0) {
            return -1;
        }
        ::kill(m_pid, SIGTERM);
        int status = 0;
        const bool exited = WaitUntil([&] { return ::waitpid(m_pid, &status, WNOHANG) == m_pid; });
        if (!exited) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, &status, 0);
        }
        m_pid = -1;
        return exited && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

  private:
    // "videohub 127.0.0.1:40123", "raw 127.0.0.1:40124" and "web ..."; gives up when standard
    // output ends (the daemon exited) or the time runs out.
    void ReadPorts() {
        std::string text;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (std::chrono::steady_clock::now() < deadline) {
            pollfd ready{m_out, POLLIN, 0};
            if (::poll(&ready, 1, 100) > 0) {
                char buffer[256];
                const ssize_t n = ::read(m_out, buffer, sizeof buffer);
                if (n <= 0) {
                    break;
                }
                text.append(buffer, static_cast<std::size_t>(n));
            }
            m_nRouterPort = PortOf(text, "videohub");
            m_nRawPort = PortOf(text, "raw");
            m_nWebPort = PortOf(text, "web");
            m_nSwp08Port = PortOf(text, "swp08");
            if (m_nRouterPort != 0 && m_nRawPort != 0 && (m_nWebPort != 0 || !m_bWeb)) {
                break;
            }
        }
    }
    // The port of the whole line "<kind> ADDR:PORT".
    static std::uint16_t PortOf(const std::string& text, const char* kind) {
        std::smatch match;
        const std::regex line(std::string("(^|\n)") + kind + " \\S+:(\\d+)\n");
        return std::regex_search(text, match, line)
                   ? static_cast<std::uint16_t>(std::stoi(match[2]))
                   : 0;
    }

    pid_t m_pid = -1;
    int m_out = -1;
    std::string m_log;
    std::uint16_t m_nRouterPort = 0;
    std::uint16_t m_nRawPort = 0;
    std::uint16_t m_nWebPort = 0;
    std::uint16_t m_nSwp08Port = 0;
    bool m_bWeb = true;
};
