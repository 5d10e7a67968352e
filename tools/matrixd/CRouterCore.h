#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "panel/ReplyLineReader.h"
#include "tools/matrixd/CommandQueue.h"
#include "tools/matrixd/LabelChange.h"
#include "tools/matrixd/RequestReader.h"
#include "tools/matrixd/RouterBlocks.h"
#include "tools/matrixd/RouterState.h"

// Where the router-protocol engine's results go. The daemon puts sockets and the labels file
// behind it; the tests record. Commands for the switcher go through the command queue.
class IRouterOutput {
  public:
    virtual ~IRouterOutput() = default;
    virtual void SendToClient(ClientId client, const std::string& bytes) = 0;
    // Names that clients changed, already shown: to be kept in the labels file.
    virtual void LabelsChanged(const std::vector<LabelChange>& changes) = 0;
    // A client held back while the routes were learned may be read again.
    virtual void ResumeClient(ClientId client) = 0;
    virtual void Log(const std::string& line) = 0;
};

struct RouterSettings {
    RouterIdentity identity;
    char routeKind = 'B';  // the switching command's letter: "3B5." or "3V5."
    bool noEcho = false;   // a sent route counts as done at once
};

// The router protocol without sockets: what each client is sent, what a request does, what
// the switcher's replies change; and the rules every door shares on the way to the switcher
// (locks, presence). One thread.
//
// The device is absent while the link is down. When the link comes (back) the routes are
// learned first ("Status." goes out); clients that connect meanwhile are held until
// EndLearning, so that their first dump holds every route the switcher told.
class CRouterCore {
  public:
    CRouterCore(CRouterState& state, IRouterOutput& output, CCommandQueue& queue,
                RouterSettings settings);

    enum class Device { Absent, Learning, Present };
    Device DeviceState() const { return m_device; }

    void ClientConnected(ClientId client);
    void ClientGone(ClientId client);
    // True while a client waits for its first dump; its requests are to wait too.
    bool Holding(ClientId client) const;
    void Request(ClientId client, const RouterRequest& request);

    // The switcher can be reached (the link came, or it answers again) or cannot.
    void LinkUp();
    void LinkDown();

    // A raw command from a client of another door (no router client owns locks there).
    enum class RawResult { Queued, Locked, Full, Absent };
    RawResult SubmitRaw(ClientId client, const std::string& command);
    // The labels file as written: names put there by hand since are shown from now on.
    void AdoptFileLabels(const LabelNames& onFile);
    // Ends learning (all routes heard, or the daemon's time-out): held clients get their dump,
    // the others the full status again.
    void EndLearning();
    // Bytes from the switcher, whoever caused them.
    void SwitcherBytes(std::string_view bytes);
    // A command that went to the switcher, whoever sent it. With no echo to wait for, a
    // switching command ("3B5.", "3All.", "All#.") counts as done once it went.
    void CommandSent(std::string_view command);

  private:
    enum class ClientStage { Held, Served };

    void Serve(ClientId client, bool withPreamble);
    void Broadcast(const std::string& bytes);
    void BroadcastLocks(const std::vector<int>& outputs);
    void SendRouteUpdates();
    // Sets the labels and tells every client the ones that moved.
    void ShowLabels(LabelNames names);

    bool Dump(ClientId client, const std::string& header);
    bool ChangeRoutes(ClientId client, const std::vector<std::string>& lines);
    // Label and lock changes answer ACK themselves (before the update) and return true; false
    // leaves the NAK to the caller.
    bool ChangeLabels(ClientId client, bool inputs, const std::vector<std::string>& lines);
    bool ChangeLocks(ClientId client, const std::vector<std::string>& lines);

    CRouterState& m_state;
    IRouterOutput& m_output;
    CCommandQueue& m_queue;
    RouterSettings m_settings;
    Device m_device = Device::Absent;
    std::map<ClientId, ClientStage> m_clients;
    ReplyLineReader m_replies;
};
