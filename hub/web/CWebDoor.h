#pragma once

#include <QAbstractHttpServer>
#include <QHostAddress>
#include <QHttpServerRequest>
#include <QJsonObject>
#include <QPointer>
#include <QStringList>
#include <QTcpSocket>
#include <QThreadPool>
#include <QTimer>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "hub/core/CHub.h"
#include "hub/json/HubJson.h"
#include "hub/web/WebSessions.h"

class CClientAccess;
class CEventLog;
class CWebGuard;
class QWebSocket;

// What the web door serves beside the hub.
struct WebSettings {
    std::string passwordHash;  // empty: no sign-in (loopback only)
    QString name;              // the switcher's name
    std::function<QString()> linkText;
    // Other panels of the site, from the configuration and the network.
    struct Site {
        QString name;
        QString url;
        std::optional<bool> answers;  // nothing while not known
    };
    std::function<std::vector<Site>()> sites;
    // Names this machine is reached by beside its own (--web-host), in lower case.
    std::vector<QString> hostNames;
};

// The web API and page over the hub (docs/api.md): REST calls become requests to the hub,
// the hub's changes go to every WebSocket as they happen. Qt's HTTP server does the HTTP and
// WebSocket framing, behind CWebGuard's limits. One thread, but password checks (argon2, a
// tenth of a second and 64 MiB each) run on a thread of their own.
//
// Its parts, a file each: requests and who may make them (CWebDoor.cpp), answers in order
// (CWebDoorAnswers.cpp), sign-in (CWebDoorSignIn.cpp), the API's resources (CWebDoorApi.cpp)
// and the WebSockets (CWebDoorEvents.cpp).
class CWebDoor : public QAbstractHttpServer, private IHubListener {
    Q_OBJECT

  public:
    static constexpr qint64 kMaxUnread = 1024 * 1024;
    static constexpr quint64 kMaxMessage = 64 * 1024;
    // Sign-ins waiting for their password check; more are refused (503).
    static constexpr std::size_t kMaxChecks = 8;

    CWebDoor(CHub& hub, const CClientAccess& access, CEventLog& log, WebSettings settings,
             QObject* parent);
    ~CWebDoor() override;

    bool Listen(const QHostAddress& address, quint16 port, QString* error);
    quint16 Port() const;

  protected:
    bool handleRequest(const QHttpServerRequest& request, QTcpSocket* socket) override;
    void missingHandler(const QHttpServerRequest& request, QTcpSocket* socket) override;

  private:
    using Headers = std::vector<std::pair<QByteArray, QByteArray>>;
    struct Reply {
        Reply() = default;
        Reply(int status_, QByteArray body_, QByteArray type_ = "application/json",
              Headers headers_ = {})
            : status(status_),
              body(std::move(body_)),
              type(std::move(type_)),
              headers(std::move(headers_)) {}

        int status = 0;  // 0: nothing to send now
        QByteArray body;
        QByteArray type;
        Headers headers;
    };
    // One API request, read.
    struct Call {
        QHttpServerRequest::Method method;
        QStringList path;  // after /api/v1/
        QJsonObject body;
        ClientId client = kNoClient;
    };
    // Who a request comes from: the session's client, or nobody (a read without a password).
    struct Caller {
        ClientId client = kNoClient;
        std::string token;
        bool opened = false;  // a new session: its cookie goes with the answer
        int refusal = 0;      // 401 sign in first, 503 no room for a new session
    };
    struct WaitingCheck {
        QPointer<QTcpSocket> socket;
        std::string address;
        std::string password;
    };

    // Answers go out in the order of their requests: one that comes later (a sign-in being
    // checked) keeps its place, and the answers after it wait behind it.
    struct Answer {
        QByteArray bytes;
        bool ready = false;
        bool closes = false;  // the connection closes once it is out
    };
    struct Answers {
        QPointer<QTcpSocket> socket;
        std::deque<Answer> queue;
        qint64 bytes = 0;
    };
    class CAnswering;
    static constexpr std::size_t kMaxWaitingAnswers = 64;

