#pragma once

#include <QWidget>

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "link/LinkTypes.h"
#include "terminal/CByteLog.h"

class CGradientButton;
class CIconButton;
class CTextLabel;
class CNetClient;
class CSendPath;
class CSerialPort;
class QComboBox;
class QLineEdit;
class QPlainTextEdit;
class QTimer;
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
        // Asked for on the command line: the port opens at start at this position of the
        // baud list, which shows it, instead of at 300 with 4800 shown.
        std::optional<int> startRatePosition = std::nullopt;
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
    // appended at its end and it scrolls there. The text is kept here as bytes; the widget gets
    // it only while the view is visible (at most about 30 times a second) or when asked for.
    void ReplaceLogText(const std::string& text);
    void AppendLogText(std::string_view text);
    std::string LogText() const;

    // Who else follows what reaches the log, told as it happens: texts that replace it, device
    // replies appended to it, the view's own texts appended to it, its Clear, and the bytes its
    // Send and repeat timer hand to the send path. Every member may be empty.
    struct LogWatch {
        std::function<void(std::string_view text)> replaced;
        std::function<void(std::string_view text)> received;
        std::function<void(std::string_view text)> own;
        std::function<void()> cleared;
        std::function<void(std::string_view bytes)> sent;
    };
    void SetLogWatch(LogWatch watch) { m_logWatch = std::move(watch); }

    // The log's widget, brought up to date first.
    QPlainTextEdit* Log();

    // The log keeps at most this much of the newest text; older whole lines are dropped.
    static constexpr std::size_t kLogLimit = CByteLog::kLimit;

    // The controls' handlers, also run directly by the main window's tests and ours.
    void OnPortListDropDown();
    void OnPortSelChange();
    void OnBaudSelChange();
    void OnStopBitsSelChange();
    void OnParitySelChange();
    void OnDataBitsSelChange();
    void OnAscii();
    void OnHex();
    void OnContinuousSend();
    void OnClear();
    void OnTimer(int id);

    // Ports 1..5 that can be opened, listed as "Com%d"; the first free port number or 0.
    int FillPortList();

    // The number of the port the view last opened (0: none yet), and whether the view let it
    // go since (a port closed while not let go was lost).
    int PortNumber() const { return m_nPort; }
    bool PortReleased() const { return m_bPortReleased; }

    bool IsHexMode() const;
    bool IsSending() const;
    const std::string& RepeatText() const { return m_strRepeat; }
    const WindowTimers& Timers() const { return *m_pTimers; }

  protected:
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;

  private:
    void CreateControls();
    LinkMode Mode() const;
    void ClearReplyBuffer();

    // The send field as bytes, and bytes put into it. Bytes that are not UTF-8 (a hex 00 or
    // e9 switched to Ascii) are kept as they were while the field shows them, so that they
    // go out, or switch back to hex, unchanged.
    std::string SendFieldBytes() const;
    void SetSendFieldBytes(const std::string& bytes);

    // The log's text is held in m_log byte for byte (CR LF stays CR LF); the widget shows it.
    void SyncLogFromWidget();
    void AppendToLog(std::string_view text);
    void AppendOwnText(std::string_view text);
    // The log has changed: the widget follows if it is seen.
    void LogChanged();
    // Brings the widget up to the log: its new end, or everything afresh.
    void ShowLog();

    Context m_ctx;
    WindowTimers* m_pTimers = nullptr;
    QComboBox* m_pPortList = nullptr;
    QComboBox* m_pBaudList = nullptr;
    QComboBox* m_pStopBitsList = nullptr;
    QComboBox* m_pParityList = nullptr;
    QComboBox* m_pDataBitsList = nullptr;
    QLineEdit* m_pInterval = nullptr;
    QLineEdit* m_pSendText = nullptr;
    CIconButton* m_pAscii = nullptr;
    CIconButton* m_pHex = nullptr;
    CIconButton* m_pContinuous = nullptr;
    CGradientButton* m_pSend = nullptr;
    CGradientButton* m_pClear = nullptr;
    QPlainTextEdit* m_pLog = nullptr;

    int m_nPort = 0;
    bool m_bPortReleased = false;
    std::string m_strRepeat;
    std::string m_strFieldBytes;  // exact bytes behind m_strFieldShown
    QString m_strFieldShown;
    bool m_bFieldBytesKept = false;

    CByteLog m_log;
    LogWatch m_logWatch;
    QTimer* m_pShowTimer = nullptr;
    bool m_bOwnLogEdit = false;
    bool m_bLogStale = false;  // someone wrote into the widget directly
};
