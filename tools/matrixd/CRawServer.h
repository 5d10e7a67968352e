#pragma once

#include <QTimer>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "tools/matrixd/CClientServer.h"

class CSwitcherLink;

// The raw port: a network-to-serial module with many clients. Each client's bytes go to the
// switcher in whole commands (cut after "." or ";", or after kQuietMs without a new byte), so
// two clients' commands never mix; every byte the switcher sends goes to every client. Module
// commands ("AT + C1_BAUD = 9600") are taken here on a serial link, as a module takes them.
class CRawServer : public CClientServer {
    Q_OBJECT

  public:
    static constexpr int kQuietMs = 100;
    // A command never grows past this: what has come is sent as it stands.
    static constexpr std::size_t kMaxCommand = 4096;

    CRawServer(CSwitcherLink& link, const CClientAccess& access, CEventLog& log, QObject* parent);

    // Told every command that went to the switcher.
    void OnForwarded(std::function<void(const std::string&)> onForwarded) {
        m_onForwarded = std::move(onForwarded);
    }

  protected:
    void Connected(ClientId client) override;
    void Readable(ClientId client, QTcpSocket& socket) override;
    void Gone(ClientId client) override;

  private:
    struct Pending {
        std::string bytes;
        std::unique_ptr<QTimer> quiet;
    };

    void TakeCommands(ClientId client, Pending& pending);
    void Forward(ClientId client, const std::string& command);
    // A module command on a serial link: applied here, answered to its sender only.
    void ModuleCommand(ClientId client, const std::string& command);

    CSwitcherLink& m_link;
    std::function<void(const std::string&)> m_onForwarded;
    std::map<ClientId, Pending> m_pending;
};
