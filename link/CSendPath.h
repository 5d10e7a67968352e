#pragma once

#include <functional>
#include <string_view>

#include "link/LinkTypes.h"

class CNetClient;
class CSerialPort;

// The one path every text to the device takes. The link is chosen by the link mode read at the
// moment of each send, from the getter the owner (the main window) supplies.
class CSendPath {
  public:
    CSendPath(CNetClient& net, CSerialPort& serial, std::function<LinkMode()> linkMode);

    void SendToDevice(std::string_view text, ReplyRoute route, TerminatorFlag flag);
    // The text goes out unchanged, with replies routed to the terminal view.
    void SendRawToDevice(std::string_view text);

  private:
    LinkMode Mode() const;

    CNetClient& m_net;
    CSerialPort& m_serial;
    std::function<LinkMode()> m_linkMode;
};
