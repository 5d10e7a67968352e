#include "link/CSendPath.h"

#include "link/CNetClient.h"
#include "link/CSerialPort.h"

CSendPath::CSendPath(CNetClient& net, CSerialPort& serial, std::function<LinkMode()> linkMode)
    : m_net(net), m_serial(serial), m_linkMode(std::move(linkMode)) {}

LinkMode CSendPath::Mode() const {
    return m_linkMode ? m_linkMode() : LinkMode::Serial;
}

void CSendPath::SendToDevice(std::string_view text, ReplyRoute route, TerminatorFlag flag) {
    if (Mode() == LinkMode::Network) {
        m_net.Send(text, route, flag);
    } else {
        m_serial.WriteCommand(text, route, flag);
    }
}

void CSendPath::SendRawToDevice(std::string_view text) {
    if (Mode() == LinkMode::Network) {
        m_net.Send(text, kRouteTerminal, kTermDot);
    } else {
        m_serial.WriteRaw(text);
    }
}
