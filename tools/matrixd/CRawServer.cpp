#include "tools/matrixd/CRawServer.h"

#include "link/LineSettings.h"
#include "tools/matrixd/CSwitcherLink.h"

namespace {

constexpr const char* kModuleOk = "OK\r\n";
constexpr const char* kModuleError = "ERROR\r\n";

// The serial line a module command asks for, starting from `line`; false when the command is
// not one a module knows.
bool ModuleLine(const std::string& command, SerialLine& line) {
    static constexpr std::string_view kBaud = "AT + C1_BAUD = ";
    if (command.compare(0, kBaud.size(), kBaud) == 0) {
        const int position = BaudPosition(std::string_view(command).substr(kBaud.size()));
        if (position < 0) {
            return false;
        }
        line.rate = kBaudSettings[static_cast<std::size_t>(position)].rate;
        return true;
    }
    for (const CodedSetting& parity : kParitySettings) {
        if (command == parity.moduleCommand) {
            line.parity = parity.code;
            return true;
        }
    }
    for (const CodedSetting& stopBits : kStopBitsSettings) {
        if (command == stopBits.moduleCommand) {
            line.stopBits = stopBits.code;
            return true;
        }
    }
    if (command == kModuleDataBitsCommand) {
        line.dataBits = 8;
        return true;
    }
    return false;
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

}  // namespace

CRawServer::CRawServer(CSwitcherLink& link, const CClientAccess& access, CEventLog& log,
                       QObject* parent)
    : CClientServer("raw", access, log, parent), m_link(link) {}

void CRawServer::Connected(ClientId client) {
    Pending& pending = m_pending[client];
    pending.quiet = std::make_unique<QTimer>();
    pending.quiet->setSingleShot(true);
    pending.quiet->setInterval(kQuietMs);
    QObject::connect(pending.quiet.get(), &QTimer::timeout, this, [this, client] {
        const auto found = m_pending.find(client);
        if (found != m_pending.end() && !found->second.bytes.empty()) {
            const std::string rest = std::move(found->second.bytes);
            found->second.bytes.clear();
            Forward(client, rest);
        }
    });
}

void CRawServer::Gone(ClientId client) {
    m_pending.erase(client);  // a command cut short by the disconnect is not sent
}

void CRawServer::Readable(ClientId client, QTcpSocket& socket) {
    Pending& pending = m_pending.at(client);
    char buffer[16 * 1024];
    while (Socket(client) != nullptr && socket.bytesAvailable() > 0) {
        const qint64 n = socket.read(buffer, sizeof buffer);
        if (n <= 0) {
            break;
        }
        pending.bytes.append(buffer, static_cast<std::size_t>(n));
        TakeCommands(client, pending);
    }
}

void CRawServer::TakeCommands(ClientId client, Pending& pending) {
    std::string& bytes = pending.bytes;
    for (;;) {
        std::size_t start = 0;
        while (start < bytes.size() && IsBlank(bytes[start])) {
            ++start;
        }
        if (start == bytes.size()) {
            break;
        }
        if (bytes.compare(start, 2, "AT") == 0) {
            // A module command ends at its line end or with the data that carried it.
            std::size_t end = bytes.find_first_of("\r\n", start);
            end = end == std::string::npos ? bytes.size() : end;
            std::size_t next = end;
            while (next < bytes.size() && (bytes[next] == '\r' || bytes[next] == '\n')) {
                ++next;
            }
            if (m_link.IsSerial()) {
                ModuleCommand(client, bytes.substr(start, end - start));
            } else {
                Forward(client, bytes.substr(0, next));  // the module behind takes it
            }
            bytes.erase(0, next);
            continue;
        }
        const std::size_t end = bytes.find_first_of(".;", start);
        if (end == std::string::npos) {
            break;
        }
        Forward(client, bytes.substr(0, end + 1));
        bytes.erase(0, end + 1);
    }
    if (bytes.size() > kMaxCommand) {
        Forward(client, bytes);
        bytes.clear();
    }
    if (bytes.empty()) {
        pending.quiet->stop();
    } else {
        pending.quiet->start();
    }
}

void CRawServer::Forward(ClientId, const std::string& command) {
    if (!m_link.Send(command)) {
        Log(m_link.IsUp() ? "a command was dropped: the switcher does not take what it is sent"
                          : "a command was dropped: the switcher link is down");
    } else if (m_onForwarded) {
        m_onForwarded(command);
    }
}

void CRawServer::ModuleCommand(ClientId client, const std::string& command) {
    SerialLine line = m_link.Line();
    const bool ok = ModuleLine(command, line) && m_link.SetLine(line);
    if (ok) {
        Log("serial line set by a client: " + command);
    }
    const char* reply = ok ? kModuleOk : kModuleError;
    Send(client, reply, static_cast<qint64>(std::char_traits<char>::length(reply)));
}
