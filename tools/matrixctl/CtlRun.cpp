#include "tools/matrixctl/CtlRun.h"

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>

#include "tools/matrixctl/CCtlLink.h"
#include "tools/matrixctl/CReplyCollector.h"
#include "tools/matrixctl/ReplyJson.h"

namespace {

using Clock = CReplyCollector::Clock;
using Stop = CReplyCollector::Stop;
using std::chrono::milliseconds;

constexpr milliseconds kReconnectPause{2000};
// How often a monitor looks for a stop signal while it waits.
constexpr milliseconds kSignalCheck{100};

void Say(const std::string& message) {
    std::fprintf(stderr, "matrixctl: %s\n", message.c_str());
}

// "the --max-time of 300 ms": what ended a wait that the whole call's limit cut short.
std::string MaxTimeName(const CtlOptions& options) {
    return "the --max-time of " + std::to_string(options.maxTimeMs) + " ms";
}

std::unique_ptr<CCtlLink> MakeLink(const CtlOptions& options, Clock::time_point deadline) {
    if (options.link == CtlOptions::Link::Network) {
        return std::make_unique<CCtlNetLink>(options.host, options.port, deadline,
                                             MaxTimeName(options));
    }
    return std::make_unique<CCtlSerialLink>(options.serial, options.baud);
}

// Standard output: each line goes out at once, so that a pipe sees a long status answer, and a
// control surface its feedback, as it comes.
class CPrinter {
  public:
    explicit CPrinter(const CtlOptions& options) : m_options(options) {}

    void Reply(const CReplyCollector::Line& line) {
        if (!m_options.json && IsHubLinkDownLine(line.text)) {
            return;  // no reply of the switcher's: the caller says it on standard error
        }
        Put(m_options.json ? ReplyLineJson(line.text, &m_options.names) : line.text);
        if (line.cut) {
            Say("a reply line longer than " + std::to_string(ReplyLineReader::kMaxLine) +
                " bytes was cut there");
        }
    }
    void LinkState(bool up) {
        if (m_options.json) {
            Put(std::string("{\"kind\":\"link\",\"state\":\"") + (up ? "up" : "down") + "\"}");
        }
    }

  private:
    static void Put(std::string text) {
        text += '\n';
        std::fwrite(text.data(), 1, text.size(), stdout);
        std::fflush(stdout);
    }

    const CtlOptions& m_options;
};

// What a line the peer started and never ended looked like (the start of an overlong one is
// already out, marked as cut).
std::string Unfinished(const std::string& fragment) {
    return fragment.empty() ? "an overlong reply line" : "a reply line: " + JsonString(fragment);
}

// A line the peer started and never ended is no reply: said on standard error, not printed.
void ReportUnfinished(CReplyCollector& collector, const std::string& when) {
    if (std::string fragment; collector.TakeUnfinished(fragment)) {
        Say(fragment.empty()
                ? "the rest of an overlong reply line was dropped " + when
                : "incomplete reply line " + when + ", not printed: " + JsonString(fragment));
    }
}

// The replies to one command, taken until its stop rule is met.
class CCommandReplies {
  public:
    CCommandReplies(const CtlOptions& options, const CtlCommand& command, CPrinter& printer)
        : m_options(options), m_command(command), m_printer(printer) {}

    // Prints the line; true once the stop rule is met (nothing more is taken then).
    bool Take(const CReplyCollector::Line& line) {
        m_printer.Reply(line);
        if (IsHubLinkDownLine(line.text)) {
            // matrixd's answer in place of the switcher's: the command was not sent, and no
            // reply will come.
            m_bHubLinkDown = true;
            return true;
        }
        ++m_nLines;
        const ReplyRefusal refusal = ClassifyRefusal(line.text);
        if (refusal != ReplyRefusal::None && refusal != m_command.ownAnswer && !m_refusal) {
            m_refusal = line.text;
        }
        if (!m_options.until.empty() && line.text.find(m_options.until) != std::string::npos) {
            m_bUntilSeen = true;
        }
        return Done();
    }

    // The stop rule is met: the awaited lines came (or matrixd said none will).
    bool Done() const {
        if (m_bHubLinkDown) {
            return true;
        }
        if (!m_options.until.empty()) {
            return m_bUntilSeen;
        }
        return m_options.stopAfterLines > 0 && m_nLines >= m_options.stopAfterLines;
    }
    // The command got what it waited for: its stop rule, or without one any line.
    bool Answered() const {
        return m_options.stopAfterLines == 0 && m_options.until.empty() ? m_nLines > 0 : Done();
    }
    bool Refused() const { return m_refusal.has_value(); }
    bool HubLinkDown() const { return m_bHubLinkDown; }

