#include "hub/mqtt/CMqttClient.h"

#include <mosquitto.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <QRandomGenerator>
#include <QSocketNotifier>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <utility>

#include "hub/CEventLog.h"

namespace {

void InitLibrary() {
    static const bool ready = [] {
        mosquitto_lib_init();
        return true;
    }();
    (void)ready;
}

std::string Problem(int rc, int error) {
    if (rc == MOSQ_ERR_ERRNO) {
        return std::strerror(error);
    }
    if (rc == MOSQ_ERR_EAI) {
        return "the host name cannot be looked up";
    }
    if (rc == MOSQ_ERR_TLS) {
        return "the TLS handshake failed (the broker's certificate must be signed by one of "
               "--mqtt-ca, else of the system's, and name the host of --mqtt)";
    }
    std::string text = mosquitto_strerror(rc);
    if (!text.empty() && text.back() == '.') {
        text.pop_back();
    }
    return text;
}

}  // namespace

CMqttClient::CMqttClient(Settings settings, Events events, CEventLog& log, QObject* parent)
    : QObject(parent), m_settings(std::move(settings)), m_events(std::move(events)), m_log(log) {
    InitLibrary();
    m_misc.setInterval(2000);
    connect(&m_misc, &QTimer::timeout, this, &CMqttClient::Misc);
    m_retry.setSingleShot(true);
    connect(&m_retry, &QTimer::timeout, this, &CMqttClient::Connect);
}

CMqttClient::~CMqttClient() {
    // A lookup in progress cannot be cut short; the thread ends with it.
    if (m_connector.joinable()) {
        m_connector.join();
    }
    if (m_pConnecting != nullptr) {
        mosquitto_destroy(m_pConnecting);
    }
    DropSession();
}

std::string CMqttClient::Target() const {
    return std::string(m_settings.tls ? "mqtts://" : "mqtt://") + m_settings.host + ":" +
           std::to_string(m_settings.port);
}

void CMqttClient::Start() {
    Connect();
}

