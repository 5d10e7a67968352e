#include "hub/web/CWebDoor.h"

#include <unistd.h>

#include <algorithm>

#include <QHttpServerRequest>
#include <QJsonDocument>
#include <QLoggingCategory>
#include <QTcpSocket>
#include <QUrl>
#include <QWebSocket>

#include "hub/web/CWebGuard.h"
#include "hub/web/WebReplies.h"

using namespace WebReplies;

namespace {

// As the server tells it: the upgrade named in Connection, and a WebSocket asked for.
bool IsUpgrade(const QHttpServerRequest& request) {
    return request.value("Connection").toLower().contains("upgrade") &&
           request.value("Upgrade").toLower() == "websocket";
}

// The path's segments after "/api/v1/", each percent-decoded.
QStringList ApiSegments(const QUrl& url) {
    QStringList segments = url.path(QUrl::FullyEncoded).split('/');
    segments = segments.mid(3);  // "", "api", "v1"
    for (QString& segment : segments) {
        segment = QUrl::fromPercentEncoding(segment.toLatin1());
    }
    return segments;
}

// The host a Host header names, in lower case without the port or a final dot ("[::1]:9980"
// is "::1"); empty when it is not a host with an optional port.
QString HostOf(const QByteArray& header) {
    QByteArray host = header.trimmed().toLower();
    QByteArray port;
    if (host.startsWith('[')) {
        const qsizetype close = host.indexOf(']');
        port = close < 0 ? QByteArray("-") : host.mid(close + 1);
        host = close < 0 ? QByteArray() : host.mid(1, close - 1);
        if (!port.isEmpty() && !port.startsWith(':')) {
            return {};
        }
        port = port.mid(1);
    } else if (const qsizetype colon = host.indexOf(':'); colon >= 0) {
        port = host.mid(colon + 1);
        host.truncate(colon);
    }
    const bool digits =
        std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; });
    if (!digits || port.size() > 5 || host.isEmpty()) {
        return {};
    }
    if (host.endsWith('.')) {
        host.chop(1);
    }
    return QString::fromLatin1(host);
}

// The names this machine goes by by itself: localhost, its host name, and the name Avahi
// announces its services under (the host name's first label in .local).
std::vector<QString> MachineNames() {
    char name[256] = {};
    std::vector<QString> names{QStringLiteral("localhost")};
    if (::gethostname(name, sizeof name - 1) == 0 && name[0] != '\0') {
        const QString host = QString::fromLatin1(name).toLower();
        const QString label = host.section('.', 0, 0);
        names.insert(names.end(), {host, label, label + ".local"});
    }
    return names;
}

}  // namespace

// Marks the request the server hands on as the one at hand while it is answered.
class CWebDoor::CAnswering {
  public:
    CAnswering(CWebDoor& door, QTcpSocket* socket, bool closes) : m_door(door) {
        m_door.m_pAnswering = socket;
        m_door.m_bAnswerCloses = closes;
        m_door.m_bAnswered = false;
    }
    ~CAnswering() { m_door.m_pAnswering = nullptr; }
    CAnswering(const CAnswering&) = delete;
    CAnswering& operator=(const CAnswering&) = delete;

  private:
    CWebDoor& m_door;
};

CWebDoor::CWebDoor(CHub& hub, const CClientAccess& access, CEventLog& log, WebSettings settings,
                   QObject* parent)
    : QAbstractHttpServer(parent),
      m_hub(hub),
      m_log(log),
      m_settings(std::move(settings)),
      m_pGuard(new CWebGuard(access, log, this)) {
    m_checks.setMaxThreadCount(1);
    m_expiry.setInterval(60000);
    connect(&m_expiry, &QTimer::timeout, this,
            [this] { EndSessions(m_sessions.Expire(CWebSessions::Clock::now())); });
    m_expiry.start();
    connect(this, &QAbstractHttpServer::newWebSocketConnection, this, &CWebDoor::SocketOpened);
    m_hub.AddListener(this);
}

CWebDoor::~CWebDoor() {
    m_hub.RemoveListener(this);
    m_checks.waitForDone();
    for (auto& [socket, entry] : m_sockets) {
        QObject::disconnect(socket, nullptr, this, nullptr);
        socket->deleteLater();
    }
}

bool CWebDoor::Listen(const QHostAddress& address, quint16 port, QString* error) {
    if (!m_pGuard->Listen(address, port, error)) {
        return false;
    }
    // Qt's server warns about every upgrade it was told to refuse: nothing to act on.
    QLoggingCategory::setFilterRules(QStringLiteral("qt.httpserver.warning=false"));
    bind(m_pGuard);
    return true;
}

quint16 CWebDoor::Port() const {
    return m_pGuard->Port();
}

bool CWebDoor::SameOrigin(const QHttpServerRequest& request) const {
    // Browsers name the page's origin; scripts (curl, matrixctl) send none.
    const QByteArray origin = request.value("Origin");
    if (origin.isEmpty()) {
        return true;
    }
    const QUrl url(QString::fromLatin1(origin));
    const QString host = QString::fromLatin1(request.value("Host"));
    const QString named =
        url.host() + (url.port() < 0 ? QString() : ":" + QString::number(url.port()));
    const QString bracketed =
        "[" + url.host() + "]" + (url.port() < 0 ? QString() : ":" + QString::number(url.port()));
    return (url.scheme() == "http" || url.scheme() == "https") &&
           (host == named || host == bracketed);
}

