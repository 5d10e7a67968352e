// matrixctl: one command to a matrix switcher from the command line, over TCP or a serial
// port, with the reply lines printed as they are or as JSON. For scripts, cron jobs and
// control surfaces; the command texts and the reply reading are the panel's own.
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "tools/matrixctl/CCtlLink.h"
#include "tools/matrixctl/CReplyCollector.h"
#include "tools/matrixctl/CtlOptions.h"
#include "tools/matrixctl/ReplyJson.h"

namespace {

enum ExitCode : int {
    kExitReplied = 0,
    kExitNoReply = 1,
    kExitUsage = 2,
    kExitLink = 3,
};

int Fail(int code, const std::string& message) {
    std::fprintf(stderr, "matrixctl: %s\n", message.c_str());
    if (code == kExitUsage) {
        std::fprintf(stderr, "Try 'matrixctl --help'.\n");
    }
    return code;
}

// Each line goes out at once, so that a pipe sees a long status answer as it comes.
void Print(const std::string& line, bool json) {
    const std::string text = (json ? ReplyLineJson(line) : line) + "\n";
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

int Run(const CtlOptions& options) {
    std::unique_ptr<CCtlLink> link;
    if (options.link == CtlOptions::Link::Network) {
        link = std::make_unique<CCtlNetLink>(options.host, options.port);
    } else {
        link = std::make_unique<CCtlSerialLink>(options.serial, options.baud);
    }
    std::string reason;
    if (!link->Open(reason) || !link->Send(options.command, options.raw, reason)) {
        return Fail(kExitLink, reason);
    }
    if (options.timeoutMs == 0) {
        link->Close();
        return kExitReplied;
    }

    CReplyCollector collector;
    link->StartReading(collector);
    const auto quiet = std::chrono::milliseconds(options.timeoutMs);
    int lines = 0;
    for (auto deadline = CReplyCollector::Clock::now() + quiet;;) {
        const auto line = collector.NextLine(deadline);
        if (!line) {
            break;
        }
        Print(*line, options.json);
        ++lines;
        deadline = CReplyCollector::Clock::now() + quiet;
    }
    // A peer that ended the link has nothing more to say; one that fell silent is cut off.
    const bool ended = collector.Ended();
    const std::string endReason = collector.EndReason();
    link->Close();
    // A last line without its line end is still an answer.
    if (const std::string rest = collector.TakeRest(); !rest.empty()) {
        Print(rest, options.json);
        ++lines;
    }
    if (lines > 0) {
        return kExitReplied;
    }
    if (ended && !endReason.empty()) {
        return Fail(kExitLink, endReason);
    }
    return Fail(kExitNoReply, "no reply within " + std::to_string(options.timeoutMs) + " ms");
}

}  // namespace

int main(int argc, char** argv) {
    CtlOptions options;
    try {
        options = ParseCtlOptions(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const UsageError& error) {
        return Fail(kExitUsage, error.what());
    }
    if (options.help) {
        std::fputs(kCtlUsage, stdout);
        return kExitReplied;
    }
    return Run(options);
}