mosquitto* CMqttClient::NewSession() {
    mosquitto* session = mosquitto_new(m_settings.clientId.c_str(), true, this);
    if (session == nullptr) {
        return nullptr;
    }
    mosquitto_int_option(session, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    mosquitto_max_inflight_messages_set(session, 100);
    mosquitto_will_set(session, m_settings.willTopic.c_str(),
                       static_cast<int>(m_settings.willPayload.size()),
                       m_settings.willPayload.data(), 1, true);
    if (!m_settings.user.empty()) {
        mosquitto_username_pw_set(
            session, m_settings.user.c_str(),
            m_settings.password.empty() ? nullptr : m_settings.password.c_str());
    }
    if (m_settings.tls) {
        if (m_settings.caFile.empty()) {
            mosquitto_int_option(session, MOSQ_OPT_TLS_USE_OS_CERTS, 1);
        } else {
            mosquitto_tls_set(session, m_settings.caFile.c_str(), nullptr, nullptr, nullptr,
                              nullptr);
        }
    }
    mosquitto_connect_callback_set(session, [](mosquitto*, void* self, int rc) {
        static_cast<CMqttClient*>(self)->OnConnack(rc);
    });
    mosquitto_message_callback_set(session,
                                   [](mosquitto*, void* self, const mosquitto_message* message) {
                                       static_cast<CMqttClient*>(self)->Received(*message);
                                   });
    mosquitto_publish_callback_set(session, [](mosquitto*, void* self, int) {
        auto* client = static_cast<CMqttClient*>(self);
        client->m_nUnacknowledged = std::max(0, client->m_nUnacknowledged - 1);
    });
    return session;
}

// What a message asks for runs once the library is out of its call: from inside it (its locks
// held) publishing an answer takes those locks in another order than a goodbye does.
void CMqttClient::Received(const mosquitto_message& message) {
    const auto bytes = static_cast<std::size_t>(std::max(0, message.payloadlen));
    if (bytes > kMaxMessageBytes) {
        QMetaObject::invokeMethod(
            this,
            [this, topic = std::string(message.topic), bytes, retained = message.retain] {
                if (m_events.oversized) {
                    m_events.oversized(topic, bytes, retained);
                }
            },
            Qt::QueuedConnection);
        return;
    }
    QMetaObject::invokeMethod(
        this,
        [this, topic = std::string(message.topic),
         payload = std::string(static_cast<const char*>(message.payload), bytes),
         retained = message.retain] {
            if (m_events.message) {
                m_events.message(topic, payload, retained);
            }
        },
        Qt::QueuedConnection);
}

void CMqttClient::Connect() {
    if (m_bStopped || m_pSession != nullptr || m_connector.joinable()) {
        return;
    }
    mosquitto* session = NewSession();
    if (session == nullptr) {
        Lost("no memory for a session");
        return;
    }
    m_pConnecting = session;
    m_connector = std::thread([this, session, host = m_settings.host, port = m_settings.port] {
        const int rc = mosquitto_connect_async(session, host.c_str(), port, kKeepAliveSeconds);
        const int error = errno;
        QMetaObject::invokeMethod(
            this, [this, session, rc, error] { ConnectDone(session, rc, error); },
            Qt::QueuedConnection);
    });
}

void CMqttClient::ConnectDone(mosquitto* session, int rc, int error) {
    m_connector.join();
    m_pConnecting = nullptr;
    if (m_bStopped || rc != MOSQ_ERR_SUCCESS) {
        mosquitto_destroy(session);
        if (!m_bStopped) {
            Lost(Problem(rc, error));
        }
        return;
    }
    m_pSession = session;
    Watch();
}

void CMqttClient::Watch() {
    const int fd = mosquitto_socket(m_pSession);
    m_pRead = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(m_pRead, &QSocketNotifier::activated, this, &CMqttClient::Readable);
    m_pWrite = new QSocketNotifier(fd, QSocketNotifier::Write, this);
    connect(m_pWrite, &QSocketNotifier::activated, this, &CMqttClient::Writable);
    m_misc.start();
    UpdateWrite();
}

void CMqttClient::Readable() {
    if (m_pSession == nullptr) {
        return;
    }
    AfterLoop(mosquitto_loop_read(m_pSession, 1));
    // What was read is acknowledged at once: a broker with Nagle's algorithm on (mosquitto's
    // default) holds its next message until then, and a delayed acknowledgement would cost
    // every command that follows another up to 40 ms.
    if (const int fd = m_pSession != nullptr ? mosquitto_socket(m_pSession) : -1; fd >= 0) {
        const int on = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
    }
}

void CMqttClient::Writable() {
    if (m_pSession != nullptr) {
        AfterLoop(mosquitto_loop_write(m_pSession, 1));
    }
}

void CMqttClient::Misc() {
    if (m_pSession != nullptr) {
        AfterLoop(mosquitto_loop_misc(m_pSession));
    }
}

void CMqttClient::AfterLoop(int rc) {
    if (rc != MOSQ_ERR_SUCCESS || mosquitto_socket(m_pSession) < 0) {
        const int error = errno;
        std::string reason = std::exchange(m_strRefusal, {});
        Lost(!reason.empty() ? reason
                             : Problem(rc == MOSQ_ERR_SUCCESS ? MOSQ_ERR_CONN_LOST : rc, error));
        return;
    }
    if (m_nUnacknowledged > kMaxUnacknowledged) {
        m_log.Always("mqtt: the broker at " + Target() + " takes no more (" +
                     std::to_string(m_nUnacknowledged) +
                     " messages unacknowledged); connecting anew");
        Lost("the broker took no more");
        return;
    }
    UpdateWrite();
}

void CMqttClient::OnConnack(int rc) {
    if (rc != 0) {
        // The connection ends once the library returns; AfterLoop names this reason.
        m_strRefusal = std::string("refused: ") + mosquitto_connack_string(rc);
        if (rc == 4 || rc == 5) {
            m_strRefusal += " (check --mqtt-user and --mqtt-password-file)";
        }
        return;
    }
    m_bConnected = true;
    m_nRetryMs = kFirstRetryMs;
    m_nUnacknowledged = 0;
    m_strLastProblem.clear();
    m_log.Always("mqtt: connected to " + Target());
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (m_bConnected && m_events.connected) {
                m_events.connected();
            }
        },
        Qt::QueuedConnection);
}

