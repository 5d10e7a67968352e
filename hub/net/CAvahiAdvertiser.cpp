#include "hub/net/CAvahiAdvertiser.h"

#include <QByteArrayList>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusServiceWatcher>

#include <cstdio>
#include <memory>
#include <vector>

namespace {

constexpr const char* kService = "org.freedesktop.Avahi";
constexpr const char* kServerInterface = "org.freedesktop.Avahi.Server";
constexpr const char* kGroupInterface = "org.freedesktop.Avahi.EntryGroup";
// The service type and TXT record that router-control software looks for.
constexpr const char* kServiceType = "_blackmagic._tcp";
constexpr const char* kClassRecord = "class=Videohub";
// The web panel: a plain web service, marked as a matrixd panel for the panels' site menus.
constexpr const char* kWebServiceType = "_http._tcp";
// Avahi's "any" for interface and protocol: every interface, IPv4 and IPv6.
constexpr int kAnyInterface = -1;
constexpr int kAnyProtocol = -1;
// Entry group states as Avahi numbers them.
constexpr int kGroupEstablished = 2;
constexpr int kGroupCollision = 3;
constexpr int kGroupFailure = 4;
// A name taken again and again means something else is wrong; stop renaming then.
constexpr int kMaxRenames = 16;

}  // namespace

// The connection stays unopened (a name nobody connected) until Advertise reaches for the bus.
CAvahiAdvertiser::CAvahiAdvertiser(QObject* parent)
    : QObject(parent), m_bus(QStringLiteral("matrixd-none")) {
    // The TXT record travels as an array of byte arrays ("aay").
    qDBusRegisterMetaType<QByteArrayList>();
}

void CAvahiAdvertiser::Advertise(const QString& name, quint16 routerPort, quint16 webPort) {
    m_strWantedName = name;
    m_nPort = routerPort;
    m_nWebPort = webPort;
    // A local socket connect; with no system bus it fails at once rather than waiting.
    m_bus = QDBusConnection::systemBus();
    if (!m_bus.isConnected()) {
        Log(QStringLiteral("not announced on the network: no D-Bus system bus (%1)")
                .arg(m_bus.lastError().message()));
        return;
    }
    m_pWatcher = new QDBusServiceWatcher(QString::fromLatin1(kService), m_bus,
                                         QDBusServiceWatcher::WatchForOwnerChange, this);
    connect(m_pWatcher, &QDBusServiceWatcher::serviceOwnerChanged, this,
            [this](const QString&, const QString&, const QString& newOwner) {
                OwnerChanged(newOwner);
            });
    Announce();
}

void CAvahiAdvertiser::OwnerChanged(const QString& newOwner) {
    if (newOwner.isEmpty()) {
        // Its entry groups went with it; answers still on their way are of no use.
        ++m_nGeneration;
        ForgetGroup();
        Log(QStringLiteral("Avahi has left the system bus: not announced until it is back"));
        return;
    }
    m_bMissingLogged = false;
    Log(QStringLiteral("Avahi is on the system bus: announcing '%1' on the network")
            .arg(m_strWantedName));
    Announce();
}

void CAvahiAdvertiser::ForgetGroup() {
    if (m_strGroupPath.isEmpty()) {
        return;
    }
    m_bus.disconnect(kService, m_strGroupPath, kGroupInterface, QStringLiteral("StateChanged"),
                     this, SLOT(OnGroupStateChanged(int, QString)));
    m_strGroupPath.clear();
}

void CAvahiAdvertiser::Announce() {
    // A group of this same Avahi (it was started by the first call, then seen appearing) is
    // freed first: the same service in two groups would collide with itself. Without an
    // answer: an Avahi that has gone makes it fail, which changes nothing.
    if (!m_strGroupPath.isEmpty()) {
        QDBusMessage free = GroupCall("Free");
        free.setAutoStartService(false);
        m_bus.send(free);
        ForgetGroup();
    }
    ++m_nGeneration;
    m_strName = m_strWantedName;
    m_nRenames = 0;
    Call(QDBusMessage::createMethodCall(kService, QStringLiteral("/"), kServerInterface,
                                        QStringLiteral("EntryGroupNew")),
         "EntryGroupNew", [this](const QDBusMessage& reply) {
             m_strGroupPath = reply.arguments().value(0).value<QDBusObjectPath>().path();
             // Collisions found on the network after the commit arrive as a state change.
             m_bus.connect(kService, m_strGroupPath, kGroupInterface,
                           QStringLiteral("StateChanged"), this,
                           SLOT(OnGroupStateChanged(int, QString)));
             AddService();
         });
}

