#include "hub/swp08/CSwp08Serial.h"

#include <cerrno>
#include <cstring>

#include "hub/CEventLog.h"
#include "hub/swp08/CSwp08Door.h"

CSwp08Serial::CSwp08Serial(std::string device, unsigned baud, CEventLog& log, QObject* parent)
    : QObject(parent), m_strDevice(std::move(device)), m_log(log) {
    m_line.rate = baud;
    m_retry.setSingleShot(true);
    m_retry.setInterval(2000);
    connect(&m_retry, &QTimer::timeout, this, &CSwp08Serial::TryOpen);
}

CSwp08Serial::~CSwp08Serial() {
    // The door may be gone already: the line just closes.
    m_pDoor = nullptr;
    Close();
}

void CSwp08Serial::Start() {
    TryOpen();
}

void CSwp08Serial::TryOpen() {
    if (!m_device.Open(m_strDevice) || !m_device.SetLine(m_line)) {
        const int error = errno;
        const bool opened = m_device.IsOpen();
        m_device.Close();
        if (!m_bToldOpenFailure) {
            m_log.Log("swp08: cannot open " + m_strDevice + " at " + std::to_string(m_line.rate) +
                      " bit/s 8N1 (" +
                      (opened ? std::string("the line settings were refused")
                              : std::string(std::strerror(error))) +
                      "); trying again every 2 s");
            m_bToldOpenFailure = true;
        }
        m_retry.start();
        return;
    }
    m_bToldOpenFailure = false;
    m_pReadable = std::make_unique<QSocketNotifier>(m_device.Descriptor(), QSocketNotifier::Read);
    connect(m_pReadable.get(), &QSocketNotifier::activated, this, &CSwp08Serial::Readable);
    m_pWritable = std::make_unique<QSocketNotifier>(m_device.Descriptor(), QSocketNotifier::Write);
    m_pWritable->setEnabled(false);
    connect(m_pWritable.get(), &QSocketNotifier::activated, this, &CSwp08Serial::Writable);
    m_connection = Swp08::CConnection();
    m_client = NewClientId();
    m_log.Always("swp08: opened " + m_strDevice + " at " + std::to_string(m_line.rate) + " bit/s");
    if (m_pDoor != nullptr) {
        m_pDoor->ClientConnected(m_client);
    }
}

void CSwp08Serial::Close() {
    m_pReadable.reset();
    m_pWritable.reset();
    m_strOut.clear();
    if (m_device.IsOpen()) {
        m_device.Close();
    }
    if (m_client != kNoClient) {
        const ClientId gone = m_client;
        m_client = kNoClient;
        if (m_pDoor != nullptr) {
            m_pDoor->ClientGone(gone);
        }
    }
}

void CSwp08Serial::Lost(const std::string& why) {
    Close();
    m_log.Always("swp08: " + m_strDevice + " lost (" + why + "); trying again every 2 s");
    m_retry.start();
}

void CSwp08Serial::Readable() {
    char buffer[4096];
    bool broken = false;
    const std::size_t n = m_device.ReadAvailable(buffer, sizeof buffer, &broken);
    if (n > 0) {
        const ClientId client = m_client;
        m_connection.Feed(
            std::string_view(buffer, n), [this](std::string_view bytes) { Write(bytes); },
            [this, client](std::string_view message) {
                if (m_pDoor != nullptr && m_client == client) {
                    m_pDoor->Message(client, message);
                }
            });
    }
    if (broken) {
        // From the event loop: the door may be in the middle of a message.
        m_pReadable->setEnabled(false);
        QMetaObject::invokeMethod(
            this, [this] { Lost("the serial line hung up or failed"); }, Qt::QueuedConnection);
    }
}

bool CSwp08Serial::SendMessage(ClientId client, const std::string& message) {
    if (client == kNoClient || client != m_client) {
        return false;
    }
    m_connection.Send(message, [this](std::string_view bytes) { Write(bytes); });
    return true;
}

void CSwp08Serial::Write(std::string_view bytes) {
    if (!m_device.IsOpen()) {
        return;
    }
    if (m_strOut.size() + bytes.size() > kMaxUnsent) {
        m_log.Log("swp08: " + m_strDevice +
                  " takes nothing: frames waiting for it were dropped (64 KiB wait)");
        m_strOut.clear();
    }
    m_strOut.append(bytes);
    if (!m_pWritable->isEnabled()) {
        Writable();
    }
}

void CSwp08Serial::Writable() {
    if (m_strOut.empty() || !m_device.IsOpen()) {
        return;
    }
    bool broken = false;
    m_strOut.erase(0, m_device.WriteAvailable(m_strOut.data(), m_strOut.size(), &broken));
    if (broken) {
        m_pWritable->setEnabled(false);
        QMetaObject::invokeMethod(
            this,
            [this] {
                if (m_device.IsOpen()) {
                    Lost("writing to the serial line failed");
                }
            },
            Qt::QueuedConnection);
        return;
    }
    m_pWritable->setEnabled(!m_strOut.empty());
}
