#include "hub/raw/CRawServer.h"

#include "hub/core/CHub.h"
#include "hub/core/CSwitcherLink.h"
#include "link/LineSettings.h"
#include "panel/CommandGrammar.h"
#include "panel/HubLines.h"
#include "platform/PlainText.h"

namespace {

constexpr const char* kModuleOk = "OK\r\n";
constexpr const char* kModuleError = "ERROR\r\n";
constexpr std::size_t kReadChunk = 4096;

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

bool IsSwitcherLock(const std::string& command) {
    const auto read = ReadDeviceCommand(command);
    return read && read->kind == CommandKind::Lock;
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

}  // namespace

CRawServer::CRawServer(CHub& hub, CSwitcherLink& link, bool allowLineSettings,
                       const CClientAccess& access, CEventLog& log, QObject* parent)
    : CClientServer("raw", access, log, parent),
      m_hub(hub),
      m_link(link),
      m_bAllowLineSettings(allowLineSettings) {}

void CRawServer::Connected(ClientId client) {
    Pending& pending = m_pending[client];
    pending.quiet = std::make_unique<QTimer>();
    pending.quiet->setSingleShot(true);
    QObject::connect(pending.quiet.get(), &QTimer::timeout, this,
                     [this, client] { Quiet(client); });
}

void CRawServer::Gone(ClientId client) {
    m_pending.erase(client);  // a command cut short by the disconnect is not sent
}

void CRawServer::Readable(ClientId client) {
    Take(client);
}

void CRawServer::Resume(ClientId client) {
    const auto found = m_pending.find(client);
    if (found == m_pending.end() || !found->second.waiting) {
        return;
    }
    found->second.waiting = false;
    // From the event loop: the queue calls in the middle of its own work.
    QMetaObject::invokeMethod(
        this, [this, client] { Take(client); }, Qt::QueuedConnection);
}

void CRawServer::Refused(ClientId client) {
    if (m_pending.count(client) != 0) {
        Reply(client, kSwitcherLockedLine);
    }
}

void CRawServer::Take(ClientId client) {
    const auto found = m_pending.find(client);
    if (found == m_pending.end() || found->second.waiting) {
        return;  // bytes stay in the socket: the client is read again once there is room
    }
    Pending& pending = found->second;
    char buffer[kReadChunk];
    for (;;) {
        if (!TakeCommands(client, pending)) {
            return;
        }
        const std::size_t n = ReadFrom(client, buffer, sizeof buffer);
        if (n == 0) {
            return;
        }
        pending.bytes.append(buffer, n);
    }
}

bool CRawServer::TakeCommands(ClientId client, Pending& pending) {
    std::string& bytes = pending.bytes;
    bool room = true;
    while (Serves(client)) {
        std::size_t start = 0;
        while (start < bytes.size() && IsBlank(bytes[start])) {
            ++start;
        }
        bytes.erase(0, start);
        if (bytes.empty()) {
            break;
        }
        if (pending.skipping) {
            const std::size_t end = bytes.find_first_of(".;");
            bytes.erase(0, end == std::string::npos ? bytes.size() : end + 1);
            pending.skipping = end == std::string::npos;
            continue;
        }
        if (bytes.compare(0, 2, "AT") == 0) {
            // A module command ends at its line end (or after a pause: Quiet).
            const std::size_t end = bytes.find_first_of("\r\n");
            if (end == std::string::npos) {
                break;
            }
            ModuleCommand(client, bytes.substr(0, end));
            bytes.erase(0, end);
            continue;
        }
        const std::size_t end = bytes.find_first_of(".;");
        if (end == std::string::npos) {
            break;
        }
        const std::string command = bytes.substr(0, end + 1);
        if (!m_bAllowLineSettings && IsSwitcherLock(command)) {
            // The switcher's own lock holds every door: it is the administrator's, as the line.
            bytes.erase(0, end + 1);
            Log("a client's switcher lock was refused (--allow-line-settings is off)");
            Reply(client, kHubRefusedLine);
            continue;
        }
        const CHub::Result result = m_hub.SubmitRaw(client, command);
        if (result == CHub::Result::Full) {
            pending.waiting = true;
            room = false;
            break;
        }
        bytes.erase(0, end + 1);
        if (result == CHub::Result::Locked) {
            Reply(client, kSwitcherLockedLine);
        } else if (result == CHub::Result::Absent) {
            Reply(client, kHubLinkDownLine);
        }
    }
    if (room && bytes.size() > kMaxCommand) {
        Log("a client's command over " + std::to_string(kMaxCommand) +
            " bytes was dropped: " + Quoted(bytes, 32));
        Reply(client, kHubDroppedLine);
        pending.skipping = true;  // up to the end the command will have
        bytes.clear();
    }
    if (bytes.empty() || !room) {
        pending.quiet->stop();
    } else {
        pending.quiet->start(bytes.compare(0, 2, "AT") == 0 ? kQuietMs : kFragmentMs);
    }
    return room;
}

void CRawServer::Quiet(ClientId client) {
    const auto found = m_pending.find(client);
    if (found == m_pending.end() || found->second.bytes.empty() || found->second.waiting) {
        return;
    }
    std::string rest = std::exchange(found->second.bytes, {});
    if (rest.compare(0, 2, "AT") == 0) {
        ModuleCommand(client, rest);
    } else {
        Log("a client's unfinished command was dropped: " + Quoted(rest, 32));
        Reply(client, kHubDroppedLine);
    }
    Take(client);  // bytes may have waited in the socket meanwhile
}

void CRawServer::Reply(ClientId client, std::string_view line) {
    const std::string text = std::string(line) + "\r\n";
    Send(client, text.data(), static_cast<qint64>(text.size()));
}

void CRawServer::ModuleCommand(ClientId client, const std::string& command) {
    if (!m_bAllowLineSettings) {
        Log("a client's module command was refused (--allow-line-settings is off): " +
            Quoted(command, 64));
        Send(client, kModuleError,
             static_cast<qint64>(std::char_traits<char>::length(kModuleError)));
        return;
    }
    if (!m_link.IsSerial()) {
        // The module behind takes it, and answers.
        const CHub::Result result = m_hub.SubmitRaw(client, command);
        if (result == CHub::Result::Absent) {
            Reply(client, kHubLinkDownLine);
        } else if (result != CHub::Result::Queued) {
            Send(client, kModuleError,
                 static_cast<qint64>(std::char_traits<char>::length(kModuleError)));
        }
        return;
    }
    SerialLine line = m_link.Line();
    const bool ok = ModuleLine(command, line) && m_link.SetLine(line);
    if (ok) {
        Log("serial line set by a client until the link is opened again: " + Quoted(command, 64));
    }
    const char* reply = ok ? kModuleOk : kModuleError;
    Send(client, reply, static_cast<qint64>(std::char_traits<char>::length(reply)));
}
