#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "panel/ReplyLineReader.h"
#include "tools/matrixd/RequestReader.h"
#include "tools/matrixd/RouterBlocks.h"
#include "tools/matrixd/RouterState.h"

// Where the router-protocol engine's results go. The daemon puts sockets, the switcher link
// and the labels file behind it; the tests record.
class IRouterOutput {
  public:
    virtual ~IRouterOutput() = default;
    virtual void SendToClient(ClientId client, const std::string& bytes) = 0;
    // One whole command for the switcher, terminator included. False when it cannot go.
    virtual bool SendCommand(const std::string& command) = 0;
    // The labels file as it is now; `fallback` when it cannot be read.
    virtual LabelNames LabelsOnFile(const LabelNames& fallback) = 0;
    virtual bool SaveLabels(const LabelNames& labels) = 0;
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
// the switcher's replies change. One thread.
//
// The device is absent while the link is down. When the link comes (back) the routes are
// learned first ("Status." goes out); clients that connect meanwhile are held until
// EndLearning, so that their first dump holds every route the switcher told.
class CRouterCore {
  public:
    CRouterCore(CRouterState& state, IRouterOutput& output, RouterSettings settings);

    enum class Device { Absent, Learning, Present };
    Device DeviceState() const { return m_device; }

    void ClientConnected(ClientId client);
    void ClientGone(ClientId client);
    // True while a client waits for its first dump; its requests are to wait too.
    bool Holding(ClientId client) const;
    void Request(ClientId client, const RouterRequest& request);

    void LinkUp();
    void LinkDown();
    // Ends learning (all routes heard, or the daemon's time-out): held clients get their dump,
    // the others the full status again.
    void EndLearning();
    // Bytes from the switcher, whoever caused them.
    void SwitcherBytes(std::string_view bytes);
    // A command another front end sent to the switcher. With no echo to wait for, a switching
    // command ("3B5.", "3All.", "All#.") counts as done at once, as a route request does.
    void CommandSent(std::string_view command);

  private:
    enum class ClientStage { Held, Served };

    void Serve(ClientId client, bool withPreamble);
    void Broadcast(const std::string& bytes);
    void BroadcastLocks(const std::vector<int>& outputs);
    void SendRouteUpdates();

    bool Dump(ClientId client, const std::string& header);
    bool ChangeRoutes(ClientId client, const std::vector<std::string>& lines);
    // Label and lock changes answer ACK themselves (before the update) and return true; false
    // leaves the NAK to the caller.
    bool ChangeLabels(ClientId client, bool inputs, const std::vector<std::string>& lines);
    bool ChangeLocks(ClientId client, const std::vector<std::string>& lines);

    CRouterState& m_state;
    IRouterOutput& m_output;
    RouterSettings m_settings;
    Device m_device = Device::Absent;
    std::map<ClientId, ClientStage> m_clients;
    ReplyLineReader m_replies;
};
