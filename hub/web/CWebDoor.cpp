#include "hub/web/CWebDoor.h"

#include <unistd.h>

#include <algorithm>
#include <iterator>

#include <QFile>
#include <QFileInfo>
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
// A connection to be closed once its answers are out: requests after the last are not read.
const char kClosing[] = "matrixdClosing";

QByteArray Json(const QJsonObject& object) {
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

QByteArray Json(const QJsonArray& array) {
    return QJsonDocument(array).toJson(QJsonDocument::Compact);
}

QByteArray Error(const QString& text) {
    return Json(QJsonObject{{"error", text}});
}

// Why a salvo was not stored, as HTTP says it: no room left is a conflict with what is kept.
int SalvoRefusalStatus(CHub::SalvoPut put) {
    switch (put) {
        case CHub::SalvoPut::TooManySalvos:
            return 409;
        case CHub::SalvoPut::TooManyRoutes:
            return 413;
        case CHub::SalvoPut::Stored:
        case CHub::SalvoPut::BadName:
        case CHub::SalvoPut::BadRoute:
            break;
    }
    return 400;
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
// As the server tells it: the upgrade named in Connection, and a WebSocket asked for.
bool IsUpgrade(const QHttpServerRequest& request) {
    return request.value("Connection").toLower().contains("upgrade") &&
           request.value("Upgrade").toLower() == "websocket";
}

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

std::optional<int> PortIn(const QString& text, int count) {
    bool ok = false;
    const int n = text.toInt(&ok);
    return ok && n >= 1 && n <= count && !text.startsWith('+') && !text.startsWith('0')
               ? std::optional<int>(n - 1)
               : std::nullopt;
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
QByteArray CWebDoor::Response(const Reply& reply, bool closes) {
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
    if (closes) {
        head += "Connection: close\r\n";
    }
    return head + "\r\n" + reply.body;
}

// The answer to the request at hand (while the server hands one on), or else the first answer
// of the socket's that was left to come later.
void CWebDoor::Send(QTcpSocket* socket, const Reply& reply) {
    if (socket == nullptr) {
        return;
    }
    if (socket == m_pAnswering && m_bAnswered && reply.status == 0) {
        return;  // answered already (a sign-in refused before its check was waited for)
    }
    if (socket == m_pAnswering && !m_bAnswered) {
        m_bAnswered = true;
        const bool closes = m_bAnswerCloses;
        Queue(socket, Answer{reply.status == 0 ? QByteArray() : Response(reply, closes),
                             reply.status != 0, closes});
        return;
    }
    if (!AnswerAwaited(socket)) {
        return;  // nothing waits for it: the connection went
    }
    const auto found = m_answers.find(socket);
    Answer& first = found->second.queue.front();
    first.bytes = Response(reply, first.closes);
    first.ready = true;
    found->second.bytes += first.bytes.size();
    Flush(found);
}

bool CWebDoor::AnswerAwaited(QTcpSocket* socket) const {
    const auto found = m_answers.find(socket);
    return found != m_answers.end() && !found->second.socket.isNull();
}

void CWebDoor::Queue(QTcpSocket* socket, Answer answer) {
    auto found = m_answers.find(socket);
    if (found != m_answers.end() && found->second.socket.isNull()) {
        m_answers.erase(found);  // a socket gone, and another one where it was
        found = m_answers.end();
    }
    if (found == m_answers.end()) {
        if (answer.ready) {
            Write(socket, answer);
            return;
        }
        std::erase_if(m_answers, [](const auto& entry) { return entry.second.socket.isNull(); });
        found = m_answers.emplace(socket, Answers{socket, {}, 0}).first;
    }
    Answers& answers = found->second;
    answers.bytes += answer.bytes.size();
    answers.queue.push_back(std::move(answer));
    if (answers.queue.size() > kMaxWaitingAnswers || answers.bytes > kMaxUnread) {
        m_log.Log("web: a client at " + AddressText(socket->peerAddress()).toStdString() +
                  " sends requests while its earlier ones wait for their answer; cut off");
        m_answers.erase(found);
        socket->abort();
    }
}

void CWebDoor::Flush(std::map<QTcpSocket*, Answers>::iterator found) {
    Answers& answers = found->second;
    while (!answers.queue.empty() && answers.queue.front().ready) {
        Write(answers.socket, answers.queue.front());
        answers.queue.pop_front();
    }
    if (answers.queue.empty()) {
        m_answers.erase(found);
    }
}

void CWebDoor::Write(QTcpSocket* socket, const Answer& answer) {
    if (socket->state() != QAbstractSocket::ConnectedState) {
        return;
    }
    socket->write(answer.bytes);
    if (answer.closes) {
        socket->setProperty(kClosing, true);
        socket->disconnectFromHost();  // once the answer is out
    }
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

CWebDoor::Reply CWebDoor::Page(const QString& path) const {
    const QString name = path == "/" ? "index.html" : path.mid(1);
    QFile file(":/web/" + name);
    // "." and ".." name the page's directory, not a file of it.
    if (name.contains('/') || name.startsWith('.') || !QFileInfo(file).isFile() ||
        !file.open(QIODevice::ReadOnly)) {
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

CWebDoor::Reply CWebDoor::Refused(int status) {
    switch (status) {
        case 401:
            return Reply{401, Error("sign in first")};
        case 403:
            return Reply{403, Error("a request from another site's page")};
        case 421:
            return Reply{421, Error("the request names a host other than this one: add its "
                                    "name with --web-host")};
        default:
            return Reply{503, Error("every session is in use: try again in a few minutes")};
    }
}

CWebDoor::Reply CWebDoor::SignIn(const QHttpServerRequest& request, QTcpSocket* socket) {
    using Method = QHttpServerRequest::Method;
    const bool required = !m_settings.passwordHash.empty();
    if (request.method() == Method::Get) {
        const bool signedIn = Session(request, false).client != kNoClient;
        return Reply{200,
                     Json(QJsonObject{{"signedIn", signedIn}, {"passwordRequired", required}})};
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
    if (!required) {
        const Caller caller = Session(request, true);
        return caller.refusal != 0
                   ? Refused(caller.refusal)
                   : Reply{204, {}, "application/json", {{"Set-Cookie", SetCookie(caller.token)}}};
    }
    const std::string address = AddressText(socket->peerAddress()).toStdString();
    if (const int wait = m_throttle.WaitFor(address, CWebSessions::Clock::now()); wait > 0) {
        return Reply{429,
                     Error("too many failed sign-ins: wait a moment"),
                     "application/json",
                     {{"Retry-After", QByteArray::number(wait)}}};
    }
    const QString password =
        QJsonDocument::fromJson(request.body()).object().value("password").toString();
    return QueueCheck(WaitingCheck{socket, address, password.toStdString()});
}

// Password checks are slow and few can wait. When they are all taken, a sign-in from an address
// with no recent failure takes the place of the last one from a suspect address: guesses from
// many addresses cannot keep the right password out.
CWebDoor::Reply CWebDoor::QueueCheck(WaitingCheck check) {
    const auto now = CWebSessions::Clock::now();
    if (m_waiting.size() >= kMaxChecks) {
        const auto suspect = std::find_if(m_waiting.rbegin(), m_waiting.rend(), [&](const auto& w) {
            return m_throttle.FailedRecently(w.address, now);
        });
        if (suspect == m_waiting.rend() || m_throttle.FailedRecently(check.address, now)) {
            return Reply{503, Error("too many sign-ins at once: try again")};
        }
        Send(suspect->socket, Reply{503, Error("too many sign-ins at once: try again")});
        m_waiting.erase(std::next(suspect).base());
    }
    m_waiting.push_back(std::move(check));
    StartCheck();
    return Reply{};  // answered when checked
}

// One check at a time, the first waiting one from an address with no recent failure before
// the others. A check counts as a failure from its start until it proves right, so that
// parallel guesses from one address meet the wait as sequential ones do.
void CWebDoor::StartCheck() {
    while (!m_bChecking && !m_waiting.empty()) {
        const auto now = CWebSessions::Clock::now();
        auto next = std::find_if(m_waiting.begin(), m_waiting.end(), [&](const auto& w) {
            return !m_throttle.FailedRecently(w.address, now);
        });
        if (next == m_waiting.end()) {
            next = m_waiting.begin();
        }
        WaitingCheck check = std::move(*next);
        m_waiting.erase(next);
        if (!check.socket || check.socket->state() != QAbstractSocket::ConnectedState) {
            continue;  // nobody waits for the answer
        }
        if (const int wait = m_throttle.WaitFor(check.address, now); wait > 0) {
            Send(check.socket, Reply{429,
                                     Error("too many failed sign-ins: wait a moment"),
                                     "application/json",
                                     {{"Retry-After", QByteArray::number(wait)}}});
            continue;
        }
        m_throttle.Failed(check.address, now);
        m_bChecking = true;
        RunCheck(std::move(check));
    }
}

// The check takes a tenth of a second: it runs on the checks' thread, and the answer is
// written when it is done (the server keeps the connection meanwhile).
void CWebDoor::RunCheck(WaitingCheck check) {
    QPointer<CWebDoor> door(this);
    m_checks.start([door, check = std::move(check), hash = m_settings.passwordHash] {
        const bool ok = WebPassword::Verify(hash, check.password);
        QMetaObject::invokeMethod(
            door.data(),
            [door, socket = check.socket, address = check.address, ok] {
                door->CheckDone(socket.data(), address, ok);
            },
            Qt::QueuedConnection);
    });
}

void CWebDoor::CheckDone(QTcpSocket* socket, const std::string& address, bool ok) {
    m_bChecking = false;
    Reply reply{401, Error("wrong password")};
    if (ok) {
        m_throttle.Succeeded(address);
        std::vector<ClientId> ended;
        const auto opened = m_sessions.Open(CWebSessions::Clock::now(), ended);
        EndSessions(ended);
        reply = opened
                    ? Reply{204, {}, "application/json", {{"Set-Cookie", SetCookie(opened->token)}}}
                    : Refused(503);
    } else {
        m_log.Log("web: a failed sign-in from " + address);
    }
    Send(socket, reply);
    StartCheck();
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
    // Cut to the length every door keeps, as a name from a control surface is.
    if (!m_hub.SetLabels({LabelChange{input, port + 1, label.toString().toStdString()}})) {
        return Reply{400, Error("a label is text (UTF-8)")};
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
            const auto routes = ApiJson::ReadRoutes(call.body, &error, {}, Level::AV);
            if (!routes) {
                return Reply{400, Error(error)};
            }
            const CHub::SalvoPut put = m_hub.PutSalvo(name, *routes);
            if (put != CHub::SalvoPut::Stored) {
                return Reply{SalvoRefusalStatus(put),
                             Error(QString::fromStdString(CHub::SalvoRefusal(put)))};
            }
            return Changed();
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
        for (const WebSettings::Site& site : m_settings.sites()) {
            QJsonObject item{{"name", site.name}, {"url", site.url}};
            if (site.answers) {
                item.insert("answers", *site.answers);
            }
            list.append(item);
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
            : found->second.empty()   ? std::optional<ClientId>(kNoClient)  // a watcher
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
        // The whole state may be larger than what may wait unread: it is allowed for.
        connect(socket, &QWebSocket::bytesWritten, this, [this, socket](qint64 written) {
            if (const auto entry = m_sockets.find(socket); entry != m_sockets.end()) {
                entry->second.stateUnsent =
                    std::max<qint64>(0, entry->second.stateUnsent - written);
            }
        });
        connect(socket, &QWebSocket::disconnected, this, [this, socket] {
            if (const auto entry = m_sockets.find(socket); entry != m_sockets.end()) {
                m_sessions.Sockets(entry->second.token, -1);
                m_sessions.Use(entry->second.token, CWebSessions::Clock::now());
                m_sockets.erase(entry);
            }
            socket->deleteLater();
        });
        SendState(socket, *client);
    }
    // Upgrades whose socket never came (the handshake failed) are not kept for ever.
    if (m_upgrades.size() > static_cast<std::size_t>(CWebGuard::kMaxConnections)) {
        m_upgrades.clear();
    }
}

// The whole state goes through whatever its size: the bound is for what piles up after it.
void CWebDoor::SendState(QWebSocket* socket, ClientId client) {
    const QByteArray text =
        Json(QJsonObject{{"type", "state"}, {"state", ApiJson::State(m_hub, Switcher(), client)}});
    if (const auto entry = m_sockets.find(socket); entry != m_sockets.end()) {
        entry->second.stateUnsent = text.size();
    }
    SendText(socket, QString::fromUtf8(text));
}

void CWebDoor::SendText(QWebSocket* socket, const QString& text) {
    if (socket->state() != QAbstractSocket::ConnectedState) {
        return;
    }
    socket->sendTextMessage(text);
    const auto entry = m_sockets.find(socket);
    const qint64 allowed = kMaxUnread + (entry == m_sockets.end() ? 0 : entry->second.stateUnsent);
    if (socket->bytesToWrite() > allowed) {
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
        const bool holds =
            entry.client != kNoClient && std::any_of(outputs.begin(), outputs.end(), [&](int port) {
                return m_hub.State().LockOwner(port) == entry.client;
            });
        SendText(socket, holds ? text(entry.client) : common);
    }
}

// Each output once, whichever of its levels moved: its object carries both.
void CWebDoor::LevelsChanged(const std::vector<int>& video, const std::vector<int>& audio) {
    std::vector<int> outputs;
    std::set_union(video.begin(), video.end(), audio.begin(), audio.end(),
                   std::back_inserter(outputs));
    LocksChanged(outputs);
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
            SendState(socket, entry.client);
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
