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

// The one way to the switcher. Every door hands its commands here, and they go out one at a
// time, because switchers with small input buffers drop what arrives while they are busy: the
// next command goes when the previous one's reply line has come and the line has then been
// quiet for a moment (a reply of many lines is never cut into), or once the reply wait has
// passed without one; an optional gap follows each. Clients take turns, one command each, and
// each may have at most kMaxPerClient commands waiting, so that one client's flood never holds
// up another's route for longer than a command or two.
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

    struct Settings {
        Millis replyWait{300};
        Millis gap{0};
        // How long the line stays quiet after a reply line before the next command goes.
        Millis settle{20};
        bool repliesExpected = true;
        // Sent to find out whether the switcher answers: a one-line query.
        std::string probe;

        // Every command goes at the next Run and none waits for a reply: the queue's order
        // and rules without its timing, for a caller that drives Run itself.
        static Settings Unpaced() {
            Settings settings;
            settings.replyWait = settings.settle = Millis(0);
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
    };

    enum class Submitted { Queued, Full, Absent };

    CCommandQueue(Settings settings, Events events);

    // Queues `commands` of `client` as one group: all of them, or none. A client with nothing
    // waiting may always hand in a group (a routing block of every output); one with commands
    // waiting only while the group keeps it within its share. Absent while the link is down or
    // the switcher does not answer.
    Submitted Submit(ClientId client, const std::vector<std::string>& commands);
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

  private:
    void Send(ClientId client, const std::string& command, Clock::time_point now);
    std::size_t DropAll();
    void Finish(Clock::time_point now);

    Settings m_settings;
    Events m_events;
    std::map<ClientId, std::deque<std::string>> m_waiting;
    std::deque<ClientId> m_turns;  // clients with commands waiting, next first

    bool m_bLinkUp = false;
    bool m_bPresent = false;
    int m_nMisses = 0;
    ReplyLineReader m_lines;

    bool m_bInFlight = false;
    bool m_bAnswered = false;  // the command in flight had its reply line
    bool m_bProbe = false;     // the command in flight is the probe
    Clock::time_point m_sentAt{};
    Clock::time_point m_answeredAt{};
    Clock::time_point m_lastByte{};
    Clock::time_point m_lastLine{};
    Clock::time_point m_readyAt{};  // the end of the gap after the last command
};
