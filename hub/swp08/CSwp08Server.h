#pragma once

#include <map>
#include <string>

#include "hub/net/CClientServer.h"
#include "hub/swp08/CSwp08Door.h"
#include "hub/swp08/Swp08Frame.h"

// The SW-P-08 port: frames each client's bytes (ACK before anything a frame causes, NAK for a
// bad one, which then does nothing) and hands the messages to the door. Every frame goes out
// in a write of its own: clients split what they read at frame bounds. At most kBytesPerTurn
// of one client are read before the event loop runs again, so that a flood keeps no other
// client waiting.
class CSwp08Server : public CClientServer {
    Q_OBJECT

  public:
    static constexpr std::size_t kBytesPerTurn = 4096;

    CSwp08Server(const CClientAccess& access, CEventLog& log, QObject* parent);

    void SetDoor(CSwp08Door* door) { m_pDoor = door; }
    // False when `client` is not one of this port's.
    bool SendMessage(ClientId client, const std::string& message);

  protected:
    void Connected(ClientId client) override;
    void Readable(ClientId client) override;
    void Gone(ClientId client) override;

  private:
    struct Reading {
        Swp08::CConnection connection;
        bool again = false;  // a turn is already arranged
    };

    void Work(ClientId client);
    void Write(ClientId client, std::string_view bytes);

    CSwp08Door* m_pDoor = nullptr;
    std::map<ClientId, Reading> m_readers;
};
