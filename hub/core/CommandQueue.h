#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "hub/core/HubState.h"
#include "panel/ReplyLineReader.h"

// The daemon's own commands (learning the routes, probing) are queued under this client.
inline constexpr ClientId kHubClient = UINT64_MAX;

// One command for the switcher, as the queue keeps it. A route names its output and level, so
// that a newer route for the same output replaces one still waiting (the switcher only ever
// needs the last), and the reply line that confirms it, so that one the switcher dropped is
// sent again.
struct QueuedCommand {
    std::string text;
    int output = 0;    // a route's output, 1-based; 0 for any other command
    char level = 0;    // a route's 'B' (audio and video), 'V' or 'A'
    std::string echo;  // the reply line that confirms it; empty when none is known

    QueuedCommand() = default;
    explicit QueuedCommand(std::string text_) : text(std::move(text_)) {}
    bool IsRoute() const { return output > 0; }
    // A route of this level makes a waiting one of `other`'s level needless.
    bool Covers(const QueuedCommand& other) const {
        return IsRoute() && other.output == output && (level == 'B' || level == other.level);
    }
};

// The one way to the switcher. Every door hands its commands here, and they go out one at a
// time, because switchers with small input buffers drop what arrives while they are busy: the
// next command goes when the previous one's reply line has come and the line has then been
// quiet for a moment (a reply of many lines is never cut into; a route's one line needs no
// such wait), or once the reply wait has passed without one; an optional gap follows each. Clients
// take turns, one command each, and each may have at most kMaxPerClient commands waiting, so that
// one client's flood never holds up another's route for longer than a command or two. A route
// replaces a waiting route to the same output and level, whoever handed either in, so that a burst
// of salvos ends on the last one and only commands that cannot be merged count against a share.
//
// Each command is checked again just before it goes (a lock taken meanwhile stops it). A route
// whose reply line does not come within the reply wait, when the switcher then answers a later
// command, was lost (a busy switcher drops what arrives): it is sent again, at most kMaxResends
// times, unless a newer route to its output went or waits. A reply that comes after its wait
// ran out stretches the wait for the commands after it, up to kMaxReplyWait.
//
// With replies expected, commands that go unanswered kMissesForAbsent times in a row mean the
// switcher no longer listens (switched off, stopped, talking noise): it is reported absent,
// what was waiting is dropped, and a probe asks every kAbsentProbe until a reply line comes.
// An idle switcher is probed now and then, so that one that went silent is found without a
// client having to ask first.
//
// No Qt and no timers: the owner calls Run when NextRun says, and after every call that may
// have made work due (the wake event says so). One thread.
class CCommandQueue {
  public:
    using Clock = std::chrono::steady_clock;
    using Millis = std::chrono::milliseconds;

    static constexpr std::size_t kMaxPerClient = 64;
    static constexpr int kMissesForAbsent = 3;
    static constexpr Millis kIdleProbe{10000};
    static constexpr Millis kAbsentProbe{2000};
    static constexpr int kMaxResends = 2;
    static constexpr Millis kMaxReplyWait{5000};

    struct Settings {
        Millis replyWait{300};
        Millis gap{0};
        // How long the line stays quiet after a reply line before the next command goes.
        Millis settle{20};
        // The same after a route's own one reply line ("AV:3->5"): nothing more is to come,
        // so only a serial line's last characters are waited for.
        Millis echoSettle{0};
        bool repliesExpected = true;
        // Sent to find out whether the switcher answers: a one-line query.
        std::string probe;

        // Every command goes at the next Run and none waits for a reply: the queue's order
        // and rules without its timing, for a caller that drives Run itself.
        static Settings Unpaced() {
            Settings settings;
            settings.replyWait = settings.settle = settings.echoSettle = Millis(0);
            settings.repliesExpected = false;
            return settings;
        }
    };

    struct Events {
        // Put one whole command on the wire; `client` handed it in.
        std::function<void(ClientId client, const std::string& command)> write =
            [](ClientId, const std::string&) {};
        // The switcher stopped answering (with the count of commands dropped) or answers again.
        std::function<void(bool present, std::size_t dropped)> presence = [](bool, std::size_t) {};
        // A client that was refused for a full share may hand in more.
        std::function<void(ClientId client)> room = [](ClientId) {};
        // Run may be due earlier than NextRun said before.
        std::function<void()> wake = [] {};
        // Whether a command may still go, asked just before it goes; one that may not is
        // dropped (the caller tells whom it concerns).
        std::function<bool(ClientId client, const std::string& command)> mayGo =
            [](ClientId, const std::string&) { return true; };
        // A line for the log: a route that never got its reply, a wait that was stretched.
        std::function<void(const std::string& line)> log = [](const std::string&) {};
    };

