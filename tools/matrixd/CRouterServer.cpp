#include "tools/matrixd/CRouterServer.h"

#include <vector>

#include "tools/matrixd/CRouterCore.h"

CRouterServer::CRouterServer(const CClientAccess& access, CEventLog& log, QObject* parent)
    : CClientServer("router", access, log, parent) {}

void CRouterServer::Connected(ClientId client) {
    m_readers.emplace(client, CRequestReader());
    m_pCore->ClientConnected(client);
}

void CRouterServer::Gone(ClientId client) {
    m_readers.erase(client);
    m_pCore->ClientGone(client);
}

void CRouterServer::Resume(ClientId client) {
    QMetaObject::invokeMethod(
        this,
        [this, client] {
            if (QTcpSocket* socket = Socket(client);
                socket != nullptr && socket->bytesAvailable() > 0) {
                Readable(client, *socket);
            }
        },
        Qt::QueuedConnection);
}

void CRouterServer::Readable(ClientId client, QTcpSocket& socket) {
    if (m_pCore->Holding(client)) {
        return;  // read once its first dump is out
    }
    CRequestReader& reader = m_readers.at(client);
    std::vector<RouterRequest> requests;
    char buffer[16 * 1024];
    while (Socket(client) != nullptr && socket.bytesAvailable() > 0) {
        const qint64 n = socket.read(buffer, sizeof buffer);
        if (n <= 0) {
            break;
        }
        requests.clear();
        reader.Feed(std::string_view(buffer, static_cast<std::size_t>(n)), requests);
        for (const RouterRequest& request : requests) {
            if (Socket(client) == nullptr) {
                return;  // cut off while answering
            }
            m_pCore->Request(client, request);
        }
    }
}
