// matrixd: owns the one link to a matrix switcher and serves any number of controllers at
// once, over the router control protocol (TCP 9990) and a raw command port (TCP 9991).
#include <signal.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QSocketNotifier>
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "app/Version.h"
#include "hub/CDaemon.h"
#include "hub/DaemonOptions.h"
#include "hub/web/WebSessions.h"

namespace {

enum ExitCode : int {
    kExitStopped = 0,
    kExitStartFailed = 1,
    kExitUsage = 2,
};

int UsageFailure(const std::string& message) {
    std::fprintf(stderr, "matrixd: %s (try 'matrixd --help')\n", message.c_str());
    return kExitUsage;
}

// Every client costs a descriptor, and the usual soft limit (1024) is far below what the
// system lets a process have. The event loop polls (no select), so any number is fine.
void RaiseDescriptorLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

// --hash-password: the line on standard input (its line end dropped) as the hash
// --web-password-file holds. Read from a pipe or typed: never an argument, which others see.
int HashPassword() {
    std::string password;
    if (!std::getline(std::cin, password) && password.empty()) {
        std::fputs("matrixd: no password on standard input\n", stderr);
        return kExitUsage;
    }
    if (!password.empty() && password.back() == '\r') {
        password.pop_back();
    }
    if (password.empty()) {
        std::fputs("matrixd: an empty password protects nothing\n", stderr);
        return kExitUsage;
    }
    const std::string hash = WebPassword::Hash(password);
    if (hash.empty()) {
        std::fputs("matrixd: the password could not be hashed (out of memory?)\n", stderr);
        return kExitStartFailed;
    }
    std::printf("%s\n", hash.c_str());
    return kExitStopped;
}

}  // namespace

int main(int argc, char** argv) {
    DaemonOptions options;
    try {
        options = ParseDaemonOptions(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const UsageError& error) {
        return UsageFailure(error.what());
    }
    if (options.help) {
        std::fputs(kDaemonUsage, stdout);
        return kExitStopped;
    }
    if (options.version) {
        std::printf("matrixd %s\n", kProgramVersion);
        return kExitStopped;
    }
    if (options.hashPassword) {
        return HashPassword();
    }
    RaiseDescriptorLimit();

    // SIGINT and SIGTERM end the event loop through a descriptor it watches, blocked before
    // any thread starts so that none of them takes the signal instead. A client that closes
    // while it is written to must cost a failed write, not the process.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    ::signal(SIGPIPE, SIG_IGN);
    const int signalFd = ::signalfd(-1, &stopSignals, SFD_CLOEXEC | SFD_NONBLOCK);
    if (signalFd < 0) {
        std::perror("matrixd: signalfd");
        return kExitStartFailed;
    }

    QCoreApplication app(argc, argv);
    QSocketNotifier stopNotifier(signalFd, QSocketNotifier::Read);
    QObject::connect(&stopNotifier, &QSocketNotifier::activated, &app, [signalFd] {
        signalfd_siginfo info{};
        while (::read(signalFd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        }
        QCoreApplication::quit();
    });

    int code = kExitStopped;
    {
        CDaemon daemon(options);
        if (!daemon.Start()) {
            code = kExitStartFailed;
        } else {
            // Under systemd (Type=notify) units ordered after this one start once the ports
            // are bound, not merely once the process runs; elsewhere this does nothing.
            sd_notify(0, "READY=1");
            code = QCoreApplication::exec();
            sd_notify(0, "STOPPING=1");
        }
    }
    ::close(signalFd);
    return code;
}
