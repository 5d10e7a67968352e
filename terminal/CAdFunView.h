#pragma once

#include <QWidget>

#include <functional>
#include <string>
#include <string_view>

#include "link/LinkTypes.h"

class CGradientButton;
class CIconButton;
class CNetClient;
class CSendPath;
class CSerialPort;
class QComboBox;
class QLineEdit;
class QPlainTextEdit;
class WindowTimers;

// The serial terminal view: port and line-setting lists, raw or hexadecimal sends (once or at
// an interval), and the log where replies and the link's status texts go. The main window keeps
// it hidden; it still opens the first free COM port at creation, reopens the chosen port when
// the link goes back to serial and releases it for the network link.
class CAdFunView : public QWidget {
    Q_OBJECT
  public:
    // What the view needs from the rest of the program. The panel's two reply operations and
    // the receive-thread stop may be empty (the panel is created after the view).
    struct Context {
        CSerialPort& serial;
        CNetClient& net;
        CSendPath& sendPath;
        std::function<LinkMode()> linkMode;
        std::function<void()> clearReplyBuffer;                // the panel's
        std::function<void(std::string_view text)> feedReply;  // the panel's
        std::function<void()> stopReceiveThread;               // the main window's m_hRecv
    };

    enum ControlIds : int {
        kIdPortLabel = 257,
        kIdBaudLabel = 258,
        kIdStopBitsLabel = 259,
        kIdParityLabel = 260,
        kIdDataBitsLabel = 261,
        kIdIntervalUnit = 262,
        kIdPortList = 513,
        kIdBaudList = 514,
        kIdStopBitsList = 515,
        kIdParityList = 516,
        kIdDataBitsList = 517,
        kIdInterval = 1025,
        kIdSendText = 1026,
        kIdLog = 1027,
        kIdAscii = 769,
        kIdHex = 770,
        kIdContinuous = 771,
        kIdSend = 772,
        kIdClear = 773,
    };
    static constexpr int kRepeatTimerId = 1;

    CAdFunView(Context context, const QRect& rect, QWidget* parent, int id);
    ~CAdFunView() override;

    // The Send button's action; the main window also runs it on Enter.
    void OnSend();
    // Received text for reply route 1: fed to the panel, then appended to the log as it came.
    void AppendReceived(std::string_view text);
    // Back to the serial link: stops the network receiver, closes the TCP client and opens the
    // port selected in the port list (the first one when none is).
    bool SwitchToSerial();
    // Closes the serial port (and with it its reader) before the network link is set up.
    bool ReleaseSerialPort();

    // The log, which is the program's reply box: status texts replace its content, replies are
    // appended at its end and it scrolls there.
    void ReplaceLogText(const std::string& text);
    void AppendLogText(std::string_view text);
    std::string LogText() const;

    QPlainTextEdit* Log() const { return m_pLog; }

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    // (the implementation's own members)
    QPlainTextEdit* m_pLog = nullptr;
};