    static QByteArray Response(const Reply& reply, bool closes);
    void Send(QTcpSocket* socket, const Reply& reply);
    bool AnswerAwaited(QTcpSocket* socket) const;
    void Queue(QTcpSocket* socket, Answer answer);
    void Flush(std::map<QTcpSocket*, Answers>::iterator found);
    static void Write(QTcpSocket* socket, const Answer& answer);
    Reply Api(const Call& call);
    Reply Page(const QString& path) const;
    Reply SignIn(const QHttpServerRequest& request, QTcpSocket* socket);
    Reply QueueCheck(WaitingCheck check);
    void StartCheck();
    void RunCheck(WaitingCheck check);
    void CheckDone(QTcpSocket* socket, const std::string& address, bool ok);
    static Reply Refused(int status);
    Reply Routes(const Call& call);
    Reply Label(const Call& call, bool input, int port);
    Reply Lock(const Call& call, int port);
    Reply Salvo(const Call& call, const std::string& name, const QString& action);
    Reply Preset(const Call& call, int preset, const QString& action);
    Reply Sites() const;
    Reply Accepted(CHub::Result result, int okStatus = 202) const;
    Reply Changed() const;

    Caller Session(const QHttpServerRequest& request, bool changing);
    bool SameOrigin(const QHttpServerRequest& request) const;
    bool NamesThisMachine(const QHttpServerRequest& request, const QTcpSocket& socket) const;
    void EndSessions(const std::vector<ClientId>& clients);

    // The whole state as every viewer sees it, written once per version (and link text).
    struct SharedState {
        std::uint64_t version = 0;
        std::string link;
        HubJson::SharedText message;  // {"state": ..., "type": "state"}
        QString common;               // the message as viewers without locks see it
    };
    // A change's own keys (sorted, before "type"), written for nobody with its lock spots.
    using ChangeKeys = std::function<void(CJsonWriter& json, HubJson::LockSpots* spots)>;

    void SocketOpened();
    const SharedState& StateNow();
    // The state alone, as `viewer` sees it.
    QByteArray StateBody(ClientId viewer);
    void SendState(QWebSocket* socket, ClientId client);
    void SendText(QWebSocket* socket, const QString& text);
    void SendChange(const ChangeKeys& keys);
    std::vector<std::pair<QPointer<QWebSocket>, ClientId>> Viewers() const;
    HubJson::Head Head() const;

    void LevelsChanged(const std::vector<int>& video, const std::vector<int>& audio) override;
    void LabelsChanged(const std::vector<int>& inputs, const std::vector<int>& outputs) override;
    void LocksChanged(const std::vector<int>& outputs) override;
    void DeviceChanged(bool wasPresent) override;
    void SalvosChanged() override;

    CHub& m_hub;
    CEventLog& m_log;
    WebSettings m_settings;
    CWebGuard* m_pGuard = nullptr;
    CWebSessions m_sessions;
    CSignInThrottle m_throttle;
    QTimer m_expiry;
    QThreadPool m_checks;  // password checks, one at a time
    std::deque<WaitingCheck> m_waiting;
    bool m_bChecking = false;
    // Upgrades let through, by the connection's peer port, until their WebSocket arrives.
    std::map<std::pair<QString, quint16>, std::string> m_upgrades;
    struct Socket {
        std::string token;
        ClientId client = kNoClient;
        qint64 stateUnsent = 0;  // of the last whole state sent to it
    };
    std::map<QWebSocket*, Socket> m_sockets;
    SharedState m_state;
    // Why the last upgrade was refused, for missingHandler.
    int m_nRefusal = 0;
    // Connections with an answer still to come, and the answers waiting behind it.
    std::map<QTcpSocket*, Answers> m_answers;
    QTcpSocket* m_pAnswering = nullptr;  // the request at hand's
    bool m_bAnswerCloses = false;
    bool m_bAnswered = false;
};
