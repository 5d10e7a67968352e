#pragma once

#include <QDialog>

#include <functional>

#include "link/ConnectThread.h"

class CIpAddressEdit;
class CNetClient;
class QLineEdit;

// "Set Net": the operator types the network module's address and port. OK releases the serial
// port, makes a socket and starts the connect step; the result reaches the main window later.
// Nothing typed is kept between openings.
class CNetSetDlg : public QDialog {
    Q_OBJECT
  public:
    enum ControlIds : int { kIdOk = 1, kIdCancel = 2, kIdAddress = 1023, kIdPort = 1024 };

    struct Context {
        CNetClient& net;
        std::function<bool()> releaseSerialPort;                  // the terminal view's
        std::function<void(const ConnectRequest&)> startConnect;  // the main window's
    };

    CNetSetDlg(Context context, QWidget* parent);

    void OnOk();

    CIpAddressEdit* AddressField() const { return m_pAddress; }
    QLineEdit* PortField() const { return m_pPort; }

  private:
    Context m_context;
    CIpAddressEdit* m_pAddress = nullptr;
    QLineEdit* m_pPort = nullptr;
};
