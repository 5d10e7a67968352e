#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "hub/core/CHub.h"

// Where the door's messages go. The daemon frames them onto sockets; the tests record.
class ISwp08Output {
  public:
    virtual ~ISwp08Output() = default;
    // One message (command byte and fields), to be framed and written on its own.
    virtual void SendMessage(ClientId client, const std::string& message) = 0;
    virtual void Log(const std::string& line) = 0;
};

// The broadcast routers' control protocol over the hub: the router controller a control system
// expects. Matrix 0 is the switcher, level 0 its video and level 1 its audio; destination 0 is
// output 1 and source 0 input 1. The framing and its ACK are the server's: the door sees
// messages that checked out, already acknowledged. One thread, no Qt.
//
// A connect goes through the hub's queue; its "connected" goes to every client once the
// switcher has made the route, also when the route did not change, for controllers that wait
// for it. A route changed through any door reaches every client the same way. Protects are hub
// locks, one owner per connection, released when it closes; every client hears a protect set or
// released anywhere (a lock on another door reads as device kOtherDevice's).
class CSwp08Door : private IHubListener {
  public:
    // What a protect held on another door, or whose device is not known, is said to be held by.
    static constexpr int kOtherDevice = 1023;
    static constexpr std::size_t kMaxTallies = 64;

    CSwp08Door(CHub& hub, ISwp08Output& output);
    ~CSwp08Door() override;

    void ClientConnected(ClientId client);
    void ClientGone(ClientId client);
    void Message(ClientId client, std::string_view message);

  private:
    struct Client {
        bool extended = false;  // has asked with an extended command: is told only in that form
    };
    // What a message names: matrix, level, destination (and source or device).
    struct Point {
        int matrix = 0;
        int level = 0;
        int dest = 0;
        int other = 0;
    };
    using Bytes = std::string_view;

    void LevelsChanged(const std::vector<int>& video, const std::vector<int>& audio) override;
    void RoutesHeard(const std::vector<std::pair<int, Level>>& heard) override;
    void LocksChanged(const std::vector<int>& outputs) override;

    // Each returns false when the message's body is not what its command needs.
    bool Implementation(ClientId client);
    bool Interrogate(ClientId client, Bytes body, bool extended);
    bool Connect(ClientId client, Bytes body, bool extended);
    bool TallyDump(ClientId client, Bytes body, bool extended);
    bool Names(ClientId client, std::uint8_t command, Bytes body);
    bool ProtectInterrogate(ClientId client, Bytes body);
    bool Protect(ClientId client, Bytes body, bool on);

    // The route of a level of an output, -1 while not known or for a level the switcher lacks.
    int RouteOf(int level, int output) const;
    // Tells every client the route of `level` of `output` (matrix 0).
    void Broadcast(int level, int output);
    // The connected message of a route, in the client's form.
    std::string Connected(bool extended, int matrix, int level, int dest, int source) const;
    // The protect state and device of an output as `client` sees it.
    std::pair<int, int> ProtectOf(int output) const;
    std::string ProtectMessage(char command, const Point& at) const;
    void SendToAll(const std::string& message);
    // Once a minute per kind, not per frame.
    void Note(const std::string& kind, const std::string& line);

    CHub& m_hub;
    ISwp08Output& m_output;
    std::map<ClientId, Client> m_clients;
    // Levels of outputs a client asked to route, to be confirmed when the switcher answers.
    std::set<std::pair<int, int>> m_pending;  // output, level
    // The device numbers clients protected outputs with, while their lock holds.
    std::map<int, int> m_devices;   // output -> device
    bool m_bOwnLockChange = false;  // a protect of a client is being made
    std::map<std::string, std::chrono::steady_clock::time_point> m_noted;
};
