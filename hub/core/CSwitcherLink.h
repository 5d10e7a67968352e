#pragma once

#include <QByteArray>
#include <QObject>
#include <QTcpSocket>
#include <QTimer>
#include <memory>
#include <string>

#include "hub/DaemonOptions.h"
#include "platform/CSerialDevice.h"

class CEventLog;
class QSocketNotifier;

// The one link to the switcher: a serial port watched by socket notifiers, or a TCP
// connection to a network-to-serial module. It never gives up: a lost link is tried again
// every 2 s. Commands go out whole and in the order given, so two clients' commands never mix.
class CSwitcherLink : public QObject {
    Q_OBJECT

  public:
    static constexpr int kRetryMs = 2000;
    static constexpr int kConnectLimitMs = 5000;
    // More than this not yet written to the switcher means it does not take what it is sent.
    static constexpr qint64 kMaxUnsent = 1024 * 1024;

    CSwitcherLink(const DaemonOptions& options, CEventLog& log, QObject* parent);
    ~CSwitcherLink() override;

    void Start();
    bool IsUp() const { return m_bUp; }
    bool IsSerial() const { return m_bSerial; }
    // Queues one whole command; false when the link is down or too much already waits.
    bool Send(const std::string& command);
    // Serial only: applies a new line setting (a module command asked for it) until the link
    // is opened again, which opens it with the configured setting.
    bool SetLine(const SerialLine& line);
    SerialLine Line() const { return m_line; }

  signals:
    void Up();
    void Down();
    void Received(const QByteArray& bytes);

  private:
    void TryOpen();
    void Lost(const QString& why);
    void OpenSerial();
    void ReadSerial();
    void WriteSerial();
    void CloseSerial();

    const bool m_bSerial;
    const std::string m_strSerial;
    const QString m_strHost;
    const quint16 m_nPort;
    const SerialLine m_configuredLine;
    SerialLine m_line;
    CEventLog& m_log;
    bool m_bUp = false;
    QTimer m_retry;
    QTimer m_connectLimit;

    CSerialDevice m_device;
    std::unique_ptr<QSocketNotifier> m_pReadable;
    std::unique_ptr<QSocketNotifier> m_pWritable;
    std::string m_strOut;  // serial bytes the tty has not taken yet

    QTcpSocket* m_pSocket = nullptr;
};
