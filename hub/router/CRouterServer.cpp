#include "hub/router/CRouterServer.h"

#include <vector>

#include "hub/router/CRouterDoor.h"

CRouterServer::CRouterServer(const CClientAccess& access, CEventLog& log, QObject* parent)
    : CClientServer("router", access, log, parent) {}

void CRouterServer::Connected(ClientId client) {
    m_readers.try_emplace(client);
    m_pDoor->ClientConnected(client);
}

void CRouterServer::Gone(ClientId client) {
    if (const auto found = m_readers.find(client); found != m_readers.end()) {
        m_nHeld -= found->second.reader.Held();
        m_readers.erase(found);
    }
    m_pDoor->ClientGone(client);
}

void CRouterServer::Resume(ClientId client) {
    if (const auto found = m_readers.find(client); found != m_readers.end()) {
        WorkLater(client, found->second);
    }
}

void CRouterServer::Readable(ClientId client) {
    Work(client);
}

void CRouterServer::WorkLater(ClientId client, Reading& reading) {
    if (reading.again) {
        return;
    }
    reading.again = true;
    QMetaObject::invokeMethod(
        this,
        [this, client] {
            if (const auto found = m_readers.find(client); found != m_readers.end()) {
                found->second.again = false;
                Work(client);
            }
        },
        Qt::QueuedConnection);
}

void CRouterServer::Work(ClientId client) {
    const auto found = m_readers.find(client);
    if (found == m_readers.end() || m_pDoor->Holding(client)) {
        return;  // a held client is read once its first dump is out
    }
    Reading& reading = found->second;
    int budget = kBlocksPerTurn;
    std::vector<RouterRequest> blocks;
    char buffer[4096];
    for (;;) {
        while (reading.next < reading.ready.size()) {
            if (budget-- == 0) {
                WorkLater(client, reading);
                return;
            }
            const RouterRequest request = std::move(reading.ready[reading.next++]);
            if (reading.next == reading.ready.size()) {
                reading.ready = {};
                reading.next = 0;
            }
            m_pDoor->Request(client, request);
            if (!Serves(client)) {
                return;  // cut off while answering
            }
        }
        const std::size_t n = ReadFrom(client, buffer, sizeof buffer);
        if (n == 0) {
            return;
        }
        const std::size_t before = reading.reader.Held();
        blocks.clear();
        reading.reader.Feed(std::string_view(buffer, n), blocks);
        m_nHeld = m_nHeld - before + reading.reader.Held();
        for (RouterRequest& block : blocks) {
            reading.ready.push_back(std::move(block));
        }
        if (m_nHeld > kMaxHeldTotal && reading.reader.Held() > 0) {
            Drop(client, "holds unfinished blocks while all clients' together reach " +
                             std::to_string(kMaxHeldTotal >> 20) + " MiB; cut off");
            return;
        }
    }
}
