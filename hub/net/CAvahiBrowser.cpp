#include "hub/net/CAvahiBrowser.h"

#include <QByteArrayList>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusPendingCallWatcher>
#include <QDBusServiceWatcher>
#include <QHostAddress>

#include "hub/net/CAvahiAdvertiser.h"

namespace {

constexpr const char* kService = "org.freedesktop.Avahi";
constexpr const char* kServerInterface = "org.freedesktop.Avahi.Server";
constexpr const char* kBrowserInterface = "org.freedesktop.Avahi.ServiceBrowser";
constexpr int kAny = -1;
// Avahi's lookup result flag for a service of this host.
constexpr uint kLocal = 8;

}  // namespace

CAvahiBrowser::CAvahiBrowser(quint16 ownPort, QObject* parent)
    : QObject(parent), m_nOwnPort(ownPort), m_bus(QDBusConnection::systemBus()) {
    qDBusRegisterMetaType<QByteArrayList>();
    if (!m_bus.isConnected()) {
        return;  // the advertiser says so in the log
    }
    // Every browser's signals, subscribed before the browser exists: Avahi sends the first
    // items at once, before its caller could subscribe to the new path.
    for (const char* signal : {"ItemNew", "ItemRemove"}) {
        m_bus.connect(kService, QString(), kBrowserInterface, signal, this,
                      signal == std::string_view("ItemNew")
                          ? SLOT(ItemNew(int, int, QString, QString, QString, uint))
                          : SLOT(ItemRemove(int, int, QString, QString, QString, uint)));
    }
    m_pWatcher =
        new QDBusServiceWatcher(kService, m_bus, QDBusServiceWatcher::WatchForOwnerChange, this);
    connect(m_pWatcher, &QDBusServiceWatcher::serviceOwnerChanged, this,
            [this](const QString&, const QString&, const QString& owner) {
                m_panels.clear();
                if (!owner.isEmpty()) {
                    Browse();
                }
            });
    Browse();
}

std::vector<std::pair<QString, QString>> CAvahiBrowser::Panels() const {
    std::vector<std::pair<QString, QString>> panels;
    for (const auto& [key, panel] : m_panels) {
        panels.push_back(panel);
    }
    return panels;
}

void CAvahiBrowser::Browse() {
    QDBusMessage call =
        QDBusMessage::createMethodCall(kService, "/", kServerInterface, "ServiceBrowserNew");
    call << kAny << kAny << QStringLiteral("_http._tcp") << QString() << 0u;
    // No answer to wait for: a missing Avahi leaves the list empty until it comes.
    m_bus.asyncCall(call);
}

void CAvahiBrowser::ItemNew(int interface, int protocol, const QString& name, const QString& type,
                            const QString& domain, uint) {
    if (type != "_http._tcp") {
        return;
    }
    QDBusMessage call =
        QDBusMessage::createMethodCall(kService, "/", kServerInterface, "ResolveService");
    call << interface << protocol << name << type << domain << kAny << 0u;
    auto* watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this](QDBusPendingCallWatcher* finished) {
                finished->deleteLater();
                if (finished->reply().type() == QDBusMessage::ReplyMessage) {
                    Resolved(finished->reply());
                }
            });
}

// (interface, protocol, name, type, domain, host, aprotocol, address, port, txt, flags)
void CAvahiBrowser::Resolved(const QDBusMessage& reply) {
    const QList<QVariant> a = reply.arguments();
    if (a.size() < 11) {
        return;
    }
    const auto txt = qdbus_cast<QByteArrayList>(a[9]);
    const quint16 port = static_cast<quint16>(a[8].toUInt());
    const bool own = (a[10].toUInt() & kLocal) != 0 && port == m_nOwnPort;
    if (!txt.contains(QByteArray(kWebPanelRecord)) || own) {
        return;
    }
    const QHostAddress address(a[7].toString());
    const QString host = address.protocol() == QAbstractSocket::IPv6Protocol
                             ? "[" + address.toString() + "]"
                             : address.toString();
    m_panels[{a[0].toInt(), a[1].toInt(), a[2].toString()}] = {
        a[2].toString(), "http://" + host + ":" + QString::number(port) + "/"};
}

void CAvahiBrowser::ItemRemove(int interface, int protocol, const QString& name,
                               const QString& type, const QString&, uint) {
    if (type == "_http._tcp") {
        m_panels.erase({interface, protocol, name});
    }
}