// A read without a password needs no session: making one for every cookieless call would let
// anyone fill the table and push out the sessions in use. A change is given one when it names
// none, and answered with its cookie.
CWebDoor::Caller CWebDoor::Session(const QHttpServerRequest& request, bool changing) {
    const auto now = CWebSessions::Clock::now();
    Caller caller;
    const std::string token = CookieOf(request).toStdString();
    if (const auto client = m_sessions.Use(token, now)) {
        caller.client = *client;
        caller.token = token;
        return caller;
    }
    if (!m_settings.passwordHash.empty()) {
        caller.refusal = 401;
        return caller;
    }
    if (!changing) {
        return caller;
    }
    std::vector<ClientId> ended;
    const auto opened = m_sessions.Open(now, ended);
    EndSessions(ended);
    if (!opened) {
        caller.refusal = 503;
        return caller;
    }
    caller.client = opened->client;
    caller.token = opened->token;
    caller.opened = true;
    return caller;
}

// A page of another site whose name its DNS turns to this machine's address (DNS rebinding)
// is of the same origin as far as the browser knows, but it sends its own name as Host.
// Requests that name this machine otherwise are served: one of its names, an address the
// connection came in on, or a name the administrator gave.
bool CWebDoor::NamesThisMachine(const QHttpServerRequest& request, const QTcpSocket& socket) const {
    const QByteArray header = request.value("Host");
    if (header.isEmpty()) {
        return true;  // an HTTP/1.0 script: every browser names the host
    }
    const QString host = HostOf(header);
    if (host.isEmpty()) {
        return false;
    }
    const QHostAddress address(host);
    if (!address.isNull()) {
        return address.isEqual(socket.localAddress(), QHostAddress::ConvertV4MappedToIPv4) ||
               std::ranges::find(m_settings.hostNames, host) != m_settings.hostNames.end();
    }
    const std::vector<QString> own = MachineNames();
    return std::ranges::find(own, host) != own.end() ||
           std::ranges::find(m_settings.hostNames, host) != m_settings.hostNames.end();
}

void CWebDoor::EndSessions(const std::vector<ClientId>& clients) {
    for (ClientId client : clients) {
        m_hub.ClientGone(client);
    }
}

bool CWebDoor::handleRequest(const QHttpServerRequest& request, QTcpSocket* socket) {
    const CRequestMeter::Head head = m_pGuard->TakeHead(socket);
    if (socket->property(kClosing).toBool()) {
        return !IsUpgrade(request);  // after the request that ended the connection
    }
    const CAnswering answering(*this, socket,
                               head.closes || request.value("Connection").toLower() == "close");
    const QString path = request.url().path();
    const bool upgrade = IsUpgrade(request);
    if (!NamesThisMachine(request, *socket)) {
        m_nRefusal = 421;
        if (upgrade) {
            return false;
        }
        Send(socket, Refused(421));
        return true;
    }
    if (!path.startsWith("/api/") && !upgrade) {
        Send(socket, request.method() == QHttpServerRequest::Method::Get
                         ? Page(path)
                         : Reply{405, Error("the page is read only")});
        return true;
    }
    const bool reading = request.method() == QHttpServerRequest::Method::Get && !upgrade;
    if (!reading && !SameOrigin(request)) {
        m_nRefusal = 403;
        if (upgrade) {
            return false;
        }
        Send(socket, Reply{403, Error("a request from another site's page")});
        return true;
    }
    if (path == "/api/v1/session") {
        Send(socket, SignIn(request, socket));  // a sign-in is answered once checked
        return true;
    }
    // A WebSocket only listens: without a password and a cookie it watches as nobody's.
    const Caller caller = Session(request, !reading && !upgrade);
    if (caller.refusal != 0) {
        m_nRefusal = caller.refusal;
        if (upgrade) {
            return false;
        }
        Send(socket, Refused(caller.refusal));
        return true;
    }
    if (upgrade) {
        if (path != "/api/v1/events" || AnswerAwaited(socket)) {
            m_nRefusal = 404;
            return false;
        }
        // Written nothing: the server answers 101 and hands the socket on as a WebSocket.
        m_pGuard->Upgraded(socket);
        m_upgrades[{socket->peerAddress().toString(), socket->peerPort()}] = caller.token;
        return true;
    }
    Call call{request.method(), ApiSegments(request.url()), {}, caller.client};
    if (!request.body().isEmpty()) {
        QJsonParseError error{};
        const QJsonDocument document = QJsonDocument::fromJson(request.body(), &error);
        if (error.error != QJsonParseError::NoError || !document.isObject()) {
            Send(socket, Reply{400, Error("the body is not a JSON object")});
            return true;
        }
        call.body = document.object();
    }
    Reply reply = Api(call);
    if (caller.opened) {
        reply.headers.emplace_back("Set-Cookie", SetCookie(caller.token));
    }
    Send(socket, reply);
    return true;
}

void CWebDoor::missingHandler(const QHttpServerRequest&, QTcpSocket* socket) {
    const CAnswering answering(*this, socket, true);
    const int status = std::exchange(m_nRefusal, 0);
    Send(socket, status == 401 || status == 403 || status == 421
                     ? Refused(status)
                     : Reply{404, Error("no such call")});
}