void CAvahiAdvertiser::AddService() {
    // The services of one name go in one group, added one after the other, then committed.
    std::vector<Service> services;
    if (m_nPort != 0) {
        services.push_back({kServiceType, m_nPort, {kClassRecord}});
    }
    if (m_nWebPort != 0) {
        services.push_back({kWebServiceType, m_nWebPort, {kWebPanelRecord, "path=/"}});
    }
    AddServices(std::move(services));
}

void CAvahiAdvertiser::AddServices(std::vector<Service> services) {
    if (services.empty()) {
        Call(GroupCall("Commit"), "Commit", [](const QDBusMessage&) {});
        return;
    }
    const Service service = services.front();
    services.erase(services.begin());
    QDBusMessage call = GroupCall("AddService");
    // The port goes as a D-Bus uint16: a plain QVariant would widen it to int.
    call << kAnyInterface << kAnyProtocol << 0u << m_strName << QString::fromLatin1(service.type)
         << QString() << QString() << QVariant::fromValue(service.port)
         << QVariant::fromValue(service.txt);
    Call(call, "AddService",
         [this, rest = std::move(services)](const QDBusMessage&) { AddServices(rest); });
}

void CAvahiAdvertiser::PickAlternativeName() {
    if (++m_nRenames > kMaxRenames) {
        Log(QStringLiteral("not announced on the network: the name '%1' and %2 alternatives "
                           "are taken")
                .arg(m_strName)
                .arg(kMaxRenames));
        return;
    }
    QDBusMessage call =
        QDBusMessage::createMethodCall(kService, QStringLiteral("/"), kServerInterface,
                                       QStringLiteral("GetAlternativeServiceName"));
    call << m_strName;
    Call(call, "GetAlternativeServiceName", [this](const QDBusMessage& reply) {
        const QString alternative = reply.arguments().value(0).toString();
        Log(QStringLiteral("the name '%1' is taken on the network, announced as '%2'")
                .arg(m_strName, alternative));
        m_strName = alternative;
        // A committed group keeps its old entry until it is emptied.
        Call(GroupCall("Reset"), "Reset", [this](const QDBusMessage&) { AddService(); });
    });
}

void CAvahiAdvertiser::OnGroupStateChanged(int state, const QString& error) {
    if (state == kGroupCollision) {
        PickAlternativeName();
    } else if (state == kGroupFailure) {
        Log(QStringLiteral("announcement on the network failed: %1").arg(error));
    } else if (state == kGroupEstablished && m_nRenames > 0) {
        m_nRenames = 0;
    }
}

void CAvahiAdvertiser::Call(const QDBusMessage& call, const char* step,
                            std::function<void(const QDBusMessage&)> onReply) {
    auto* watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, step, generation = m_nGeneration,
             onReply = std::move(onReply)](QDBusPendingCallWatcher* finished) {
                finished->deleteLater();
                if (generation != m_nGeneration) {
                    return;
                }
                const QDBusMessage reply = finished->reply();
                if (reply.type() == QDBusMessage::ErrorMessage) {
                    OnCallFailed(step, reply);
                } else {
                    onReply(reply);
                }
            });
}

void CAvahiAdvertiser::OnCallFailed(const char* step, const QDBusMessage& error) {
    // A name already announced by this host is refused at once rather than reported later.
    if (error.errorName() == QLatin1String("org.freedesktop.Avahi.CollisionError")) {
        PickAlternativeName();
        return;
    }
    if (error.errorName() == QLatin1String("org.freedesktop.DBus.Error.ServiceUnknown") ||
        error.errorName() == QLatin1String("org.freedesktop.DBus.Error.NameHasNoOwner")) {
        if (!m_bMissingLogged) {
            m_bMissingLogged = true;
            Log(
                QStringLiteral("not announced yet: no Avahi daemon on the system bus; "
                               "announced once it starts"));
        }
        return;
    }
    Log(QStringLiteral("not announced on the network: %1 failed: %2")
            .arg(QString::fromLatin1(step), error.errorMessage()));
}

QDBusMessage CAvahiAdvertiser::GroupCall(const char* method) const {
    return QDBusMessage::createMethodCall(kService, m_strGroupPath, kGroupInterface,
                                          QString::fromLatin1(method));
}

void CAvahiAdvertiser::Log(const QString& text) {
    std::fprintf(stderr, "matrixd: %s\n", text.toLocal8Bit().constData());
    std::fflush(stderr);
}
