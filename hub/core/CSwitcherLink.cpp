#include "hub/core/CSwitcherLink.h"

#include <sys/socket.h>

#include <QSocketNotifier>
#include <cerrno>
#include <cstring>

#include "hub/CEventLog.h"
#include "platform/ComPorts.h"

namespace {

// "COM3" names the panel's third port, looked up anew at each open (a USB adapter may come
// back under another device name); anything else is a device path (ComPortNumber's rule; the
// options refused the names it calls mistakes).
std::string DevicePath(const std::string& name) {
    if (const std::optional<int> port = ComPortNumber(name)) {
        return ComDevicePath(*port);
    }
    return name;
}

// Why the serial port could not be had, for the operator: the open's errno (still that of the
// failed call: nothing after it in CSerialDevice::Open sets errno on success), or the line
// setting the device refused once it was open.
std::string SerialOpenFailure(const std::string& path, bool opened, int error,
                              const SerialLine& line) {
    if (path.empty()) {
        return "no serial device is that port";
    }
    if (opened) {
        return "it does not take " + std::to_string(line.rate) + " bit/s";
    }
    switch (error) {
        case EWOULDBLOCK:
        case EBUSY:
            return "in use by another program";
        case ENOTTY:
            return "not a serial device";
        default:
            return std::strerror(error);
    }
}

}  // namespace

CSwitcherLink::CSwitcherLink(const DaemonOptions& options, CEventLog& log, QObject* parent)
    : QObject(parent),
      m_bSerial(options.link == DaemonOptions::Link::Serial),
      m_strSerial(options.serial),
      m_strHost(QString::fromStdString(options.host)),
      m_nPort(options.netPort),
      m_configuredLine{options.baud},
      m_log(log) {
    m_retry.setSingleShot(true);
    m_retry.setInterval(kRetryMs);
    connect(&m_retry, &QTimer::timeout, this, &CSwitcherLink::TryOpen);
    m_connectLimit.setSingleShot(true);
    m_connectLimit.setInterval(kConnectLimitMs);
    connect(&m_connectLimit, &QTimer::timeout, this,
            [this] { Lost("no answer from " + m_strHost + ":" + QString::number(m_nPort)); });
}

CSwitcherLink::~CSwitcherLink() {
    CloseSerial();
}

void CSwitcherLink::Start() {
    TryOpen();
}

void CSwitcherLink::TryOpen() {
    if (m_bSerial) {
        OpenSerial();
        return;
    }
    if (m_pSocket != nullptr) {
        m_pSocket->disconnect(this);
        m_pSocket->abort();
        m_pSocket->deleteLater();
    }
    m_pSocket = new QTcpSocket(this);
    m_pSocket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    m_pSocket->setSocketOption(QAbstractSocket::KeepAliveOption, 1);
    connect(m_pSocket, &QTcpSocket::connected, this, [this] {
        m_connectLimit.stop();
        m_bUp = true;
        m_log.Always("link: connected to " +
                     (m_strHost + ":" + QString::number(m_nPort)).toStdString());
        emit Up();
    });
    connect(m_pSocket, &QTcpSocket::readyRead, this, [this] {
        const QByteArray bytes = m_pSocket->readAll();
        if (!bytes.isEmpty()) {
            emit Received(bytes);
        }
    });
    connect(m_pSocket, &QTcpSocket::disconnected, this,
            [this] { Lost("the module closed the connection"); });
    connect(m_pSocket, &QTcpSocket::errorOccurred, this,
            [this](QAbstractSocket::SocketError) { Lost(m_pSocket->errorString()); });
    m_connectLimit.start();
    m_pSocket->connectToHost(m_strHost, m_nPort);
}

