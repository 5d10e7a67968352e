#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "access/LabelsFile.h"
#include "hub/core/CommandQueue.h"
#include "hub/core/HubState.h"
#include "hub/core/LabelChange.h"
#include "panel/ReplyLineReader.h"

// What a route switches, as the switcher's command letter says it: audio and video ("3B5."),
// video only ("3V5.") or audio only ("3A5."). Default is the daemon's --route-kind.
enum class Level : char { Default = 0, AV = 'B', Video = 'V', Audio = 'A' };

// One route, ports counted from 0 as in the state.
struct Route {
    int output = 0;
    int input = 0;
    Level level = Level::Default;
    bool operator==(const Route&) const = default;
};

// Named sets of routes, by name.
using SalvoBook = std::map<std::string, std::vector<Route>>;

// What a door learns of the hub's changes. Ports are counted from 0. Each call follows one
// change, after the version grew.
class IHubListener {
  public:
    virtual ~IHubListener() = default;
    // Routes the switcher reported: the outputs whose video route (or being off) changed, and
    // those whose audio route changed, in one call (one version). By default it is told as the
    // two calls below, to doors that show one level or the levels apart.
    virtual void LevelsChanged(const std::vector<int>& video, const std::vector<int>& audio) {
        if (!video.empty()) {
            RoutesChanged(video);
        }
        if (!audio.empty()) {
            AudioRoutesChanged(audio);
        }
    }
    virtual void RoutesChanged(const std::vector<int>& /*outputs*/) {}
    // Every route the switcher reported, changed or not (after the changes were told), for a
    // door whose clients wait to hear that a route they asked for was made. No version change.
    virtual void RoutesHeard(const std::vector<std::pair<int, Level>>& /*heard*/) {}
    virtual void AudioRoutesChanged(const std::vector<int>& /*outputs*/) {}
    virtual void LabelsChanged(const std::vector<int>& /*inputs*/,
                               const std::vector<int>& /*outputs*/) {}
    virtual void LocksChanged(const std::vector<int>& /*outputs*/) {}
    // Absent, learning or present changed; `wasPresent` tells what clients saw before.
    virtual void DeviceChanged(bool /*wasPresent*/) {}
    virtual void SalvosChanged() {}
};

// Where the hub's lasting changes go (the files behind it) and its log lines.
class IHubStore {
  public:
    virtual ~IHubStore() = default;
    // Names that clients changed, already shown: to be kept in the labels file.
    virtual void LabelsChanged(const std::vector<LabelChange>& changes) = 0;
    virtual void SalvosChanged(const SalvoBook& /*salvos*/) {}
    virtual void Log(const std::string& line) = 0;
};

struct HubSettings {
    char routeKind = 'B';  // the switching command's letter: "3B5." or "3V5."
    bool noEcho = false;   // a sent route counts as done at once
};

// The one truth of the switcher every door serves: routes (learned only from the switcher's
// replies), labels, locks, salvos, presence, and a version that grows with each change; and
// the rules every door shares on the way to the switcher: the queue, locks, presence, label
// cleaning. A door turns its protocol into calls here and the listener calls into its
// protocol. One thread, no Qt.
//
// The device is absent while the link is down. When the link comes (back) the routes are
// learned first ("Status." goes out), until EndLearning.
class CHub {
  public:
    CHub(CHubState& state, IHubStore& store, CCommandQueue& queue, HubSettings settings = {});

    enum class Device { Absent, Learning, Present };
    Device DeviceState() const { return m_device; }
    bool Present() const { return m_device == Device::Present; }
    std::uint64_t Version() const { return m_nVersion; }
    const CHubState& State() const { return m_state; }
    const SalvoBook& Salvos() const { return m_salvos; }

    void AddListener(IHubListener* listener) { m_listeners.push_back(listener); }
    void RemoveListener(IHubListener* listener);

    // The switcher can be reached (the link came, or it answers again) or cannot.
    void LinkUp();
    void LinkDown();
    // Ends learning (all routes heard, or the daemon's time-out).
    void EndLearning();
    // Bytes from the switcher, whoever caused them.
    void SwitcherBytes(std::string_view bytes);
    // A command that went to the switcher, whoever sent it. With no echo to wait for, a
    // switching command ("3B5.", "3All.", "All#.") counts as done once it went.
    void CommandSent(std::string_view command);

