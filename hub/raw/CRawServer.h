#pragma once

#include <QTimer>
#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "hub/net/CClientServer.h"

class CHub;
class CSwitcherLink;

// The raw port: a network-to-serial module with many clients. Only whole commands, ended by
// "." or ";", reach the switcher, through the command queue, so that one client's half command
// is never glued to another's; a fragment that stays unfinished is dropped with an error line
// to its client. Every byte the switcher sends goes to every client. A command that would
// change an output a router client has locked is answered "System Locked!" and not sent; while
// the switcher cannot be reached, a command is answered at once with the link-down line. A
// client whose commands fill its share of the queue is read again once there is room, so that
// nothing it sent is lost. Module commands ("AT + C1_BAUD = 9600", ended by their line end or
// by a pause) change the line only with --allow-line-settings.
class CRawServer : public CClientServer {
    Q_OBJECT

  public:
    // A module command without a line end ends after this pause, as a module takes it.
    static constexpr int kQuietMs = 100;
    // A command not finished after this pause, or longer than kMaxCommand, is dropped.
    static constexpr int kFragmentMs = 2000;
    static constexpr std::size_t kMaxCommand = 256;

    CRawServer(CHub& hub, CSwitcherLink& link, bool allowLineSettings, const CClientAccess& access,
               CEventLog& log, QObject* parent);

    // The command queue has room for `client` again.
    void Resume(ClientId client);
    // A command of `client` that waited was not sent: a lock taken meanwhile forbids it.
    void Refused(ClientId client);

  protected:
    void Connected(ClientId client) override;
    void Readable(ClientId client) override;
    void Gone(ClientId client) override;

  private:
    struct Pending {
        std::string bytes;      // read, not taken yet
        bool skipping = false;  // dropping an overlong command up to its end
        bool waiting = false;   // for room in the queue
        std::unique_ptr<QTimer> quiet;
    };

    // Takes every whole command, reading more while there is room.
    void Take(ClientId client);
    // False when the client must wait for room in the queue.
    bool TakeCommands(ClientId client, Pending& pending);
    void Quiet(ClientId client);
    void Reply(ClientId client, std::string_view line);
    // A module command, from a client allowed to send one.
    void ModuleCommand(ClientId client, const std::string& command);

    CHub& m_hub;
    CSwitcherLink& m_link;
    const bool m_bAllowLineSettings;
    std::map<ClientId, Pending> m_pending;
};
