#include "tools/matrixctl/CCtlLink.h"

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "link/ConnectThread.h"
#include "link/LinkTypes.h"
#include "link/Terminator.h"
#include "platform/ComPorts.h"
#include "platform/MessageBox.h"
#include "platform/SystemDir.h"

namespace {

constexpr std::size_t kChunk = 1024;

// The network client reports a failed send as a message box; here it becomes the reason.
class MessageCatcher {
  public:
    MessageCatcher()
        : m_previous(
              SetMessageBoxHook([this](const void*, const std::string& text, const std::string&) {
                  std::lock_guard lock(m_mutex);
                  m_texts.push_back(text);
              })) {}
    ~MessageCatcher() { SetMessageBoxHook(std::move(m_previous)); }
    MessageCatcher(const MessageCatcher&) = delete;
    MessageCatcher& operator=(const MessageCatcher&) = delete;

    std::optional<std::string> Last() {
        std::lock_guard lock(m_mutex);
        if (m_texts.empty()) {
            return std::nullopt;
        }
        return m_texts.back();
    }

  private:
    std::mutex m_mutex;
    std::vector<std::string> m_texts;
    MessageBoxHook m_previous;
};

using Clock = CCtlNetLink::Clock;
using Address = std::array<std::uint8_t, 4>;

// getaddrinfo's error for `host` (0 with the address found).
int LookUp(const std::string& host, int flags, Address& address) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = flags;
    addrinfo* found = nullptr;
    const int error = ::getaddrinfo(host.c_str(), nullptr, &hints, &found);
    if (error != 0 || found == nullptr) {
        return error != 0 ? error : EAI_NONAME;
    }
    const auto* ipv4 = reinterpret_cast<const sockaddr_in*>(found->ai_addr);
    std::memcpy(address.data(), &ipv4->sin_addr.s_addr, address.size());
    ::freeaddrinfo(found);
    return 0;
}

// The address of `host`. A number is read at once; a name is looked up on a thread of its own,
// because a resolver that does not answer holds getaddrinfo for many seconds and nothing can
// interrupt it: past `deadline` the lookup is left to end alone (this call ends soon after),
// and the result is ETIMEDOUT.
int ResolveIpv4(const std::string& host, Clock::time_point deadline, Address& address) {
    if (LookUp(host, AI_NUMERICHOST, address) == 0) {
        return 0;
    }
    struct Lookup {
        std::mutex mutex;
        std::condition_variable done;
        std::optional<int> error;
        Address address{};
    };
    const auto lookup = std::make_shared<Lookup>();
    std::thread([lookup, host] {
        Address found{};
        const int error = LookUp(host, 0, found);
        std::lock_guard lock(lookup->mutex);
        lookup->error = error;
        lookup->address = found;
        lookup->done.notify_all();
    }).detach();
    std::unique_lock lock(lookup->mutex);
    const auto finished = [&] { return lookup->error.has_value(); };
    if (deadline == Clock::time_point::max()) {
        lookup->done.wait(lock, finished);
    } else if (!lookup->done.wait_until(lock, deadline, finished)) {
        return ETIMEDOUT;
    }
    address = lookup->address;
    return *lookup->error;
}

}  // namespace

// --- TCP ---------------------------------------------------------------------------------

CCtlNetLink::CCtlNetLink(std::string host, std::uint16_t port, Clock::time_point deadline,
                         std::string deadlineName)
    : m_host(std::move(host)),
      m_port(port),
      m_deadline(deadline),
      m_strDeadlineName(std::move(deadlineName)) {}

CCtlNetLink::~CCtlNetLink() {
    Close();
}

std::string CCtlNetLink::Name() const {
    return m_host + ":" + std::to_string(m_port);
}

bool CCtlNetLink::Open(std::string& reason) {
    ConnectRequest request;
    if (const int error = ResolveIpv4(m_host, m_deadline, request.address); error != 0) {
        reason = "cannot find host " + m_host + ": " +
                 (error == ETIMEDOUT ? "no answer within " + m_strDeadlineName
                                     : std::string(::gai_strerror(error)));
        return false;
    }
    if (!m_client.Create()) {
        reason = std::string("cannot make a socket: ") + std::strerror(errno);
        return false;
    }
    request.port = m_port;
    request.client = &m_client;
    request.socket = m_client.SocketToken();

    // The attempt runs on a thread of its own so that a host that never answers costs
    // kConnectLimit (or what is left of the call's time, when that is less), not the system's
    // minutes of retries: interrupting the socket ends it at once. It is interrupted only when
    // the limit has passed without a result, so a connection that was made is left to carry
    // the command.
    const bool deadlineFirst = m_deadline - Clock::now() < kConnectLimit;
    const auto limit = std::min<Clock::duration>(kConnectLimit, m_deadline - Clock::now());
    std::mutex mutex;
    std::condition_variable done;
    std::optional<int> result;
    std::thread attempt([&] {
        const int code = ConnectThread::Connect(request);
        std::lock_guard lock(mutex);
        result = code;
        done.notify_all();
    });
    {
        std::unique_lock lock(mutex);
        if (!done.wait_for(lock, limit, [&] { return result.has_value(); })) {
            m_client.Interrupt(request.socket);
        }
    }
    attempt.join();
    {
        std::lock_guard lock(mutex);
        if (*result == ECANCELED) {
            result.reset();  // given up here, not refused by the peer
        }
    }
    if (!result) {
        reason = "no answer from " + Name() + " within " +
                 (deadlineFirst ? m_strDeadlineName
                                : std::to_string(kConnectLimit.count() / 1000) + " s");
        return false;
    }
    if (*result != 0) {
        reason = "cannot connect to " + Name() + ": " + std::strerror(*result);
        return false;
    }
    return true;
}

