// Answers to HTTP requests, written in the order of their requests.
#include <QTcpSocket>

#include "hub/CEventLog.h"
#include "hub/net/ClientAccess.h"
#include "hub/web/CWebDoor.h"
#include "hub/web/HttpStatus.h"
#include "hub/web/WebReplies.h"

using namespace WebReplies;

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
