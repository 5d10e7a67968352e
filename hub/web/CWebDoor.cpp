#include "hub/web/CWebDoor.h"

#include <QFile>
#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QJsonDocument>
#include <QLoggingCategory>
#include <QNetworkRequest>
#include <QPointer>
#include <QTcpSocket>
#include <QUrl>
#include <QWebSocket>

#include "hub/CEventLog.h"
#include "hub/net/ClientAccess.h"
#include "hub/web/CWebGuard.h"
#include "hub/web/HttpStatus.h"

namespace {

const char kCookie[] = "matrixd_session";

QByteArray Json(const QJsonObject& object) {
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

QByteArray Json(const QJsonArray& array) {
    return QJsonDocument(array).toJson(QJsonDocument::Compact);
}

QByteArray Error(const QString& text) {
    return Json(QJsonObject{{"error", text}});
}

QByteArray CookieOf(const QHttpServerRequest& request) {
    for (const QByteArray& part : request.value("Cookie").split(';')) {
        const QByteArray item = part.trimmed();
        if (item.startsWith(QByteArray(kCookie) + "=")) {
            return item.mid(static_cast<qsizetype>(sizeof kCookie));
        }
    }
    return {};
}

QByteArray SetCookie(const std::string& token) {
    return QByteArray(kCookie) + "=" + QByteArray::fromStdString(token) +
           "; Path=/; HttpOnly; SameSite=Strict";
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

std::optional<int> PortIn(const QString& text, int count) {
    bool ok = false;
    const int n = text.toInt(&ok);
    return ok && n >= 1 && n <= count && !text.startsWith('+') && !text.startsWith('0')
               ? std::optional<int>(n - 1)
               : std::nullopt;
}

}  // namespace

struct CWebDoor::Call {
    QHttpServerRequest::Method method;
    QStringList path;  // after /api/v1/
    QJsonObject body;
    ClientId client = kNoClient;
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

// Written by hand rather than through the server's responder: a sign-in answers after its
// request has gone (the password check), when the connection may have gone too.
void CWebDoor::Send(QTcpSocket* socket, const Reply& reply) {
    if (reply.status == 0 || socket == nullptr ||
        socket->state() != QAbstractSocket::ConnectedState) {
        return;
    }
    QByteArray head = "HTTP/1.1 " + QByteArray::number(reply.status) + " " +
                      HttpReason(reply.status) + "\r\nContent-Type: " + reply.type +
                      "\r\nContent-Length: " + QByteArray::number(reply.body.size()) +
                      "\r\nX-Content-Type-Options: nosniff"
                      "\r\nContent-Security-Policy: default-src 'self'; connect-src 'self'; "
                      "frame-ancestors 'none'\r\n";
    bool cached = false;
    for (const auto& [name, value] : reply.headers) {
        head += name + ": " + value + "\r\n";
        cached = cached || name == "Cache-Control";
    }
    if (!cached) {
        head += "Cache-Control: no-store\r\n";
    }
    socket->write(head + "\r\n" + reply.body);
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

std::optional<ClientId> CWebDoor::Session(const QHttpServerRequest& request, std::string* token,
                                          std::string* opened) {
    const auto now = CWebSessions::Clock::now();
    *token = CookieOf(request).toStdString();
    if (const auto client = m_sessions.Use(*token, now)) {
        return client;
    }
    if (!m_settings.passwordHash.empty()) {
        return std::nullopt;
    }
    std::vector<ClientId> ended;
    *token = *opened = m_sessions.Open(now, ended);
    EndSessions(ended);
    return m_sessions.Use(*token, now);
}

void CWebDoor::EndSessions(const std::vector<ClientId>& clients) {
    for (ClientId client : clients) {
        m_hub.ClientGone(client);
    }
}

bool CWebDoor::handleRequest(const QHttpServerRequest& request, QTcpSocket* socket) {
    const QString path = request.url().path();
    if (!path.startsWith("/api/")) {
        Send(socket, request.method() == QHttpServerRequest::Method::Get
                         ? Page(path)
                         : Reply{405, Error("the page is read only")});
        return true;
    }
    const bool upgrade = request.value("Upgrade").toLower() == "websocket";
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
    std::string token;
    std::string opened;
    const auto client = Session(request, &token, &opened);
    if (!client) {
        m_nRefusal = 401;
        if (upgrade) {
            return false;
        }
        Send(socket, Reply{401, Error("sign in first")});
        return true;
    }
    if (upgrade) {
        if (path != "/api/v1/events") {
            m_nRefusal = 404;
            return false;
        }
        // Written nothing: the server answers 101 and hands the socket on as a WebSocket.
        m_upgrades[{socket->peerAddress().toString(), socket->peerPort()}] = token;
        return true;
    }
    Call call{request.method(), ApiSegments(request.url()), {}, *client};
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
    if (!opened.empty()) {
        reply.headers.emplace_back("Set-Cookie", SetCookie(opened));
    }
    Send(socket, reply);
    return true;
}

void CWebDoor::missingHandler(const QHttpServerRequest&, QTcpSocket* socket) {
    CWebGuard::UpgradeRefused(socket);
    const int status = std::exchange(m_nRefusal, 0);
    const QString why = status == 401   ? "sign in first"
                        : status == 403 ? "a request from another site's page"
                                        : "no such call";
    Send(socket, Reply{status == 0 ? 404 : status, Error(why)});
    socket->disconnectFromHost();
}

CWebDoor::Reply CWebDoor::Page(const QString& path) const {
    const QString name = path == "/" ? "index.html" : path.mid(1);
    QFile file(":/web/" + name);
    if (name.contains('/') || !file.open(QIODevice::ReadOnly)) {
        return Reply{404, "not found\n", "text/plain; charset=utf-8"};
    }
    const QByteArray type = name.endsWith(".html")  ? "text/html; charset=utf-8"
                            : name.endsWith(".js")  ? "text/javascript; charset=utf-8"
                            : name.endsWith(".css") ? "text/css; charset=utf-8"
                            : name.endsWith(".svg") ? "image/svg+xml"
                                                    : "application/octet-stream";
    // Checked again at each load: a new matrixd brings its own page.
    return Reply{200, file.readAll(), type, {{"Cache-Control", "no-cache"}}};
}

CWebDoor::Reply CWebDoor::SignIn(const QHttpServerRequest& request, QTcpSocket* socket) {
    using Method = QHttpServerRequest::Method;
    const bool required = !m_settings.passwordHash.empty();
    std::string token;
    std::string opened;
    if (request.method() == Method::Get) {
        const bool signedIn = Session(request, &token, &opened).has_value();
        Reply reply{200, Json(QJsonObject{{"signedIn", signedIn}, {"passwordRequired", required}})};
        if (!opened.empty()) {
            reply.headers.emplace_back("Set-Cookie", SetCookie(opened));
        }
        return reply;
    }
    if (request.method() == Method::Delete) {
        if (const auto client = m_sessions.Close(CookieOf(request).toStdString())) {
            EndSessions({*client});
        }
        return Reply{204,
                     {},
                     "application/json",
                     {{"Set-Cookie", QByteArray(kCookie) + "=; Path=/; Max-Age=0"}}};
    }
    if (request.method() != Method::Post) {
        return Reply{405, Error("GET, POST or DELETE")};
    }
    const std::string address = AddressText(socket->peerAddress()).toStdString();
    const auto now = CWebSessions::Clock::now();
    if (!required) {
        Session(request, &token, &opened);
        return Reply{204, {}, "application/json", {{"Set-Cookie", SetCookie(token)}}};
    }
    if (const int wait = m_throttle.WaitFor(address, now); wait > 0) {
        return Reply{429,
                     Error("too many failed sign-ins: wait a moment"),
                     "application/json",
                     {{"Retry-After", QByteArray::number(wait)}}};
    }
    if (m_nChecks >= kMaxChecks) {
        return Reply{503, Error("too many sign-ins at once: try again")};
    }
    const QString password =
        QJsonDocument::fromJson(request.body()).object().value("password").toString();
    // The check takes a tenth of a second: it runs on the checks' thread, and the answer is
    // written when it is done (the responder may wait; the server keeps the connection).
    ++m_nChecks;
    QPointer<CWebDoor> door(this);
    m_checks.start([door, socket = QPointer<QTcpSocket>(socket), address,
                    hash = m_settings.passwordHash, typed = password.toStdString()] {
        const bool ok = WebPassword::Verify(hash, typed);
        QMetaObject::invokeMethod(
            door.data(),
            [door, socket, address, ok] {
                CWebDoor& self = *door;
                --self.m_nChecks;
                Reply reply{401, Error("wrong password")};
                if (ok) {
                    self.m_throttle.Succeeded(address);
                    std::vector<ClientId> ended;
                    const std::string session =
                        self.m_sessions.Open(CWebSessions::Clock::now(), ended);
                    self.EndSessions(ended);
                    reply =
                        Reply{204, {}, "application/json", {{"Set-Cookie", SetCookie(session)}}};
                } else {
                    self.m_throttle.Failed(address, CWebSessions::Clock::now());
                    self.m_log.Log("web: a failed sign-in from " + address);
                }
                self.Send(socket, reply);
            },
            Qt::QueuedConnection);
    });
    return Reply{};  // answered when checked
}

CWebDoor::Reply CWebDoor::Api(const Call& call) {
    using Method = QHttpServerRequest::Method;
    const QStringList& p = call.path;
    const CHubState& state = m_hub.State();
    if (p == QStringList{"state"} && call.method == Method::Get) {
        return Reply{200, Json(ApiJson::State(m_hub, Switcher(), call.client))};
    }
    if (p == QStringList{"routes"} && call.method == Method::Post) {
        return Routes(call);
    }
    if (p == QStringList{"sites"} && call.method == Method::Get) {
        return Sites();
    }
    if (p.size() == 3 && (p[0] == "inputs" || p[0] == "outputs")) {
        const bool input = p[0] == "inputs";
        const auto port = PortIn(p[1], input ? state.Inputs() : state.Outputs());
        if (!port) {
            return Reply{404, Error("no " + p[0].chopped(1) + " " + p[1].left(16))};
        }
        if (p[2] == "label" && call.method == Method::Put) {
            return Label(call, input, *port);
        }
        if (!input && p[2] == "lock" && call.method == Method::Post) {
            return Lock(call, *port);
        }
    }
    if (p.value(0) == "salvos") {
        if (p.size() == 1 && call.method == Method::Get) {
            return Reply{200, Json(ApiJson::Salvos(m_hub.Salvos()))};
        }
        if (p.size() == 2 || p.size() == 3) {
            return Salvo(call, p[1].toStdString(), p.value(2));
        }
    }
    if (p.size() == 3 && p[0] == "presets" && call.method == Method::Post) {
        const auto preset = PortIn(p[1], CHub::kMaxPreset);
        if (!preset) {
            return Reply{404, Error("presets are 1 to " + QString::number(CHub::kMaxPreset))};
        }
        return Preset(call, *preset + 1, p[2]);
    }
    return Reply{404, Error("no such call")};
}

CWebDoor::Reply CWebDoor::Accepted(CHub::Result result, int okStatus) const {
    switch (result) {
        case CHub::Result::Queued:
            return Reply{okStatus,
                         Json(QJsonObject{{"version", static_cast<qint64>(m_hub.Version())}})};
        case CHub::Result::Locked:
            return Reply{423, Error("an output is locked by another controller")};
        case CHub::Result::Full:
            return Reply{429, Error("earlier commands of this panel still wait for the switcher")};
        case CHub::Result::Absent:
            return Reply{503, Error("the switcher is absent")};
        case CHub::Result::Bad:
            break;
    }
    return Reply{400, Error("a port out of range, or an output named twice")};
}

CWebDoor::Reply CWebDoor::Changed() const {
    return Reply{200, Json(QJsonObject{{"version", static_cast<qint64>(m_hub.Version())}})};
}

CWebDoor::Reply CWebDoor::Routes(const Call& call) {
    QString error;
    const auto routes = ApiJson::ReadRoutes(call.body, &error, {"ifVersion"});
    if (!routes) {
        return Reply{400, Error(error)};
    }
    if (call.body.contains("ifVersion")) {
        const QJsonValue version = call.body.value("ifVersion");
        if (!version.isDouble()) {
            return Reply{400, Error("\"ifVersion\" must be a number")};
        }
        if (version.toDouble() != static_cast<double>(m_hub.Version())) {
            return Reply{409, Error("changed meanwhile: now at version " +
                                    QString::number(m_hub.Version()))};
        }
    }
    return Accepted(m_hub.SubmitRoutes(call.client, *routes));
}

CWebDoor::Reply CWebDoor::Label(const Call& call, bool input, int port) {
    const QJsonValue label = call.body.value("label");
    if (!label.isString() || call.body.size() != 1) {
        return Reply{400, Error("the body is {\"label\": \"...\"}")};
    }
    const std::string text = label.toString().toStdString();
    if (text.size() > 255 || !m_hub.SetLabels({LabelChange{input, port + 1, text}})) {
        return Reply{400, Error("a label is text of at most 255 bytes")};
    }
    return Changed();
}

CWebDoor::Reply CWebDoor::Lock(const Call& call, int port) {
    const QString action = call.body.value("action").toString();
    CHub::LockAction lock{};
    if (action == "lock") {
        lock = CHub::LockAction::Lock;
    } else if (action == "unlock") {
        lock = CHub::LockAction::Unlock;
    } else if (action == "force") {
        lock = CHub::LockAction::Force;
    } else {
        return Reply{400, Error("the body is {\"action\": \"lock\"}, \"unlock\" or \"force\"")};
    }
    if (!m_hub.ChangeLocks(call.client, {{port, lock}})) {
        return Reply{423, Error("the output is locked by another controller")};
    }
    return Changed();
}

CWebDoor::Reply CWebDoor::Salvo(const Call& call, const std::string& name, const QString& action) {
    using Method = QHttpServerRequest::Method;
    const auto found = m_hub.Salvos().find(name);
    const bool known = found != m_hub.Salvos().end();
    if (action == "take" && call.method == Method::Post) {
        return known ? Accepted(m_hub.TakeSalvo(call.client, name))
                     : Reply{404, Error("no such salvo")};
    }
    if (!action.isEmpty()) {
        return Reply{404, Error("no such call")};
    }
    switch (call.method) {
        case Method::Get:
            return known ? Reply{200, Json(ApiJson::Salvo(name, found->second))}
                         : Reply{404, Error("no such salvo")};
        case Method::Delete:
            return m_hub.DeleteSalvo(name) ? Changed() : Reply{404, Error("no such salvo")};
        case Method::Put: {
            QString error;
            const auto routes = ApiJson::ReadRoutes(call.body, &error);
            if (!routes) {
                return Reply{400, Error(error)};
            }
            if (!CHub::IsSalvoName(name)) {
                return Reply{400, Error("a salvo name is 1 to 64 characters, without / or "
                                        "control characters")};
            }
            return m_hub.PutSalvo(name, *routes) ? Changed() : Accepted(CHub::Result::Bad);
        }
        default:
            return Reply{405, Error("GET, PUT or DELETE")};
    }
}

CWebDoor::Reply CWebDoor::Preset(const Call& call, int preset, const QString& action) {
    if (action != "save" && action != "recall") {
        return Reply{404, Error("presets/N/save or presets/N/recall")};
    }
    return Accepted(m_hub.SubmitPreset(call.client, action == "save", preset));
}

CWebDoor::Reply CWebDoor::Sites() const {
    QJsonArray list;
    if (m_settings.sites) {
        for (const auto& [name, url] : m_settings.sites()) {
            list.append(QJsonObject{{"name", name}, {"url", url}});
        }
    }
    return Reply{200, Json(list)};
}

ApiJson::Switcher CWebDoor::Switcher() const {
    return ApiJson::Switcher{m_settings.name,
                             m_settings.linkText ? m_settings.linkText() : QString()};
}

// ---- WebSockets -------------------------------------------------------------------------------

void CWebDoor::SocketOpened() {
    while (hasPendingWebSocketConnections()) {
        QWebSocket* socket = nextPendingWebSocketConnection().release();
        const auto found = m_upgrades.find({socket->peerAddress().toString(), socket->peerPort()});
        const std::optional<ClientId> client =
            found == m_upgrades.end() ? std::nullopt
                                      : m_sessions.Use(found->second, CWebSessions::Clock::now());
        if (!client) {
            socket->close(QWebSocketProtocol::CloseCodePolicyViolated);
            socket->deleteLater();
            continue;
        }
        const std::string token = found->second;
        m_upgrades.erase(found);
        socket->setParent(this);
        socket->setMaxAllowedIncomingMessageSize(kMaxMessage);
        socket->setMaxAllowedIncomingFrameSize(kMaxMessage);
        m_sessions.Sockets(token, +1);
        m_sockets[socket] = Socket{token, *client};
        connect(socket, &QWebSocket::disconnected, this, [this, socket] {
            if (const auto entry = m_sockets.find(socket); entry != m_sockets.end()) {
                m_sessions.Sockets(entry->second.token, -1);
                m_sessions.Use(entry->second.token, CWebSessions::Clock::now());
                m_sockets.erase(entry);
            }
            socket->deleteLater();
        });
        SendToSocket(socket, QJsonObject{{"type", "state"},
                                         {"state", ApiJson::State(m_hub, Switcher(), *client)}});
    }
    // Upgrades whose socket never came (the handshake failed) are not kept for ever.
    if (m_upgrades.size() > static_cast<std::size_t>(CWebGuard::kMaxConnections)) {
        m_upgrades.clear();
    }
}

void CWebDoor::SendToSocket(QWebSocket* socket, const QJsonObject& message) {
    SendText(socket, QString::fromUtf8(Json(message)));
}

void CWebDoor::SendText(QWebSocket* socket, const QString& text) {
    if (socket->state() != QAbstractSocket::ConnectedState) {
        return;
    }
    socket->sendTextMessage(text);
    if (socket->bytesToWrite() > kMaxUnread) {
        m_log.Log("web: a browser at " + AddressText(socket->peerAddress()).toStdString() +
                  " does not read: more than 1 MiB waited for it; cut off");
        // After the sending at hand: its disconnect takes it out of m_sockets.
        QMetaObject::invokeMethod(
            this,
            [socket = QPointer<QWebSocket>(socket)] {
                if (socket) {
                    socket->abort();
                }
            },
            Qt::QueuedConnection);
    }
}

// Viewers differ only in the locks they hold themselves ("mine"): the message is written once
// for everyone else, and again only for a holder of a lock on one of `outputs`.
void CWebDoor::SendChange(const std::function<QJsonObject(ClientId viewer)>& change,
                          const std::vector<int>& outputs) {
    const auto text = [&](ClientId viewer) {
        QJsonObject message = change(viewer);
        message.insert("type", "change");
        message.insert("version", static_cast<qint64>(m_hub.Version()));
        return QString::fromUtf8(Json(message));
    };
    const QString common = text(kNoClient);
    for (const auto& [socket, entry] : m_sockets) {
        const bool holds = std::any_of(outputs.begin(), outputs.end(), [&](int port) {
            return m_hub.State().LockOwner(port) == entry.client;
        });
        SendText(socket, holds ? text(entry.client) : common);
    }
}

void CWebDoor::RoutesChanged(const std::vector<int>& outputs) {
    LocksChanged(outputs);  // the same: the outputs as each viewer sees them
}

void CWebDoor::LocksChanged(const std::vector<int>& outputs) {
    SendChange(
        [&](ClientId viewer) {
            QJsonArray list;
            for (int port : outputs) {
                list.append(ApiJson::Output(m_hub.State(), port, viewer));
            }
            return QJsonObject{{"outputs", list}};
        },
        outputs);
}

void CWebDoor::LabelsChanged(const std::vector<int>& inputs, const std::vector<int>& outputs) {
    SendChange(
        [&](ClientId viewer) {
            QJsonObject change;
            QJsonArray list;
            for (int port : inputs) {
                list.append(ApiJson::Input(m_hub.State(), port));
            }
            if (!list.isEmpty()) {
                change.insert("inputs", list);
            }
            list = QJsonArray();
            for (int port : outputs) {
                list.append(ApiJson::Output(m_hub.State(), port, viewer));
            }
            if (!list.isEmpty()) {
                change.insert("outputs", list);
            }
            return change;
        },
        outputs);
}

void CWebDoor::DeviceChanged(bool) {
    if (m_hub.DeviceState() == CHub::Device::Learning) {
        return;
    }
    if (m_hub.Present()) {
        // Every route was learned anew: the whole state.
        for (const auto& [socket, entry] : m_sockets) {
            SendToSocket(socket,
                         QJsonObject{{"type", "state"},
                                     {"state", ApiJson::State(m_hub, Switcher(), entry.client)}});
        }
        return;
    }
    SendChange([&](ClientId) {
        return QJsonObject{{"present", false}, {"link", Switcher().link}};
    });
}

void CWebDoor::SalvosChanged() {
    SendChange([&](ClientId) { return QJsonObject{{"salvos", ApiJson::Salvos(m_hub.Salvos())}}; });
}
