#include "hub/net/ClientAccess.h"

CClientAccess::CClientAccess(const std::vector<AllowedNet>& allow) {
    for (const AllowedNet& net : allow) {
        const QHostAddress address(QString::fromStdString(net.address));
        m_nets.push_back({address, net.bits});
        const int whole = address.protocol() == QAbstractSocket::IPv6Protocol ? 128 : 32;
        m_strText += (m_strText.empty() ? "" : ", ") + net.address +
                     (net.bits == whole ? "" : "/" + std::to_string(net.bits));
    }
}

bool CClientAccess::Allows(const QHostAddress& peer) const {
    if (m_nets.empty()) {
        return true;
    }
    // A listener on "::" sees IPv4 clients as ::ffff:a.b.c.d; they match IPv4 networks.
    QHostAddress address = peer;
    bool mapped = false;
    const quint32 v4 = peer.toIPv4Address(&mapped);
    if (mapped) {
        address = QHostAddress(v4);
    }
    for (const auto& [net, bits] : m_nets) {
        if (address.isInSubnet(net, bits) || peer.isInSubnet(net, bits)) {
            return true;
        }
    }
    return false;
}

QString AddressText(const QHostAddress& address) {
    bool mapped = false;
    const quint32 v4 = address.toIPv4Address(&mapped);
    if (mapped) {
        return QHostAddress(v4).toString();
    }
    const QString text = address.toString();
    return address.protocol() == QAbstractSocket::IPv6Protocol ? "[" + text + "]" : text;
}