    // The command's exit code, said on standard error unless it is 0. `atDeadline`: the reading
    // was ended by --max-time, not by the quiet time.
    int Code(bool atDeadline = false) const {
        if (m_bHubLinkDown) {
            return CtlFail(kExitLink, "the switcher link is down (matrixd)");
        }
        if (m_refusal) {
            return CtlFail(kExitRefused, "the switcher refused: " + JsonString(*m_refusal));
        }
        if (Answered()) {
            return kExitReplied;
        }
        const std::string within =
            " within " +
            (atDeadline ? MaxTimeName(m_options) : std::to_string(m_options.timeoutMs) + " ms");
        if (!m_options.until.empty() && m_nLines > 0) {
            return CtlFail(kExitNoReply,
                           "no reply line containing " + JsonString(m_options.until) + within);
        }
        if (m_nLines > 0) {
            return CtlFail(kExitNoReply, "only " + std::to_string(m_nLines) + " of " +
                                             std::to_string(m_options.stopAfterLines) +
                                             " reply lines" + within);
        }
        return CtlFail(kExitNoReply, "no reply" + within);
    }

  private:
    const CtlOptions& m_options;
    const CtlCommand& m_command;
    CPrinter& m_printer;
    int m_nLines = 0;
    bool m_bUntilSeen = false;
    bool m_bHubLinkDown = false;
    std::optional<std::string> m_refusal;
};

// Takes lines until the stop rule is met (None), the quiet time or the deadline passes, or the
// link ends.
Stop ReadReplies(CReplyCollector& collector, CCommandReplies& replies, const CtlOptions& options,
                 Clock::time_point deadline) {
    for (;;) {
        Stop stop = Stop::None;
        const auto line = collector.Next(milliseconds(options.timeoutMs), deadline, stop);
        if (!line) {
            return stop;
        }
        if (replies.Take(*line)) {
            return Stop::None;
        }
    }
}

// The code of the first failure: a later command's success does not hide it.
struct FirstFailure {
    int code = kExitReplied;
    void Note(int next) {
        if (code == kExitReplied) {
            code = next;
        }
    }
};

// SIGINT and SIGTERM are held back in every thread (so no blocking call of a link's reader is
// interrupted) and taken by the monitor's main thread when it looks for them.
class CStopSignals {
  public:
    CStopSignals() {
        sigemptyset(&m_set);
        sigaddset(&m_set, SIGINT);
        sigaddset(&m_set, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &m_set, &m_previous);
    }
    ~CStopSignals() { pthread_sigmask(SIG_SETMASK, &m_previous, nullptr); }
    CStopSignals(const CStopSignals&) = delete;
    CStopSignals& operator=(const CStopSignals&) = delete;

    bool Arrived() {
        if (m_bArrived) {
            return true;
        }
        const timespec now{0, 0};
        m_bArrived = sigtimedwait(&m_set, nullptr, &now) > 0;
        return m_bArrived;
    }