void CMqttClient::Lost(const std::string& reason) {
    const bool wasConnected = m_bConnected;
    DropSession();
    if (m_bStopped) {
        return;
    }
    const int waitMs = m_nRetryMs;
    m_nRetryMs = std::min(kLastRetryMs, m_nRetryMs * 2);
    // Up to a fifth more, drawn anew each time: the matrixd of a whole site that lost the
    // broker together do not all come back in the same millisecond.
    m_retry.start(waitMs + static_cast<int>(QRandomGenerator::global()->bounded(waitMs / 5 + 1)));
    // A broker that stays away is written about once, not at every try.
    if (wasConnected || reason != m_strLastProblem) {
        m_log.Always(std::string("mqtt: ") +
                     (wasConnected ? "lost the broker at " : "cannot connect to ") + Target() +
                     ": " + reason + "; trying again in " + std::to_string(waitMs / 1000) +
                     " s, then less often");
    }
    m_strLastProblem = reason;
}

void CMqttClient::DropSession() {
    m_bConnected = false;
    m_misc.stop();
    // Inside a notifier's own signal: off at once, deleted once the signal is done.
    for (QSocketNotifier* notifier : {m_pRead, m_pWrite}) {
        if (notifier != nullptr) {
            notifier->setEnabled(false);
            notifier->deleteLater();
        }
    }
    m_pRead = nullptr;
    m_pWrite = nullptr;
    // Never called from inside the library's callbacks, so the session can go at once.
    if (m_pSession != nullptr) {
        mosquitto_destroy(m_pSession);
        m_pSession = nullptr;
    }
}

void CMqttClient::UpdateWrite() {
    if (m_pWrite != nullptr && m_pSession != nullptr) {
        m_pWrite->setEnabled(mosquitto_want_write(m_pSession));
    }
}

void CMqttClient::Publish(const std::string& topic, const std::string& payload, bool retain,
                          int qos) {
    if (!m_bConnected || m_pSession == nullptr) {
        return;
    }
    const int rc = mosquitto_publish(m_pSession, nullptr, topic.c_str(),
                                     static_cast<int>(payload.size()), payload.data(), qos, retain);
    if (rc == MOSQ_ERR_SUCCESS) {
        ++m_nUnacknowledged;
    }
    // A failed write shows at the socket too; the notifiers see to it.
    UpdateWrite();
}

void CMqttClient::Subscribe(const std::vector<std::string>& filters) {
    for (const std::string& filter : filters) {
        if (m_pSession != nullptr) {
            mosquitto_subscribe(m_pSession, nullptr, filter.c_str(), 1);
        }
    }
    UpdateWrite();
}

void CMqttClient::Unsubscribe(const std::string& filter) {
    if (m_pSession != nullptr) {
        mosquitto_unsubscribe(m_pSession, nullptr, filter.c_str());
        UpdateWrite();
    }
}

void CMqttClient::Stop(const std::string& topic, const std::string& payload, int waitMs) {
    m_bStopped = true;
    m_retry.stop();
    if (m_bConnected && m_pSession != nullptr) {
        mosquitto_publish(m_pSession, nullptr, topic.c_str(), static_cast<int>(payload.size()),
                          payload.data(), 1, true);
        mosquitto_disconnect(m_pSession);
        // The goodbye must leave before the process does: wait for the socket, briefly.
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
        while (mosquitto_socket(m_pSession) >= 0 && mosquitto_want_write(m_pSession)) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(
                end - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                break;
            }
            pollfd fd{mosquitto_socket(m_pSession), POLLOUT, 0};
            ::poll(&fd, 1, static_cast<int>(left.count()));
            if (mosquitto_loop_write(m_pSession, 1) != MOSQ_ERR_SUCCESS) {
                break;
            }
        }
    }
    DropSession();
}
