// matrixsim: a matrix switcher on TCP (127.0.0.1 unless told otherwise) and optionally on a
// pseudo-terminal, for trying the panel without hardware and for end-to-end tests.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "app/Version.h"
#include "platform/PlainText.h"
#include "tools/matrixsim/CCommandReader.h"
#include "tools/matrixsim/CSwitcherSim.h"

namespace {

constexpr const char* kUsage =
    "Usage: matrixsim [options]\n"
    "Plays an audio/video matrix switcher for the control panel.\n"
    "\n"
    "  --port N        TCP port (default 4001; 0 picks a free one)\n"
    "  --listen ADDR   IPv4 address to listen on (default 127.0.0.1, this machine only;\n"
    "                  0.0.0.0 for every interface, so that other machines reach it)\n"
    "  --inputs N      number of inputs, 1..1024 (default 8)\n"
    "  --outputs M     number of outputs, 1..1024 (default 8)\n"
    "  --pty PATH      also serve a pseudo-terminal, linked at PATH\n"
    "                  (for example $MATRIXPANEL_SYSDIR/COM1)\n"
    "  --log FILE      log received bytes to FILE instead of standard error\n"
    "  --busy MS       take MS milliseconds to carry out each command, answer when done,\n"
    "                  and drop what arrives meanwhile, as switchers with a small input\n"
    "                  buffer do (default 0: answer at once)\n"
    "  --help          show this text\n"
    "  --version       show the version\n"
    "\n"
    "Commands end with \".\" or \";\" (\"1B2.\", \"/%Lock;\"); network-module commands\n"
    "(\"AT + C1_BAUD = 9600\") end with the data that carries them. Every command is\n"
    "answered with lines ended by CR LF. The chosen port and pty are printed on standard\n"
    "output; SIGINT or SIGTERM ends the simulator and removes the link.\n";

struct Options {
    int port = 4001;
    std::string listenText = "127.0.0.1";
    in_addr listenAddress{htonl(INADDR_LOOPBACK)};
    int inputs = 8;
    int outputs = 8;
    std::string ptyPath;
    std::string logPath;
    int busyMs = 0;
};

[[noreturn]] void Fail(int code, const std::string& message) {
    std::fprintf(stderr, "matrixsim: %s\n", message.c_str());
    if (code == 2) {
        std::fprintf(stderr, "Try 'matrixsim --help'.\n");
    }
    std::exit(code);
}

int IntArgument(const std::string& name, const char* text, int low, int high) {
    const std::optional<int> value = ReadDecimal(text, low, high);
    if (!value) {
        Fail(2, "bad value for " + name + ": " + Quoted(text) + " (expected " +
                    std::to_string(low) + ".." + std::to_string(high) + ")");
    }
    return *value;
}

Options ParseOptions(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            std::exit(0);
        }
        if (arg == "--version") {
            std::printf("matrixsim %s\n", kProgramVersion);
            std::exit(0);
        }
        if (arg != "--port" && arg != "--listen" && arg != "--inputs" && arg != "--outputs" &&
            arg != "--pty" && arg != "--log" && arg != "--busy") {
            Fail(2, "unknown option '" + arg + "'");
        }
        if (i + 1 >= argc) {
            Fail(2, "option " + arg + " needs a value");
        }
        const char* value = argv[++i];
        if (arg == "--port") {
            options.port = IntArgument(arg, value, 0, 65535);
        } else if (arg == "--listen") {
            // Numbers only: a name would need a resolver, and the panel connects by number.
            if (::inet_pton(AF_INET, value, &options.listenAddress) != 1) {
                Fail(2, std::string("bad address for --listen: '") + value +
                            "' (expected an IPv4 address such as 0.0.0.0)");
            }
            char text[INET_ADDRSTRLEN];
            options.listenText = ::inet_ntop(AF_INET, &options.listenAddress, text, sizeof text);
        } else if (arg == "--inputs") {
            options.inputs = IntArgument(arg, value, 1, 1024);
        } else if (arg == "--outputs") {
            options.outputs = IntArgument(arg, value, 1, 1024);
        } else if (arg == "--pty") {
            options.ptyPath = value;
        } else if (arg == "--busy") {
            options.busyMs = IntArgument(arg, value, 0, 60000);
        } else {
            options.logPath = value;
        }
    }
    return options;
}

// Bytes as a readable line: printable ASCII as is, the rest as \r, \n or \xNN.
std::string Escaped(const char* data, std::size_t size) {
    std::string out;
    for (std::size_t i = 0; i < size; ++i) {
        const auto c = static_cast<unsigned char>(data[i]);
        if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\\') {
            out += "\\\\";
        } else if (c >= 0x20 && c < 0x7f) {
            out += static_cast<char>(c);
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        }
    }
    return out;
}

// Writes what the peer can take now; a peer that does not read loses the rest.
void WriteSome(int fd, const std::string& bytes, bool socket) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = socket ? ::send(fd, bytes.data() + done, bytes.size() - done,
                                          MSG_NOSIGNAL | MSG_DONTWAIT)
                                 : ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            break;
        }
    }
}

