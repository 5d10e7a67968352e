#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <QTimer>
#include <memory>
#include <string>

#include "hub/core/HubState.h"
#include "hub/swp08/Swp08Frame.h"
#include "platform/CSerialDevice.h"

class CEventLog;
class CSwp08Door;

// One control system on a serial line (RS-422 through an adapter): the same framing and door as
// on TCP, one client for as long as the line is open. A line that cannot be opened or fails is
// tried again every 2 s; the client then starts over (its protects end). What the line does not
// take waits here up to kMaxUnsent bytes; beyond that the oldest frames are dropped with one
// log line, so that a line with nobody reading never grows the daemon.
class CSwp08Serial : public QObject {
    Q_OBJECT

  public:
    static constexpr std::size_t kMaxUnsent = 64 * 1024;

    CSwp08Serial(std::string device, unsigned baud, CEventLog& log, QObject* parent);
    ~CSwp08Serial() override;

    void SetDoor(CSwp08Door* door) { m_pDoor = door; }
    void Start();
    // False when `client` is not this line's.
    bool SendMessage(ClientId client, const std::string& message);

  private:
    void TryOpen();
    void Readable();
    void Writable();
    void Write(std::string_view bytes);
    void Lost(const std::string& why);
    void Close();

    std::string m_strDevice;
    SerialLine m_line;
    CEventLog& m_log;
    CSwp08Door* m_pDoor = nullptr;
    CSerialDevice m_device;
    std::unique_ptr<QSocketNotifier> m_pReadable;
    std::unique_ptr<QSocketNotifier> m_pWritable;
    QTimer m_retry;
    Swp08::CConnection m_connection;
    std::string m_strOut;
    ClientId m_client = kNoClient;
    bool m_bToldOpenFailure = false;
};
