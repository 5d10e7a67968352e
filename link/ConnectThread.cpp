#include "link/ConnectThread.h"

#include <arpa/inet.h>

#include <cerrno>
#include <cstdio>

ConnectThread::ConnectThread() : m_handOff(std::make_shared<CHandOff<int>>()) {}

ConnectThread::~ConnectThread() {
    Stop();
}

int ConnectThread::Connect(const ConnectRequest& request) {
    if (request.client == nullptr) {
        return EBADF;
    }
    // Blank address fields read 0.0.0.0, which is nobody's address; Linux would take it for
    // this machine and connect to whatever listens here.
    if (request.address == ConnectRequest{}.address) {
        return EADDRNOTAVAIL;
    }
    char text[16];
    std::snprintf(text, sizeof text, "%d.%d.%d.%d", request.address[0], request.address[1],
                  request.address[2], request.address[3]);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(request.port);
    if (::inet_pton(AF_INET, text, &address.sin_addr) != 1) {
        return EINVAL;
    }
    return request.client->Connect(request.socket, address);
}

bool ConnectThread::Start(const ConnectRequest& request, ResultReceiver receiver, UiPost post) {
    Stop();
    m_request = request;
    m_handOff->SetUiPost(std::move(post));
    m_handOff->SetReceiver(std::move(receiver));
    m_handOff->Arm();
    m_pConnecting = std::make_shared<std::atomic<bool>>(true);
    m_worker.Start([handOff = m_handOff, connecting = m_pConnecting,
                    copy = request](const WorkerThread::Flags&) {
        const int result = Connect(copy);
        connecting->store(false);
        handOff->Deliver(result);
    });
    return true;
}

void ConnectThread::Stop() {
    m_worker.Stop([this] {
        m_handOff->Stop();
        // Only a connect still under way is woken; a socket whose connect is over (it may be
        // the link now) is left alone.
        if (m_pConnecting && m_pConnecting->load() && m_request.client != nullptr) {
            m_request.client->Interrupt(m_request.socket);
        }
    });
}
