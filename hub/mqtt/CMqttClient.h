#pragma once

#include <QObject>
#include <QTimer>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

class CEventLog;
class QSocketNotifier;
struct mosquitto;
struct mosquitto_message;

// One connection to an MQTT broker, on the daemon's event loop: libmosquitto's socket sits on
// socket notifiers and its keep-alive on a timer, so nothing here ever waits for the broker.
// Only the connect itself (a name lookup may take seconds) runs on a thread of its own, with a
// session object that no other thread touches until it is handed back.
//
// A lost or refused connection is tried again after 1 s, then 2, 4 ... up to 30 s; every
// connection starts a new session (nothing queued for the old one is sent late), and
// `connected` then publishes what the broker should hold. Messages are QoS 1 unless told.
class CMqttClient : public QObject {
  public:
    struct Settings {
        std::string host;
        int port = 1883;
        bool tls = false;
        std::string caFile;  // empty with TLS: the system's certificates
        std::string user;
        std::string password;
        std::string clientId;
        std::string willTopic;    // the broker publishes `willPayload` here (retained) when the
        std::string willPayload;  // connection ends without a goodbye
    };
    struct Events {
        std::function<void()> connected;
        // `retained`: a message the broker held before we subscribed, not one just published.
        std::function<void(const std::string& topic, const std::string& payload, bool retained)>
            message;
        // A message longer than kMaxMessageBytes, left unread: its size only.
        std::function<void(const std::string& topic, std::size_t bytes, bool retained)> oversized;
    };

    static constexpr int kKeepAliveSeconds = 30;
    static constexpr int kFirstRetryMs = 1000;
    static constexpr int kLastRetryMs = 30000;
    // Messages published and not yet acknowledged: beyond this the broker takes nothing, and
    // the connection is started anew rather than letting the queue grow.
    static constexpr int kMaxUnacknowledged = 20000;
    // What a command (or a discovery config) can be. libmosquitto 2.0 neither bounds what it
    // receives nor can ask the broker to hold longer messages back (that needs MQTT 5 and its
    // blocking connect), so a longer one is still received whole by it, then dropped here
    // before any copy of ours.
    static constexpr std::size_t kMaxMessageBytes = 64 * 1024;

    CMqttClient(Settings settings, Events events, CEventLog& log, QObject* parent = nullptr);
    ~CMqttClient() override;

    void Start();
    bool IsConnected() const { return m_bConnected; }
    // Dropped while not connected: `connected` publishes everything again.
    void Publish(const std::string& topic, const std::string& payload, bool retain, int qos = 1);
    void Subscribe(const std::vector<std::string>& filters);
    void Unsubscribe(const std::string& filter);
    // A last message (retained) and a clean goodbye, waiting at most `waitMs` for them to go.
    void Stop(const std::string& topic, const std::string& payload, int waitMs);

  private:
    mosquitto* NewSession();
    void Received(const mosquitto_message& message);
    void Connect();
    void ConnectDone(mosquitto* session, int rc, int error);
    void Watch();
    void Readable();
    void Writable();
    void Misc();
    void AfterLoop(int rc);
    void OnConnack(int rc);
    void Lost(const std::string& reason);
    void DropSession();
    void UpdateWrite();
    std::string Target() const;

    Settings m_settings;
    Events m_events;
    CEventLog& m_log;
    mosquitto* m_pSession = nullptr;     // the event loop's, once connecting is done
    mosquitto* m_pConnecting = nullptr;  // the connect thread's until it is done
    std::thread m_connector;
    QSocketNotifier* m_pRead = nullptr;
    QSocketNotifier* m_pWrite = nullptr;
    QTimer m_misc;
    QTimer m_retry;
    int m_nRetryMs = kFirstRetryMs;
    int m_nUnacknowledged = 0;
    bool m_bConnected = false;
    bool m_bStopped = false;
    std::string m_strLastProblem;  // logged once until it changes
    std::string m_strRefusal;      // the broker's answer to the last connect, when it said no
};
