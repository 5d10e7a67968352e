#include "link/ReceiveThread.h"

#include <array>
#include <cstring>

#include "link/ReplyReceivers.h"

namespace {
constexpr std::string_view kReceiveFailure = "Data receival failure!";
}  // namespace

ReceiveThread::ReceiveThread() = default;

ReceiveThread::~ReceiveThread() {
    Stop();
}

bool ReceiveThread::Start(CNetClient& client, ChunkReceiver receiver, UiPost post) {
    Stop();
    const CNetClient::Token token = client.SocketToken();
    if (token == 0) {
        return false;
    }
    m_pClient = &client;
    m_nToken = token;
    m_handOff.SetUiPost(std::move(post));
    m_handOff.SetReceiver([deliver = std::move(receiver)](const std::string& text) {
        if (deliver) {
            deliver(text);
        }
    });
    m_handOff.Arm();
    m_bStop.store(false);
    m_bRunning.store(true);
    m_thread = std::thread(&ReceiveThread::Loop, this, &client, token);
    return true;
}

void ReceiveThread::Stop() {
    m_bStop.store(true);
    m_handOff.Stop();
    if (!m_thread.joinable()) {
        return;
    }
    if (m_pClient != nullptr) {
        m_pClient->Interrupt(m_nToken);
    }
    if (m_thread.get_id() == std::this_thread::get_id()) {
        m_thread.detach();  // stopped from its own receiver: it ends right after
    } else {
        m_thread.join();
    }
    m_bRunning.store(false);
}

void ReceiveThread::Loop(CNetClient* client, CNetClient::Token token) {
    std::array<char, kChunk> buffer{};
    while (!m_bStop.load()) {
        buffer.fill('\0');
        const long received = client->Receive(token, buffer.data(), buffer.size());
        if (m_bStop.load()) {
            break;
        }
        if (received < 0) {
            m_handOff.Deliver(std::string(kReceiveFailure));
            client->CloseIf(token);
            break;
        }
        if (received == 0) {
            client->CloseIf(token);
            break;
        }
        const std::string_view text = ChunkText(buffer.data(), static_cast<std::size_t>(received));
        if (!text.empty()) {
            m_handOff.Deliver(std::string(text));
        }
    }
    m_bRunning.store(false);
}