struct Peer {
    std::string name;
    bool socket = true;
    CCommandReader reader;
};

// How long the listener rests after an accept failed for want of descriptors or memory.
constexpr std::chrono::milliseconds kAcceptPause{100};

// Failures that leave the connection waiting in the backlog, so that the listener stays
// readable: retrying at once would only spin until something else frees a descriptor.
bool IsResourceShortage(int error) {
    return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
}

// The listener while accept cannot get a descriptor: it is left out of poll for a pause, and a
// run of failures is logged once, when it begins, and summed up when a connection gets in.
class AcceptPause {
  public:
    using Clock = std::chrono::steady_clock;

    bool Paused(Clock::time_point now) const { return m_failures > 0 && now < m_resume; }
    // What poll may wait before the listener is worth another try; -1 when it is not resting.
    int PollTimeout(Clock::time_point now) const {
        if (!Paused(now)) {
            return -1;
        }
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(m_resume - now);
        return static_cast<int>(std::max<std::chrono::milliseconds::rep>(left.count(), 1));
    }
    void Failed(std::FILE* log, int error, Clock::time_point now) {
        if (m_failures++ == 0) {
            std::fprintf(log, "matrixsim: cannot accept a connection: %s; waiting for a free one\n",
                         std::strerror(error));
        }
        m_resume = now + kAcceptPause;
    }
    void Accepted(std::FILE* log) {
        if (m_failures > 0) {
            std::fprintf(log, "matrixsim: accepting again after %ld failed attempts\n", m_failures);
            m_failures = 0;
        }
    }

  private:
    long m_failures = 0;  // in the current run
    Clock::time_point m_resume{};
};

std::FILE* OpenLog(const std::string& path) {
    if (path.empty()) {
        return stderr;
    }
    std::FILE* log = std::fopen(path.c_str(), "a");
    if (log == nullptr) {
        Fail(1, "cannot open log " + path + ": " + std::strerror(errno));
    }
    std::setvbuf(log, nullptr, _IOLBF, 0);
    return log;
}

// SIGINT and SIGTERM arrive as a readable descriptor, so the loop ends them cleanly.
int StopSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigprocmask(SIG_BLOCK, &signals, nullptr);
    return ::signalfd(-1, &signals, SFD_CLOEXEC);
}

// A listener on `address`; `port` 0 picks a free one and is set to the port taken.
int Listen(const Options& options, int& port) {
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr = options.listenAddress;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    socklen_t length = sizeof address;
    if (::bind(listener, reinterpret_cast<sockaddr*>(&address), length) != 0) {
        Fail(1, errno == EADDRINUSE ? "port " + std::to_string(port) + " is in use"
                                    : "cannot listen on " + options.listenText + " port " +
                                          std::to_string(port) + ": " + std::strerror(errno));
    }
    ::listen(listener, 8);
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    port = ntohs(address.sin_port);
    return listener;
}

// A raw pseudo-terminal linked at `path`. The slave stays open here, so that the master never
// reads EIO while no panel has the port open.
struct PtyLink {
    int master = -1;
    int slave = -1;
};

PtyLink LinkPty(const std::string& path) {
    PtyLink pty;
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0) {
        if (!S_ISLNK(st.st_mode)) {
            Fail(1, path + " exists and is not a link");
        }
        ::unlink(path.c_str());  // a link left by an earlier run
    }
    char name[256];
    if (::openpty(&pty.master, &pty.slave, name, nullptr, nullptr) != 0) {
        Fail(1, std::string("cannot make a pseudo-terminal: ") + std::strerror(errno));
    }
    struct termios tio {};
    ::tcgetattr(pty.slave, &tio);
    ::cfmakeraw(&tio);
    ::tcsetattr(pty.slave, TCSANOW, &tio);
    ::fcntl(pty.master, F_SETFL, ::fcntl(pty.master, F_GETFL) | O_NONBLOCK);
    ::fcntl(pty.master, F_SETFD, FD_CLOEXEC);
    ::fcntl(pty.slave, F_SETFD, FD_CLOEXEC);
    if (::symlink(name, path.c_str()) != 0) {
        Fail(1, "cannot link " + path + ": " + std::strerror(errno));
    }
    std::printf("matrixsim: pty %s -> %s\n", path.c_str(), name);
    return pty;
}

