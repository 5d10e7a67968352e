// The hub's changes to every WebSocket as they happen.
#include <algorithm>
#include <iterator>

#include <QPointer>
#include <QWebSocket>

#include "hub/CEventLog.h"
#include "hub/net/ClientAccess.h"
#include "hub/web/CWebDoor.h"
#include "hub/web/CWebGuard.h"

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

namespace {

// The state message's envelope, which GET /api/v1/state leaves out.
constexpr std::string_view kStateOpen = "{\"state\":";
constexpr std::string_view kStateClose = ",\"type\":\"state\"}";

void OutputList(CJsonWriter& json, const CHubState& state, const std::vector<int>& outputs,
                HubJson::LockSpots* spots) {
    json.Key("outputs").Array();
    for (int port : outputs) {
        HubJson::Output(json, state, port, kNoClient, spots);
    }
    json.End();
}

}  // namespace

HubJson::Head CWebDoor::Head() const {
    return HubJson::Head{m_hub.Version(), m_settings.name.toStdString(), m_hub.Present(),
                         m_settings.linkText ? m_settings.linkText().toStdString() : std::string()};
}

// Every change the state's text shows grows the version, but for routes learned while the
// switcher is not (yet) present and for the link's text: kept only while present, per link.
const CWebDoor::SharedState& CWebDoor::StateNow() {
    HubJson::Head head = Head();
    if (head.present && m_state.version == head.version && m_state.link == head.link &&
        !m_state.message.text.empty()) {
        return m_state;
    }
    std::string& text = m_state.message.text;
    text.assign(kStateOpen);
    m_state.message.locks.clear();
    CJsonWriter json(text);
    HubJson::State(json, head, m_hub.State(), &m_hub.Salvos(), kNoClient, &m_state.message.locks);
    text += kStateClose;
    m_state.common = QString::fromStdString(text);
    m_state.version = head.present ? head.version : 0;
    m_state.link = std::move(head.link);
    return m_state;
}

QByteArray CWebDoor::StateBody(ClientId viewer) {
    const HubJson::SharedText& message = StateNow().message;
    const bool same = message.SameFor(viewer);
    const std::string seen = same ? std::string() : message.SeenBy(viewer);
    const std::string_view text = same ? message.text : seen;
    return QByteArray(text.data() + kStateOpen.size(),
                      static_cast<qsizetype>(text.size() - kStateOpen.size() - kStateClose.size()));
}

// The whole state goes through whatever its size: the bound is for what piles up after it.
void CWebDoor::SendState(QWebSocket* socket, ClientId client) {
    const SharedState& state = StateNow();
    const bool same = state.message.SameFor(client);
    const std::string seen = same ? std::string() : state.message.SeenBy(client);
    if (const auto entry = m_sockets.find(socket); entry != m_sockets.end()) {
        entry->second.stateUnsent =
            static_cast<qint64>(same ? state.message.text.size() : seen.size());
    }
    SendText(socket, same ? state.common : QString::fromStdString(seen));
}

void CWebDoor::SendText(QWebSocket* socket, const QString& text) {
    if (socket->state() != QAbstractSocket::ConnectedState) {
        return;
    }
    socket->sendTextMessage(text);
    // Out in this turn of the event loop, not the next: only what the kernel does not take
    // waits for the socket to be writable.
    socket->flush();
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

// The sockets at hand and their clients, apart from m_sockets: a socket that fails while it is
// written to leaves m_sockets there and then.
std::vector<std::pair<QPointer<QWebSocket>, ClientId>> CWebDoor::Viewers() const {
    std::vector<std::pair<QPointer<QWebSocket>, ClientId>> viewers;
    viewers.reserve(m_sockets.size());
    for (const auto& [socket, entry] : m_sockets) {
        viewers.emplace_back(socket, entry.client);
    }
    return viewers;
}

// Viewers differ only in the locks they hold themselves ("mine"): the message is written once
// for everyone, and rewritten only for a holder of a lock it shows.
void CWebDoor::SendChange(const ChangeKeys& keys) {
    HubJson::SharedText change;
    CJsonWriter json(change.text);
    json.Object();
    keys(json, &change.locks);
    json.Key("type").String("change").Key("version").Int(static_cast<qint64>(m_hub.Version()));
    json.End();
    const QString common = QString::fromStdString(change.text);
    for (const auto& [socket, client] : Viewers()) {
        if (socket) {
            SendText(socket, change.SameFor(client)
                                 ? common
                                 : QString::fromStdString(change.SeenBy(client)));
        }
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
    SendChange([&](CJsonWriter& json, HubJson::LockSpots* spots) {
        OutputList(json, m_hub.State(), outputs, spots);
    });
}

// Inputs and outputs, each list only when it names any.
void CWebDoor::LabelsChanged(const std::vector<int>& inputs, const std::vector<int>& outputs) {
    SendChange([&](CJsonWriter& json, HubJson::LockSpots* spots) {
        const CHubState& state = m_hub.State();
        if (!inputs.empty()) {
            json.Key("inputs").Array();
            for (int port : inputs) {
                HubJson::Input(json, state, port);
            }
            json.End();
        }
        if (!outputs.empty()) {
            OutputList(json, state, outputs, spots);
        }
    });
}

void CWebDoor::DeviceChanged(bool) {
    if (m_hub.DeviceState() == CHub::Device::Learning) {
        return;
    }
    if (m_hub.Present()) {
        // Every route was learned anew: the whole state.
        for (const auto& [socket, client] : Viewers()) {
            if (socket) {
                SendState(socket, client);
            }
        }
        return;
    }
    SendChange([&](CJsonWriter& json, HubJson::LockSpots*) {
        json.Key("link").String(Head().link).Key("present").Bool(false);
    });
}

void CWebDoor::SalvosChanged() {
    SendChange([&](CJsonWriter& json, HubJson::LockSpots*) {
        json.Key("salvos");
        HubJson::Salvos(json, m_hub.Salvos());
    });
}
