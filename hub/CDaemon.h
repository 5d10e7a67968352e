#pragma once

#include <QHostAddress>
#include <QObject>
#include <QTimer>
#include <memory>
#include <string>

#include "hub/CEventLog.h"
#include "hub/DaemonOptions.h"
#include "hub/core/CHub.h"
#include "hub/core/CLabelsWriter.h"
#include "hub/core/CommandQueue.h"
#include "hub/core/HubState.h"
#include "hub/net/ClientAccess.h"
#include "hub/router/CRouterDoor.h"
#include "hub/swp08/CSwp08Door.h"

class CAvahiAdvertiser;
class CAvahiBrowser;
class CSiteProbe;
class CSalvosFile;
class CWebDoor;
class CMqttDoor;
class CRawServer;
class CRouterServer;
class CSwp08Serial;
class CSwp08Server;
class CSwitcherLink;

// The daemon: the switcher link, the two front ends, the command queue every command goes
// through and the router engine between them.
class CDaemon : public QObject, private IHubStore, private IRouterOutput, private ISwp08Output {
    Q_OBJECT

  public:
    // How long the routes are learned after the link comes, at most, before clients are served
    // with what has been heard (a switcher that answers nothing, a slow line).
    static constexpr int kLearnMs = 1500;

    explicit CDaemon(const DaemonOptions& options, QObject* parent = nullptr);
    ~CDaemon() override;

    // Reads the labels, binds the ports (printing them), starts the link. False, with the reason
    // on stderr, when a port cannot be bound.
    bool Start();

  private:
    void SendToClient(ClientId client, const std::string& bytes) override;
    void SendShared(ClientId client, const SharedBytes& bytes) override;
    void LabelsChanged(const std::vector<LabelChange>& changes) override;
    void SalvosChanged(const SalvoBook& salvos) override;
    void ResumeClient(ClientId client) override;
    void CloseClient(ClientId client, const std::string& why) override;
    void SendMessage(ClientId client, const std::string& message) override;
    void Log(const std::string& line) override;

    CCommandQueue::Settings QueueSettings() const;
    CCommandQueue::Events QueueEvents();
    void RunQueue();
    void LabelsWritten(const CLabelsWriter::Written& written);
    void Present(bool present, std::size_t dropped);

    void LinkUp();
    void LinkDown();
    // How the switcher is reached and whether it answers, for the web panel.
    QString LinkText() const;
    void ReadSalvos();
    bool StartWeb(const QHostAddress& address);
    bool StartSwp08(const QHostAddress& address);
    bool StartMqtt();
    void SwitcherBytes(const QByteArray& bytes);

    DaemonOptions m_options;
    std::string m_strLabelsPath;
    CEventLog m_log;
    QTimer m_logFlush;
    QTimer m_learn;
    QTimer m_queueTimer;
    bool m_bQueueDue = false;  // the queue has work before the loop next waits
    CClientAccess m_access;
    std::unique_ptr<CHubState> m_pState;
    std::unique_ptr<CCommandQueue> m_pQueue;
    std::unique_ptr<CHub> m_pHub;
    std::unique_ptr<CRouterDoor> m_pRouterDoor;
    std::unique_ptr<CSwp08Door> m_pSwp08Door;
    std::unique_ptr<CLabelsWriter> m_pLabelsWriter;
    std::uint64_t m_nLabelChanges = 0;  // generations handed to the writer
    CSwitcherLink* m_pLink = nullptr;
    CRouterServer* m_pRouter = nullptr;
    CRawServer* m_pRaw = nullptr;
    CSwp08Server* m_pSwp08 = nullptr;
    CSwp08Serial* m_pSwp08Serial = nullptr;
    CAvahiAdvertiser* m_pAdvertiser = nullptr;
    CWebDoor* m_pWeb = nullptr;
    CAvahiBrowser* m_pBrowser = nullptr;
    CSiteProbe* m_pSiteProbe = nullptr;
    CMqttDoor* m_pMqtt = nullptr;
    std::unique_ptr<CSalvosFile> m_pSalvosFile;
};
