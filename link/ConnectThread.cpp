#include "link/ConnectThread.h"

#include <arpa/inet.h>

#include <cerrno>
#include <cstdio>

ConnectThread::ConnectThread() = default;

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
    m_handOff.SetUiPost(std::move(post));
    m_handOff.SetReceiver(std::move(receiver));
    m_handOff.Arm();
    m_bRunning.store(true);
    m_thread = std::thread([this, copy = request] {
        const int result = Connect(copy);
        m_handOff.Deliver(result);
        m_bRunning.store(false);
    });
    return true;
}

void ConnectThread::Stop() {
    m_handOff.Stop();
    if (!m_thread.joinable()) {
        return;
    }
    if (m_bRunning.load() && m_request.client != nullptr) {
        m_request.client->Interrupt(m_request.socket);
    }
    if (m_thread.get_id() == std::this_thread::get_id()) {
        m_thread.detach();  // stopped from its own result receiver: it ends right after
    } else {
        m_thread.join();
    }
}