    // Waits for `pause` or until a stop signal or the deadline; true when it is time to stop.
    bool Pause(milliseconds pause, Clock::time_point deadline) {
        const auto end = std::min(Clock::now() + pause, deadline);
        for (auto now = Clock::now(); now < end; now = Clock::now()) {
            const auto slice = std::min<Clock::duration>(end - now, kSignalCheck);
            const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(slice).count();
            const timespec wait{static_cast<time_t>(ns / 1'000'000'000),
                                static_cast<long>(ns % 1'000'000'000)};
            if (sigtimedwait(&m_set, nullptr, &wait) > 0) {
                m_bArrived = true;
                return true;
            }
        }
        return Arrived() || Clock::now() >= deadline;
    }

  private:
    sigset_t m_set{};
    sigset_t m_previous{};
    bool m_bArrived = false;
};

}  // namespace

int CtlFail(int code, const std::string& message) {
    Say(message);
    if (code == kExitUsage) {
        std::fprintf(stderr, "Try 'matrixctl --help'.\n");
    }
    return code;
}

int RunCommands(const CtlOptions& options) {
    const auto deadline = Clock::now() + milliseconds(options.maxTimeMs);
    CPrinter printer(options);
    const std::unique_ptr<CCtlLink> link = MakeLink(options, deadline);
    std::string reason;
    if (!link->Open(reason)) {
        return CtlFail(kExitLink, reason);
    }
    CReplyCollector collector;
    const bool wait = options.timeoutMs > 0;
    if (wait) {
        link->StartReading(collector);
    }
    FirstFailure result;
    bool earlyStop = false;
    for (std::size_t sent = 0; sent < options.commands.size();) {
        const CtlCommand& command = options.commands[sent];
        if (earlyStop) {
            collector.Discard();  // the rest of an answer cut short answers nothing sent now
        }
        if (!link->Send(command.command, command.raw, reason)) {
            result.Note(CtlFail(kExitLink, reason));
            break;
        }
        ++sent;
        if (!wait) {
            continue;
        }
        const bool last = sent == options.commands.size();
        collector.Restart();
        CCommandReplies replies(options, command, printer);
        const Stop stop = ReadReplies(collector, replies, options, deadline);
        if (stop == Stop::Ended) {
            std::string fragment;
            const bool cut = collector.TakeUnfinished(fragment);
            if (cut || !last || !replies.Answered()) {
                const std::string why = collector.EndReason();
                Say(cut ? why + ", in the middle of " + Unfinished(fragment) : why);
                result.Note(replies.Refused() ? replies.Code() : kExitLink);
            } else {
                result.Note(replies.Code());
            }
            break;
        }
        if (stop == Stop::Deadline || last) {
            // Lines that arrive while the link is being closed are still answers to this one.
            collector.Release();
            link->Close();
            while (!replies.Done()) {
                const auto line = collector.TryNext();
                if (!line || replies.Take(*line)) {
                    break;
                }
            }
            // A command left without its replies says so itself, naming the limit.
            const bool cut = stop == Stop::Deadline && !replies.Done();
            if (stop == Stop::Deadline && (replies.Answered() || replies.Refused())) {
                Say("stopped at --max-time " + std::to_string(options.maxTimeMs) + " ms");
            }
            if (replies.Done()) {
                collector.Discard();  // what follows the awaited line was not waited for
            } else {
                ReportUnfinished(collector, "at the end");
            }
            result.Note(replies.Code(cut));
            if (!last) {
                const std::size_t unsent = options.commands.size() - sent;
                result.Note(CtlFail(kExitNoReply, std::to_string(unsent) + " command" +
                                                      (unsent == 1 ? "" : "s") + " not sent"));
            }
            break;
        }
        if (replies.HubLinkDown()) {
            result.Note(replies.Code());  // the next commands would meet the same
            break;
        }
        earlyStop = stop == Stop::None;
        if (!earlyStop) {
            ReportUnfinished(collector, "before the next command");
        }
        result.Note(replies.Code());
    }
    collector.Release();
    link->Close();
    return result.code;
}

int RunMonitor(const CtlOptions& options) {
    CStopSignals signals;
    const auto deadline = options.maxTimeGiven ? Clock::now() + milliseconds(options.maxTimeMs)
                                               : Clock::time_point::max();
    CPrinter printer(options);
    bool downSaid = false;
    const auto linkDown = [&](const std::string& reason) {
        if (!downSaid) {
            Say(reason + "; opening it again every " +
                std::to_string(kReconnectPause.count() / 1000) + " s");
            printer.LinkState(false);
            downSaid = true;
        }
    };
    while (!signals.Arrived() && Clock::now() < deadline) {
        const std::unique_ptr<CCtlLink> link = MakeLink(options, deadline);
        std::string reason;
        if (!link->Open(reason)) {
            if (!options.reconnect) {
                return CtlFail(kExitLink, reason);
            }
            linkDown(reason);
            signals.Pause(kReconnectPause, deadline);
            continue;
        }
        if (options.reconnect) {
            if (downSaid) {
                Say("the link is up again");
            }
            printer.LinkState(true);
            downSaid = false;
        }
        CReplyCollector collector;
        link->StartReading(collector);
        Stop stop = Stop::None;
        for (;;) {
            const auto until = std::min(Clock::now() + kSignalCheck, deadline);
            if (const auto line = collector.Next(std::nullopt, until, stop)) {
                printer.Reply(*line);
                if (IsHubLinkDownLine(line->text)) {
                    Say("the switcher link is down (matrixd)");
                }
            } else if (stop == Stop::Ended || signals.Arrived() || Clock::now() >= deadline) {
                break;
            }
        }
        if (stop != Stop::Ended) {
            // Stopped: what arrives while the link closes is still shown.
            collector.Release();
            link->Close();
            while (const auto line = collector.TryNext()) {
                printer.Reply(*line);
            }
            ReportUnfinished(collector, "at the end");
            return kExitReplied;
        }
        ReportUnfinished(collector, "when the link was lost");
        reason = collector.EndReason();
        link->Close();
        if (!options.reconnect) {
            return CtlFail(kExitLink, reason);
        }
        linkDown(reason);
        signals.Pause(kReconnectPause, deadline);
    }
    return kExitReplied;
}
