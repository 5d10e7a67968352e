#pragma once

// Announces the router-protocol port and the web panel on the local network through the Avahi
// daemon's D-Bus interface, under the service type and TXT record that router-control software
// browses for. Every call is asynchronous: the event loop never waits for the bus or for Avahi.
// Without a system bus the daemon logs one line and runs on unannounced. Avahi itself may come
// later (matrixd started first) and may restart: its name on the bus is watched, and each time it
// appears the service is announced anew in a new entry group (what an Avahi daemon knew goes
// with it), with one log line when it goes and one when it comes.
#include <QByteArrayList>
#include <QDBusConnection>
#include <QObject>
#include <QString>

#include <functional>
#include <vector>

class QDBusMessage;
class QDBusServiceWatcher;

// The TXT record that marks a web service as a matrixd panel (panels list each other).
inline constexpr const char* kWebPanelRecord = "matrixd=panel";

class CAvahiAdvertiser : public QObject {
    Q_OBJECT
  public:
    explicit CAvahiAdvertiser(QObject* parent);

    // Starts the announcement of the ports (0: not served) under `name`, now and whenever
    // Avahi appears again; a name another host already uses is replaced by Avahi's
    // alternative ("name #2"). Called once.
    void Advertise(const QString& name, quint16 routerPort, quint16 webPort);

  private slots:
    void OnGroupStateChanged(int state, const QString& error);

  private:
    void OwnerChanged(const QString& newOwner);
    // Drops the current entry group (if any) and starts a new one.
    void Announce();
    void ForgetGroup();
    struct Service {
        const char* type;
        quint16 port;
        QByteArrayList txt;
    };
    void AddService();
    void AddServices(std::vector<Service> services);
    void PickAlternativeName();
    // Sends `call` and hands a successful answer to `onReply`; an error answer goes to
    // OnCallFailed (`step` names the call in the log line).
    void Call(const QDBusMessage& call, const char* step,
              std::function<void(const QDBusMessage&)> onReply);
    void OnCallFailed(const char* step, const QDBusMessage& error);
    QDBusMessage GroupCall(const char* method) const;
    static void Log(const QString& text);

    QDBusConnection m_bus;
    QDBusServiceWatcher* m_pWatcher = nullptr;
    QString m_strWantedName;  // as given; each announcement starts from it
    QString m_strName;        // as announced (an alternative after a collision)
    quint16 m_nPort = 0;
    quint16 m_nWebPort = 0;
    QString m_strGroupPath;
    int m_nRenames = 0;
    // Counts announcements: an answer to an earlier one (from an Avahi that has gone since, or
    // a group replaced) is dropped.
    quint64 m_nGeneration = 0;
    bool m_bMissingLogged = false;  // "no Avahi daemon" said since it was last seen
};
