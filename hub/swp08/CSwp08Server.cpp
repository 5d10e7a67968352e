#include "hub/swp08/CSwp08Server.h"

CSwp08Server::CSwp08Server(const CClientAccess& access, CEventLog& log, QObject* parent)
    : CClientServer("swp08", access, log, parent) {}

void CSwp08Server::Connected(ClientId client) {
    m_readers.try_emplace(client);
    m_pDoor->ClientConnected(client);
}

void CSwp08Server::Gone(ClientId client) {
    m_readers.erase(client);
    m_pDoor->ClientGone(client);
}

void CSwp08Server::Readable(ClientId client) {
    Work(client);
}

void CSwp08Server::Write(ClientId client, std::string_view bytes) {
    // Out now, on its own: a client may take each read for one frame.
    Send(client, bytes.data(), static_cast<qint64>(bytes.size()));
}

bool CSwp08Server::SendMessage(ClientId client, const std::string& message) {
    const auto found = m_readers.find(client);
    if (found == m_readers.end()) {
        return false;
    }
    found->second.connection.Send(message, [&](std::string_view bytes) { Write(client, bytes); });
    return true;
}

void CSwp08Server::Work(ClientId client) {
    auto found = m_readers.find(client);
    if (found == m_readers.end()) {
        return;
    }
    char buffer[kBytesPerTurn];
    const std::size_t n = ReadFrom(client, buffer, sizeof buffer);
    if (n == 0) {
        return;
    }
    found->second.connection.Feed(
        std::string_view(buffer, n), [&](std::string_view bytes) { Write(client, bytes); },
        [&](std::string_view message) {
            if (Serves(client)) {
                m_pDoor->Message(client, message);
            }
        });
    found = m_readers.find(client);
    if (found == m_readers.end() || !MayHaveMore(client) || found->second.again) {
        return;
    }
    // More waits: read it on a later turn, after the other clients had theirs.
    found->second.again = true;
    QMetaObject::invokeMethod(
        this,
        [this, client] {
            if (const auto reading = m_readers.find(client); reading != m_readers.end()) {
                reading->second.again = false;
                Work(client);
            }
        },
        Qt::QueuedConnection);
}