// The simulator's loop: one switcher, its TCP clients and the pty, until a stop signal.
class Server {
  public:
    Server(const Options& options, std::FILE* log, int signalFd, int listener, int ptyMaster)
        : m_sim(options.inputs, options.outputs),
          m_busy(options.busyMs),
          m_log(log),
          m_signalFd(signalFd),
          m_listener(listener) {
        if (ptyMaster >= 0) {
            m_peers[ptyMaster] = Peer{"pty", false, {}};
        }
    }
    ~Server() {
        for (const auto& entry : m_peers) {
            ::close(entry.first);
        }
    }
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    void Run() {
        for (;;) {
            const auto now = AcceptPause::Clock::now();
            // A resting listener keeps its slot with a negative descriptor, which poll skips,
            // so that the peers stay at index 2 onwards.
            std::vector<pollfd> fds = {{m_signalFd, POLLIN, 0},
                                       {m_acceptPause.Paused(now) ? -1 : m_listener, POLLIN, 0}};
            for (const auto& entry : m_peers) {
                fds.push_back({entry.first, POLLIN, 0});
            }
            if (::poll(fds.data(), fds.size(), PollTimeout(now)) < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return;
            }
            if ((fds[0].revents & POLLIN) != 0) {
                return;
            }
            if ((fds[1].revents & POLLIN) != 0) {
                Accept();
            }
            AnswerWhenDone(AcceptPause::Clock::now());
            for (std::size_t i = 2; i < fds.size(); ++i) {
                if (fds[i].revents != 0) {
                    Serve(fds[i].fd);
                }
            }
        }
    }

  private:
    // A busy switcher's answer, written once the command is carried out.
    struct Busy {
        AcceptPause::Clock::time_point until{};
        int fd = -1;
        bool socket = true;
        std::string replies;
    };

    int PollTimeout(AcceptPause::Clock::time_point now) const {
        const int accept = m_acceptPause.PollTimeout(now);
        if (m_busyWith.fd < 0) {
            return accept;
        }
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(m_busyWith.until - now);
        const int busy =
            static_cast<int>(std::max<std::chrono::milliseconds::rep>(left.count(), 0));
        return accept < 0 ? busy : std::min(accept, busy);
    }

    void AnswerWhenDone(AcceptPause::Clock::time_point now) {
        if (m_busyWith.fd >= 0 && now >= m_busyWith.until) {
            if (m_peers.count(m_busyWith.fd) != 0) {
                WriteSome(m_busyWith.fd, m_busyWith.replies, m_busyWith.socket);
            }
            m_busyWith = Busy{};
        }
    }

    void Accept() {
        const int client = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (client >= 0) {
            m_acceptPause.Accepted(m_log);
            m_peers[client] = Peer{"tcp#" + std::to_string(m_nextClient++), true, {}};
            std::fprintf(m_log, "%s connected\n", m_peers[client].name.c_str());
        } else if (IsResourceShortage(errno)) {
            m_acceptPause.Failed(m_log, errno, AcceptPause::Clock::now());
        }
    }

    // Reads what a peer sent, logs it and answers every whole command in it.
    void Serve(int fd) {
        Peer& peer = m_peers[fd];
        char buffer[4096];
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0) {
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
                return;
            }
            if (peer.socket) {
                std::fprintf(m_log, "%s closed\n", peer.name.c_str());
                ::close(fd);
                m_peers.erase(fd);
            }
            return;
        }
        const auto size = static_cast<std::size_t>(n);
        std::fprintf(m_log, "rx %s %s\n", peer.name.c_str(), Escaped(buffer, size).c_str());
        if (m_busy.count() > 0) {
            ServeBusy(fd, peer, {buffer, size});
            return;
        }
        std::string replies;
        for (const std::string& command : peer.reader.Feed({buffer, size})) {
            replies += m_sim.Answer(command);
        }
        WriteSome(fd, replies, peer.socket);
    }

    // One command at a time: while one is carried out, whatever arrives is lost, even the rest
    // of the bytes that brought it.
    void ServeBusy(int fd, Peer& peer, std::string_view bytes) {
        bool lost = true;
        if (m_busyWith.fd < 0) {
            const std::vector<std::string> commands = peer.reader.Feed(bytes);
            lost = commands.size() > 1 || (!commands.empty() && !peer.reader.Pending().empty());
            if (!commands.empty()) {
                m_busyWith = Busy{AcceptPause::Clock::now() + m_busy, fd, peer.socket,
                                  m_sim.Answer(commands.front())};
                peer.reader = CCommandReader{};
            }
        }
        if (lost) {
            std::fprintf(m_log, "busy: dropped what %s sent while a command was carried out\n",
                         peer.name.c_str());
        }
    }

    CSwitcherSim m_sim;
    std::chrono::milliseconds m_busy;
    Busy m_busyWith;
    std::FILE* m_log;
    int m_signalFd;
    int m_listener;
    std::map<int, Peer> m_peers;  // by descriptor; the pty master is one of them
    int m_nextClient = 1;
    AcceptPause m_acceptPause;
};

}  // namespace

int main(int argc, char** argv) {
    Options options = ParseOptions(argc, argv);
    std::FILE* log = OpenLog(options.logPath);
    const int signalFd = StopSignals();
    const int listener = Listen(options, options.port);
    const PtyLink pty = options.ptyPath.empty() ? PtyLink{} : LinkPty(options.ptyPath);
    std::printf("matrixsim: %dx%d listening on %s:%d\n", options.inputs, options.outputs,
                options.listenText.c_str(), options.port);
    std::fflush(stdout);

    Server(options, log, signalFd, listener, pty.master).Run();

    if (pty.slave >= 0) {
        ::close(pty.slave);
        ::unlink(options.ptyPath.c_str());
    }
    ::close(listener);
    std::fprintf(log, "matrixsim: stopped\n");
    return 0;
}
