// Sign-in and out, and the password checks behind them.
#include <QJsonDocument>
#include <QTcpSocket>

#include "hub/CEventLog.h"
#include "hub/net/ClientAccess.h"
#include "hub/web/CWebDoor.h"
#include "hub/web/WebReplies.h"

using namespace WebReplies;

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