void CSwitcherLink::OpenSerial() {
    const std::string path = DevicePath(m_strSerial);
    m_line = m_configuredLine;  // a client's line change lasted for the last open only
    // Writes never wait (WriteAvailable): what the tty does not take waits here for the
    // writable notifier, so the event loop never stalls on a slow line.
    if (path.empty() || !m_device.Open(path) || !m_device.SetLine(m_line)) {
        const std::string why = SerialOpenFailure(path, m_device.IsOpen(), errno, m_line);
        CloseSerial();
        m_log.Log("link: cannot open " + m_strSerial +
                  (path.empty() || path == m_strSerial ? "" : " (" + path + ")") + ": " + why +
                  "; trying again every 2 s");
        m_retry.start();
        return;
    }
    m_pReadable = std::make_unique<QSocketNotifier>(m_device.Descriptor(), QSocketNotifier::Read);
    connect(m_pReadable.get(), &QSocketNotifier::activated, this, &CSwitcherLink::ReadSerial);
    m_pWritable = std::make_unique<QSocketNotifier>(m_device.Descriptor(), QSocketNotifier::Write);
    m_pWritable->setEnabled(false);
    connect(m_pWritable.get(), &QSocketNotifier::activated, this, &CSwitcherLink::WriteSerial);
    m_bUp = true;
    m_log.Always("link: opened " + path + " at " + std::to_string(m_line.rate) + " bit/s");
    emit Up();
}

void CSwitcherLink::ReadSerial() {
    char buffer[4096];
    for (int round = 0; round < 16; ++round) {  // a fast line must not keep the loop for itself
        bool broken = false;
        const std::size_t n = m_device.ReadAvailable(buffer, sizeof buffer, &broken);
        if (n > 0) {
            emit Received(QByteArray(buffer, static_cast<qsizetype>(n)));
        }
        if (broken) {
            Lost("the serial line hung up or failed");
            return;
        }
        if (n < sizeof buffer) {
            return;
        }
    }
}

void CSwitcherLink::WriteSerial() {
    if (m_strOut.empty() || !m_device.IsOpen()) {
        return;
    }
    bool broken = false;
    m_strOut.erase(0, m_device.WriteAvailable(m_strOut.data(), m_strOut.size(), &broken));
    if (broken) {
        // Reported from the event loop: the sender may be in the middle of a request.
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
    if (m_pWritable) {
        m_pWritable->setEnabled(!m_strOut.empty());
    }
}

void CSwitcherLink::CloseSerial() {
    m_pReadable.reset();
    m_pWritable.reset();
    m_strOut.clear();
    if (m_device.IsOpen()) {
        m_device.Close();
    }
}

void CSwitcherLink::Lost(const QString& why) {
    m_connectLimit.stop();
    if (m_bSerial) {
        CloseSerial();
    } else if (m_pSocket != nullptr) {
        m_pSocket->disconnect(this);
        m_pSocket->abort();
        m_pSocket->deleteLater();
        m_pSocket = nullptr;
    }
    const bool wasUp = m_bUp;
    m_bUp = false;
    if (wasUp) {
        m_log.Always("link: lost (" + why.toStdString() + "); trying again every 2 s");
        emit Down();
    } else if (!m_bSerial) {
        m_log.Log("link: cannot connect to " +
                  (m_strHost + ":" + QString::number(m_nPort)).toStdString() + " (" +
                  why.toStdString() + "); trying again every 2 s");
    }
    m_retry.start();
}

bool CSwitcherLink::Send(const std::string& command) {
    if (!m_bUp) {
        return false;
    }
    if (!m_bSerial) {
        if (m_pSocket->bytesToWrite() > kMaxUnsent) {
            return false;
        }
        // Straight to the kernel when nothing waits before it: Qt's socket would hold the
        // bytes until the event loop turns. What the kernel does not take (or a failure, which
        // the socket then reports from the event loop) goes the socket's way.
        std::size_t taken = 0;
        if (m_pSocket->bytesToWrite() == 0) {
            const ssize_t n = ::send(static_cast<int>(m_pSocket->socketDescriptor()),
                                     command.data(), command.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            taken = n > 0 ? static_cast<std::size_t>(n) : 0;
        }
        if (taken < command.size()) {
            m_pSocket->write(command.data() + taken, static_cast<qint64>(command.size() - taken));
        }
        return true;
    }
    if (static_cast<qint64>(m_strOut.size()) > kMaxUnsent) {
        return false;
    }
    m_strOut += command;
    if (!m_pWritable->isEnabled()) {
        WriteSerial();
    }
    return true;
}

bool CSwitcherLink::SetLine(const SerialLine& line) {
    if (!m_bSerial) {
        return false;
    }
    if (!m_device.IsOpen()) {
        return false;
    }
    if (!m_device.SetLine(line)) {
        m_device.SetLine(m_line);  // the old setting stays
        return false;
    }
    m_line = line;
    return true;
}
