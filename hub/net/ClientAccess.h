#pragma once

#include <QHostAddress>
#include <QString>
#include <vector>

#include "hub/DaemonOptions.h"

// The --allow list as Qt reads addresses. Empty: everyone the listen address reaches.
class CClientAccess {
  public:
    explicit CClientAccess(const std::vector<AllowedNet>& allow);
    bool Allows(const QHostAddress& peer) const;
    // The networks as the log names them: "127.0.0.1, 192.168.1.0/24".
    const std::string& Text() const { return m_strText; }

  private:
    std::vector<QPair<QHostAddress, int>> m_nets;
    std::string m_strText;
};

// "127.0.0.1" or "[::1]", as an address goes before ":port".
QString AddressText(const QHostAddress& address);