    enum class Result { Queued, Locked, Full, Absent, Bad };
    // Routes as one group: every route checked (ports, locks) before any command goes.
    Result SubmitRoutes(ClientId client, const std::vector<Route>& routes);
    // A command of the switcher's own set from a door that passes them through; one that would
    // change an output another client locked is the switcher's "locked" case, and so is one the
    // grammar cannot read while any output is locked by another client.
    Result SubmitRaw(ClientId client, const std::string& command);
    // Asked just before a queued command goes: false (with a log line) when a lock taken since
    // it was queued forbids it.
    bool MayGo(ClientId client, const std::string& command);
    Result TakeSalvo(ClientId client, const std::string& name);
    // The switcher's own presets: "Save5." or "Recall5." (a recall changes every output).
    static constexpr int kMaxPreset = 128;
    Result SubmitPreset(ClientId client, bool save, int preset);

    // Names as a client typed them, 1-based numbers as in the labels file; an empty name brings
    // the default back. Control characters become blanks; false (nothing changed) when a name
    // is not text.
    bool SetLabels(const std::vector<LabelChange>& changes);
    // The labels file as written: names put there by hand since are shown from now on.
    void AdoptFileLabels(const LabelNames& onFile);

    // O takes a free lock (or keeps one's own), U gives one's own back, F opens any lock.
    enum class LockAction { Lock, Unlock, Force };
    bool ChangeLocks(ClientId client, const std::vector<std::pair<int, LockAction>>& changes);
    // A client left: the locks it held open.
    void ClientGone(ClientId client);

    // A salvo name is text as a label is once cleaned (UTF-8 without control characters or
    // blanks at either end), 1 to kMaxSalvoName characters, without '/' or a Unicode
    // non-character (MQTT clients refuse a topic holding one), and neither "." nor "..".
    static constexpr int kMaxSalvoName = kLabelLengthMax;
    static bool IsSalvoName(std::string_view name);
    // Every client is sent all salvos at once, and the salvos file is read whole at start:
    // both stay bounded.
    static constexpr std::size_t kMaxSalvos = 1000;
    static constexpr std::size_t kMaxSalvoRoutes = 1024;
    enum class SalvoPut { Stored, BadName, BadRoute, TooManyRoutes, TooManySalvos };
    // What is wrong, for a door's answer or the log.
    static std::string SalvoRefusal(SalvoPut why);
    // Creates or replaces a salvo; BadRoute when a route is out of range or an output named
    // twice, TooManySalvos for a new name when kMaxSalvos are kept.
    SalvoPut PutSalvo(const std::string& name, std::vector<Route> routes);
    bool DeleteSalvo(const std::string& name);
    // The salvos as read at start, in the file's order. Each is held to PutSalvo's rules but
    // the switcher's size (taking one leaves out what this switcher lacks), and those beyond
    // kMaxSalvos are left out. Returns the ones left out, each with why.
    using NamedRoutes = std::pair<std::string, std::vector<Route>>;
    std::vector<std::pair<std::string, SalvoPut>> LoadSalvos(std::vector<NamedRoutes> salvos);

    // After the switcher answered "System Locked!" (its own front-panel lock), changes are
    // refused as locked for this long (its lock cannot be asked for), or until "/%Unlock;" goes.
    static constexpr std::chrono::seconds kFrontLockHold{5};

  private:
    bool LockedForOthers(ClientId client, int output) const;
    bool AnyLockedForOthers(ClientId client) const;
    // True when `command` may change an output that another client locked.
    bool ChangesLocked(ClientId client, const std::string& command) const;
    bool FrontLocked() const;
    void ReplyLine(std::string_view line);
    // The command letter of a route of `level`.
    char LevelLetter(Level level) const;
    QueuedCommand RouteCommand(const Route& route) const;
    bool ValidRoute(const Route& route) const;
    void Changed();
    void SendRouteUpdates();
    void NoteHeard(std::string_view line);
    void TellHeard();
    void SetDevice(Device device);
    // Sets the labels and tells the listeners the ones that moved.
    void ShowLabels(LabelNames names);
    template <typename Call>
    void Tell(Call call) {
        Changed();
        for (IHubListener* listener : std::vector<IHubListener*>(m_listeners)) {
            call(*listener);
        }
    }

    CHubState& m_state;
    IHubStore& m_store;
    CCommandQueue& m_queue;
    HubSettings m_settings;
    Device m_device = Device::Absent;
    std::uint64_t m_nVersion = 1;
    SalvoBook m_salvos;
    std::vector<IHubListener*> m_listeners;
    ReplyLineReader m_replies;
    std::vector<std::pair<int, Level>> m_heard;  // routes reported by the bytes being read
    std::chrono::steady_clock::time_point m_frontLockedAt{};
    bool m_bFrontLocked = false;
};
