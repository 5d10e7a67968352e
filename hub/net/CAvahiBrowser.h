#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QString>
#include <map>
#include <tuple>
#include <utility>
#include <vector>

class QDBusMessage;
class QDBusServiceWatcher;

// Finds the other matrixd web panels on the local network: web services (_http._tcp) whose TXT
// record marks them as panels, through the Avahi daemon's D-Bus interface. Every call is
// asynchronous; without a system bus or Avahi the list stays empty, and it is filled anew
// whenever Avahi (re)appears.
class CAvahiBrowser : public QObject {
    Q_OBJECT

  public:
    // `ownPort`: this host's own panel, left out of the list.
    CAvahiBrowser(quint16 ownPort, QObject* parent);

    // Name and address ("http://10.0.0.7:9980/") of each panel found, by name.
    std::vector<std::pair<QString, QString>> Panels() const;

  private slots:
    void ItemNew(int interface, int protocol, const QString& name, const QString& type,
                 const QString& domain, uint flags);
    void ItemRemove(int interface, int protocol, const QString& name, const QString& type,
                    const QString& domain, uint flags);

  private:
    void Browse();
    void Resolved(const QDBusMessage& reply);

    using Key = std::tuple<int, int, QString>;  // interface, protocol, service name
    const quint16 m_nOwnPort;
    QDBusConnection m_bus;
    QDBusServiceWatcher* m_pWatcher = nullptr;
    std::map<Key, std::pair<QString, QString>> m_panels;
};
