#pragma once

#include "app/PanelOptions.h"
#include "link/CNetClient.h"
#include "link/CSerialPort.h"

// The one application object: it owns both links for the whole run, sets the program's
// dialog colours and runs the main window. Every part reaches the links through it.
class CPanelApp {
  public:
    explicit CPanelApp(PanelOptions options = {});
    ~CPanelApp();
    CPanelApp(const CPanelApp&) = delete;
    CPanelApp& operator=(const CPanelApp&) = delete;

    // Sets the dialog colours, runs the main window modally and returns when it has closed.
    // The login gate decides whether the main window opens at all.
    int Run();

    CSerialPort& Serial() { return m_serial; }
    CNetClient& Net() { return m_net; }
    const PanelOptions& Options() const { return m_options; }

  private:
    PanelOptions m_options;
    // Members go in reverse order at exit: the TCP client closes its socket first, then the
    // serial port stops its reader and closes the port.
    CSerialPort m_serial;
    CNetClient m_net;
};