bool CCtlNetLink::Send(const DeviceCommand& command, bool raw, std::string& reason) {
    MessageCatcher messages;
    // Route 1 with the "." flag is the terminal's raw send: the network link adds nothing.
    if (raw) {
        m_client.Send(command.text, kRouteTerminal, kTermDot);
    } else {
        m_client.Send(command.text, command.route, command.flag);
    }
    if (const auto message = messages.Last()) {
        reason = "cannot send to " + Name() + ": " + *message;
        return false;
    }
    return true;
}

void CCtlNetLink::StartReading(CReplyCollector& collector) {
    const CNetClient::Token token = m_client.SocketToken();
    m_reader = std::thread([this, &collector, token] {
        std::array<char, kChunk> buffer{};
        for (;;) {
            const long received = m_client.Receive(token, buffer.data(), buffer.size());
            const int error = errno;
            // Bytes that came while the link was being closed are still replies.
            if (received > 0) {
                collector.Add({buffer.data(), static_cast<std::size_t>(received)});
            }
            if (m_bClosing.load()) {
                collector.End({});
                return;
            }
            if (received > 0) {
                continue;
            }
            collector.End(received == 0
                              ? Name() + " closed the connection"
                              : "connection to " + Name() + " lost: " + std::strerror(error));
            return;
        }
    });
}

void CCtlNetLink::Close() {
    m_bClosing.store(true);
    m_client.Close();  // shuts the socket down: a pending receive returns
    if (m_reader.joinable()) {
        m_reader.join();
    }
}

// --- serial ------------------------------------------------------------------------------

namespace {

constexpr int kGapMs = 50;

std::string OpenFailure(const std::string& name, const std::string& path, int error) {
    const std::string what = name == path ? path : name + " (" + path + ")";
    switch (error) {
        case ENOENT:
            return what + ": no such device";
        case EWOULDBLOCK:
        case EBUSY:
            return what + " is in use by another program (the panel?)";
        case ENOTTY:
            return what + " is not a serial port";
        case EACCES:
        case EPERM:
            return what + ": permission denied (serial ports belong to the dialout group)";
        default:
            return what + ": " + std::strerror(error);
    }
}

}  // namespace

CCtlSerialLink::CCtlSerialLink(std::string port, unsigned baud)
    : m_port(std::move(port)), m_baud(baud) {}

CCtlSerialLink::~CCtlSerialLink() {
    Close();
}

bool CCtlSerialLink::Open(std::string& reason) {
    if (const std::optional<int> com = ComPortNumber(m_port)) {
        const std::string name = "COM" + std::to_string(*com);
        m_path = ComDevicePath(*com);
        if (m_path.empty()) {
            reason = name + ": no such port (no " + SystemDir() + "/" + name +
                     (SystemDirFromEnvironment() ? "" : ", no serial device") + ")";
            return false;
        }
    } else {
        m_path = m_port;
    }
    errno = 0;
    if (!m_device.Open(m_path)) {
        reason = OpenFailure(m_port, m_path, errno);
        return false;
    }
    if (!m_device.SetLine(SerialLine{m_baud, 0, 8, 0})) {
        reason = m_path + " does not take " + std::to_string(m_baud) + " bit/s 8N1";
        return false;
    }
    // The panel's write limits, which follow the rate; reads follow ReadChunk's own rule.
    m_device.SetTimeouts(WriteTimeoutsFor(SerialLine{m_baud, 0, 8, 0}));
    // Whatever the port held from before is not a reply to this command.
    m_device.Purge(kPurgeRxClear | kPurgeTxClear);
    return true;
}

bool CCtlSerialLink::Send(const DeviceCommand& command, bool raw, std::string& reason) {
    std::string bytes = command.text;
    if (!raw) {
        bytes += SerialTerminator(command.flag);
    }
    const SerialWrite write = m_device.Write(bytes.data(), bytes.size());
    if (write.written != bytes.size()) {
        reason = "cannot write to " + m_path +
                 (write.broken ? ": the line failed" : ": the port took nothing for too long");
        return false;
    }
    return true;
}

void CCtlSerialLink::StartReading(CReplyCollector& collector) {
    m_reader = std::thread([this, &collector] {
        std::array<char, kChunk> buffer{};
        for (;;) {
            bool broken = false;
            const std::size_t count =
                m_device.ReadChunk(buffer.data(), buffer.size(), kGapMs, &broken);
            if (count > 0) {
                collector.Add({buffer.data(), count});
            }
            if (m_bClosing.load()) {
                collector.End({});
                return;
            }
            if (broken) {
                collector.End(m_path + " hung up");
                return;
            }
        }
    });
}

void CCtlSerialLink::Close() {
    m_bClosing.store(true);
    m_device.Wake();
    if (m_reader.joinable()) {
        m_reader.join();
    }
    m_device.Close();
}
