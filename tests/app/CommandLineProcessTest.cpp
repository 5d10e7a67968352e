// matrixpanel's command line, run as a real process where no display is: what it prints and
// how it ends.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

extern char** environ;

namespace {

struct Outcome {
    int exitCode = -1;
    std::string out;
    std::string err;
};

std::string FirstLine(const std::string& text) {
    return text.substr(0, text.find('\n'));
}

// Runs matrixpanel with the arguments and without any display or platform choice.
Outcome RunPanel(const std::vector<std::string>& args) {
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        if (entry.rfind("DISPLAY=", 0) != 0 && entry.rfind("WAYLAND_DISPLAY=", 0) != 0 &&
            entry.rfind("QT_QPA_PLATFORM=", 0) != 0) {
            env.push_back(entry);
        }
    }
    std::vector<std::string> argv = {MATRIXPANEL_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> argp, envp;
    for (auto& a : argv) {
        argp.push_back(a.data());
    }
    for (auto& e : env) {
        envp.push_back(e.data());
    }
    argp.push_back(nullptr);
    envp.push_back(nullptr);

    int out[2], err[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe";
        return {};
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, argp[0], &actions, nullptr, argp.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    ::close(err[1]);
    Outcome outcome;
    if (spawned == 0) {
        // Both pipes are read as they fill, so that neither can stall the child.
        pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
        std::string* sinks[2] = {&outcome.out, &outcome.err};
        int open = 2;
        while (open > 0 && ::poll(fds, 2, 30000) > 0) {
            for (int k = 0; k < 2; ++k) {
                if (fds[k].fd < 0 || fds[k].revents == 0) {
                    continue;
                }
                char buffer[4096];
                const ssize_t n = ::read(fds[k].fd, buffer, sizeof buffer);
                if (n > 0) {
                    sinks[k]->append(buffer, static_cast<std::size_t>(n));
                } else {
                    fds[k].fd = -1;
                    --open;
                }
            }
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
        outcome.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    ::close(out[0]);
    ::close(err[0]);
    return outcome;
}

}  // namespace

TEST(CommandLine, PrintsOrRefusesWithoutADisplay) {
    struct Case {
        std::vector<std::string> args;
        int exitCode;
        std::string outFirstLine;
        std::string errFirstLine;
    };
    const std::string usage = "Usage: matrixpanel [options]";
    const Case cases[] = {
        {{"--help"}, 0, usage, ""},
        {{"-h"}, 0, usage, ""},
        {{"--version"}, 0, "matrixpanel 1.0", ""},
        {{"--baud", "9601"},
         2,
         "",
         "matrixpanel: bad rate for --baud: '9601' (not a rate of the baud list)"},
        {{"--baud=fast"},
         2,
         "",
         "matrixpanel: bad rate for --baud: 'fast' (not a rate of the baud list)"},
        {{"--baud"}, 2, "", "matrixpanel: Missing value after '--baud'."},
        {{"--bogus"}, 2, "", "matrixpanel: Unknown option 'bogus'."},
        {{"COM1"}, 2, "", "matrixpanel: unexpected argument 'COM1'"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.front());
        const Outcome outcome = RunPanel(c.args);
        EXPECT_EQ(outcome.exitCode, c.exitCode);
        EXPECT_EQ(FirstLine(outcome.out), c.outFirstLine);
        EXPECT_EQ(FirstLine(outcome.err), c.errFirstLine);
        if (c.exitCode == 2) {
            // A mistake is followed by the usage, on standard error.
            EXPECT_NE(outcome.err.find("\n" + usage + "\n"), std::string::npos) << outcome.err;
        }
    }
}
