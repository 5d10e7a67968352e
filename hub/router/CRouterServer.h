#pragma once

#include <map>
#include <vector>

#include "hub/net/CClientServer.h"
#include "hub/router/RequestReader.h"

class CRouterDoor;

// The router-protocol port: reads each client's blocks and hands them to the engine, at most
// kBlocksPerTurn of one client before the event loop runs again, so that a client sending
// thousands of blocks in one go never keeps the others waiting. What all clients hold of
// unfinished blocks is bounded: the client whose bytes would take it past kMaxHeldTotal is cut
// off, the others go on.
class CRouterServer : public CClientServer {
    Q_OBJECT

  public:
    static constexpr int kBlocksPerTurn = 32;
    static constexpr std::size_t kMaxHeldTotal = 32 * 1024 * 1024;

    CRouterServer(const CClientAccess& access, CEventLog& log, QObject* parent);

    void SetDoor(CRouterDoor* door) { m_pDoor = door; }
    // A client the engine held is read again (from the event loop).
    void Resume(ClientId client);
    void Close(ClientId client, const std::string& why) { Drop(client, why); }

  protected:
    void Connected(ClientId client) override;
    void Readable(ClientId client) override;
    void Gone(ClientId client) override;

  private:
    struct Reading {
        CRequestReader reader;
        // Read, not carried out yet: from `next` on. (A deque would cost every idle client
        // half a KiB.)
        std::vector<RouterRequest> ready;
        std::size_t next = 0;
        bool again = false;  // a turn is already arranged
    };

    // Carries out what the client sent, reading more as it goes, for one turn.
    void Work(ClientId client);
    void WorkLater(ClientId client, Reading& reading);

    CRouterDoor* m_pDoor = nullptr;
    std::map<ClientId, Reading> m_readers;
    std::size_t m_nHeld = 0;  // the readers' unfinished blocks, all clients
};
