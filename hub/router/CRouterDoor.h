#pragma once

#include <map>
#include <string>
#include <vector>

#include "hub/core/CHub.h"
#include "hub/core/SharedBytes.h"
#include "hub/router/RequestReader.h"
#include "hub/router/RouterBlocks.h"

// Where the router door's bytes go. The daemon puts sockets behind it; the tests record.
class IRouterOutput {
  public:
    virtual ~IRouterOutput() = default;
    virtual void SendToClient(ClientId client, const std::string& bytes) = 0;
    // The same bytes for many clients: kept once for all that wait for them.
    virtual void SendShared(ClientId client, const SharedBytes& bytes) {
        SendToClient(client, *bytes);
    }
    // A client held back while the routes were learned may be read again.
    virtual void ResumeClient(ClientId client) = 0;
    // Ends a client's connection (its ClientGone follows), saying why in the log.
    virtual void CloseClient(ClientId client, const std::string& why) = 0;
    virtual void Log(const std::string& line) = 0;
};

// The router protocol over the hub: what each client is sent, what a request asks of the
// hub, and the hub's changes as update blocks. One thread.
//
// Clients that connect while the routes are learned are held until learning ends, so that
// their first dump holds every route the switcher told. What a request changes goes out after
// its ACK. With `closeWhenAbsent`, clients are closed and new ones refused while the switcher
// is absent, for surfaces that show old routes as live whatever "Device present" says.
class CRouterDoor : private IHubListener {
  public:
    CRouterDoor(CHub& hub, IRouterOutput& output, RouterIdentity identity,
                bool closeWhenAbsent = false);
    ~CRouterDoor() override;

    void ClientConnected(ClientId client);
    void ClientGone(ClientId client);
    // True while a client waits for its first dump; its requests are to wait too.
    bool Holding(ClientId client) const;
    void Request(ClientId client, const RouterRequest& request);

  private:
    enum class ClientStage { Held, Served };

    void RoutesChanged(const std::vector<int>& outputs) override;
    void LabelsChanged(const std::vector<int>& inputs, const std::vector<int>& outputs) override;
    void LocksChanged(const std::vector<int>& outputs) override;
    void DeviceChanged(bool wasPresent) override;

    void Serve(ClientId client, bool withPreamble);
    void Send(ClientId client, const SharedBytes& bytes);
    void Broadcast(std::string bytes);
    bool Answer(ClientId client, const RouterRequest& request);
    bool Dump(ClientId client, const std::string& header);
    bool ChangeRoutes(ClientId client, const std::vector<std::string>& lines);
    bool ChangeLabels(bool inputs, const std::vector<std::string>& lines);
    bool ChangeLocks(ClientId client, const std::vector<std::string>& lines);

    CHub& m_hub;
    IRouterOutput& m_output;
    RouterIdentity m_identity;
    const bool m_bCloseWhenAbsent;
    std::map<ClientId, ClientStage> m_clients;
    // While a request is answered, the updates it causes wait for its ACK.
    bool m_bAnswering = false;
    std::vector<std::pair<ClientId, SharedBytes>> m_deferred;
};