    enum class Submitted { Queued, Full, Absent };

    CCommandQueue(Settings settings, Events events);

    // Queues `commands` of `client` as one group: all of them, or none. A client with nothing
    // waiting may always hand in a group (a routing block of every output); one with commands
    // waiting only while the group keeps it within its share. Absent while the link is down or
    // the switcher does not answer.
    Submitted Submit(ClientId client, const std::vector<QueuedCommand>& commands);
    // Commands that are no routes.
    Submitted SubmitText(ClientId client, const std::vector<std::string>& commands) {
        return Submit(client, std::vector<QueuedCommand>(commands.begin(), commands.end()));
    }
    bool HasRoom(ClientId client) const;
    bool Present() const { return m_bLinkUp && m_bPresent; }
    // True while the daemon's own probe waits for its answer: those bytes are no client's.
    bool ProbeUnanswered() const { return m_bInFlight && m_bProbe && !m_bAnswered; }
    std::size_t Waiting() const;

    // The link came: the switcher counts as present until it fails to answer.
    void LinkUp(Clock::time_point now = Clock::now());
    // The link went: everything waiting is dropped; returns how many commands.
    std::size_t LinkDown();
    // Bytes from the switcher.
    void Received(std::string_view bytes, Clock::time_point now = Clock::now());

    // Sends what is due at `now`.
    void Run(Clock::time_point now = Clock::now());
    // When Run has work next; nothing while there is none to wait for.
    std::optional<Clock::time_point> NextRun() const;
    // The reply wait now used: the configured one, or longer for a switcher that answered late.
    Millis ReplyWait() const { return m_replyWait; }

  private:
    struct Entry {
        ClientId client = kNoClient;  // who asked for it (after a merge: the newer request)
        QueuedCommand command;
        int resends = 0;
    };
    // A route whose wait ran out before its reply line came: late, or lost (then sent again).
    struct Unconfirmed {
        Entry entry;
        Clock::time_point sentAt;
    };
    static constexpr std::size_t kMaxUnconfirmed = 64;

    // Puts `command` in place of a waiting route it makes needless; false when there is none.
    bool Merge(ClientId client, const QueuedCommand& command);
    bool MergesWithWaiting(const QueuedCommand& command) const;
    // The next command allowed to go, taken from the resends or the clients' turns.
    std::optional<Entry> Next();
    void Send(Entry entry, Clock::time_point now);
    // A reply line; true when it answers the command in flight (a late reply to an earlier one
    // does not).
    bool Answers(std::string_view line, Clock::time_point now);
    void TimedOut();
    // The switcher answered a later command: the routes still unconfirmed were lost.
    void SendLostAgain();
    std::size_t DropAll();
    void Finish(Clock::time_point now);
    Millis Settle() const { return m_bEchoed ? m_settings.echoSettle : m_settings.settle; }

    Settings m_settings;
    Events m_events;
    Millis m_replyWait;
    std::map<ClientId, std::deque<Entry>> m_waiting;
    std::deque<ClientId> m_turns;        // clients with commands waiting, next first
    std::map<int, int> m_routesWaiting;  // output -> routes to it waiting
    std::deque<Entry> m_resends;         // routes to send again, before anything else
    std::vector<Unconfirmed> m_unconfirmed;

    bool m_bLinkUp = false;
    bool m_bPresent = false;
    int m_nMisses = 0;
    ReplyLineReader m_lines;

    bool m_bInFlight = false;
    bool m_bAnswered = false;  // the command in flight had its reply line
    bool m_bEchoed = false;    // ... and it was the route's one line
    bool m_bProbe = false;     // the command in flight is the probe
    Entry m_inFlight;
    Clock::time_point m_sentAt{};
    Clock::time_point m_answeredAt{};
    Clock::time_point m_lastByte{};
    Clock::time_point m_lastLine{};
    Clock::time_point m_readyAt{};  // the end of the gap after the last command
};
