#include "link/ReceiveThread.h"

#include <array>
#include <cstring>

#include "link/ReplyReceivers.h"

namespace {
constexpr std::string_view kReceiveFailure = "Data receival failure!";
}  // namespace

ReceiveThread::ReceiveThread() : m_handOff(std::make_shared<CHandOff<std::string>>()) {}

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
    m_handOff->SetUiPost(std::move(post));
    m_handOff->SetReceiver([deliver = std::move(receiver)](const std::string& text) {
        if (deliver) {
            deliver(text);
        }
    });
    m_handOff->Arm();
    // The loop holds the hand-off and the client, never this object.
    m_worker.Start([handOff = m_handOff, &client, token](const WorkerThread::Flags& flags) {
        std::array<char, kChunk> buffer{};
        while (!flags.stop.load()) {
            const long received = client.Receive(token, buffer.data(), buffer.size());
            if (flags.stop.load()) {
                break;
            }
            if (received < 0) {
                handOff->Deliver(std::string(kReceiveFailure));
                if (!flags.stop.load()) {  // a receiver that stopped the loop closed it already
                    client.CloseIf(token);
                }
                break;
            }
            if (received == 0) {
                client.CloseIf(token);
                break;
            }
            const std::string_view text =
                ChunkText(buffer.data(), static_cast<std::size_t>(received));
            if (!text.empty()) {
                handOff->Deliver(std::string(text));
            }
        }
    });
    return true;
}

void ReceiveThread::Stop() {
    m_worker.Stop([this] {
        m_handOff->Stop();
        if (m_pClient != nullptr) {
            m_pClient->Interrupt(m_nToken);
        }
    });
}
