#pragma once

// Announces the router-protocol port on the local network through the Avahi daemon's D-Bus
// interface, under the service type and TXT record that router-control software browses for.
// Every call is asynchronous: the event loop never waits for the bus or for Avahi. Without a
// system bus or an Avahi daemon the daemon logs one line and runs on unannounced.
#include <QDBusConnection>
#include <QObject>
#include <QString>

#include <functional>

class QDBusMessage;

class CAvahiAdvertiser : public QObject {
    Q_OBJECT
  public:
    explicit CAvahiAdvertiser(QObject* parent);

    // Starts the announcement of `port` under `name`; a name another host already uses is
    // replaced by Avahi's alternative ("name #2"). Called once.
    void Advertise(const QString& name, quint16 port);

  private slots:
    void OnGroupStateChanged(int state, const QString& error);

  private:
    void AddService();
    void PickAlternativeName();
    // Sends `call` and hands a successful answer to `onReply`; an error answer goes to
    // OnCallFailed (`step` names the call in the log line).
    void Call(const QDBusMessage& call, const char* step,
              std::function<void(const QDBusMessage&)> onReply);
    void OnCallFailed(const char* step, const QDBusMessage& error);
    QDBusMessage GroupCall(const char* method) const;
    static void Log(const QString& text);

    QDBusConnection m_bus;
    QString m_strName;
    quint16 m_nPort = 0;
    QString m_strGroupPath;
    int m_nRenames = 0;
};
