// matrixsim: a matrix switcher on 127.0.0.1 (TCP) and optionally on a pseudo-terminal, for
// trying the panel without hardware and for end-to-end tests.
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
#include <string>
#include <vector>

#include "tools/matrixsim/CCommandReader.h"
#include "tools/matrixsim/CSwitcherSim.h"

namespace {

constexpr const char* kUsage =
    "Usage: matrixsim [options]\n"
    "Plays an audio/video matrix switcher for the control panel.\n"
    "\n"
    "  --port N        TCP port on 127.0.0.1 (default 4001; 0 picks a free one)\n"
    "  --inputs N      number of inputs, 1..1024 (default 8)\n"
    "  --outputs M     number of outputs, 1..1024 (default 8)\n"
    "  --pty PATH      also serve a pseudo-terminal, linked at PATH\n"
    "                  (for example $MATRIXPANEL_SYSDIR/COM1)\n"
    "  --log FILE      log received bytes to FILE instead of standard error\n"
    "  --help          show this text\n"
    "\n"
    "Commands end with \".\" or \";\" (\"1B2.\", \"/%Lock;\"); network-module commands\n"
    "(\"AT + C1_BAUD = 9600\") end with the data that carries them. Every command is\n"
    "answered with lines ended by CR LF. The chosen port and pty are printed on standard\n"
    "output; SIGINT or SIGTERM ends the simulator and removes the link.\n";

struct Options {
    int port = 4001;
    int inputs = 8;
    int outputs = 8;
    std::string ptyPath;
    std::string logPath;
};

[[noreturn]] void Fail(int code, const std::string& message) {
    std::fprintf(stderr, "matrixsim: %s\n", message.c_str());
    if (code == 2) {
        std::fprintf(stderr, "Try 'matrixsim --help'.\n");
    }
    std::exit(code);
}

int IntArgument(const std::string& name, const char* text, int low, int high) {
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value < low || value > high) {
        Fail(2, "bad value for " + name + ": '" + text + "' (expected " + std::to_string(low) +
                    ".." + std::to_string(high) + ")");
    }
    return static_cast<int>(value);
}

Options ParseOptions(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            std::exit(0);
        }
        if (arg != "--port" && arg != "--inputs" && arg != "--outputs" && arg != "--pty" &&
            arg != "--log") {
            Fail(2, "unknown option '" + arg + "'");
        }
        if (i + 1 >= argc) {
            Fail(2, "option " + arg + " needs a value");
        }
        const char* value = argv[++i];
        if (arg == "--port") {
            options.port = IntArgument(arg, value, 0, 65535);
        } else if (arg == "--inputs") {
            options.inputs = IntArgument(arg, value, 1, 1024);
        } else if (arg == "--outputs") {
            options.outputs = IntArgument(arg, value, 1, 1024);
        } else if (arg == "--pty") {
            options.ptyPath = value;
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

}  // namespace

int main(int argc, char** argv) {
    const Options options = ParseOptions(argc, argv);
    std::FILE* log = stderr;
    if (!options.logPath.empty()) {
        log = std::fopen(options.logPath.c_str(), "a");
        if (log == nullptr) {
            Fail(1, "cannot open log " + options.logPath + ": " + std::strerror(errno));
        }
        std::setvbuf(log, nullptr, _IOLBF, 0);
    }

    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigprocmask(SIG_BLOCK, &signals, nullptr);
    const int signalFd = ::signalfd(-1, &signals, SFD_CLOEXEC);

    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(options.port));
    socklen_t length = sizeof address;
    if (::bind(listener, reinterpret_cast<sockaddr*>(&address), length) != 0) {
        Fail(1, errno == EADDRINUSE ? "port " + std::to_string(options.port) + " is in use"
                                    : "cannot listen on port " + std::to_string(options.port) +
                                          ": " + std::strerror(errno));
    }
    ::listen(listener, 8);
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);

    int master = -1;
    int slave = -1;
    if (!options.ptyPath.empty()) {
        struct stat st {};
        if (::lstat(options.ptyPath.c_str(), &st) == 0) {
            if (!S_ISLNK(st.st_mode)) {
                Fail(1, options.ptyPath + " exists and is not a link");
            }
            ::unlink(options.ptyPath.c_str());  // a link left by an earlier run
        }
        char name[256];
        if (::openpty(&master, &slave, name, nullptr, nullptr) != 0) {
            Fail(1, std::string("cannot make a pseudo-terminal: ") + std::strerror(errno));
        }
        struct termios tio {};
        ::tcgetattr(slave, &tio);
        ::cfmakeraw(&tio);
        ::tcsetattr(slave, TCSANOW, &tio);
        ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
        ::fcntl(master, F_SETFD, FD_CLOEXEC);
        ::fcntl(slave, F_SETFD, FD_CLOEXEC);
        if (::symlink(name, options.ptyPath.c_str()) != 0) {
            Fail(1, "cannot link " + options.ptyPath + ": " + std::strerror(errno));
        }
        std::printf("matrixsim: pty %s -> %s\n", options.ptyPath.c_str(), name);
    }
    std::printf("matrixsim: %dx%d listening on 127.0.0.1:%d\n", options.inputs, options.outputs,
                ntohs(address.sin_port));
    std::fflush(stdout);

    CSwitcherSim sim(options.inputs, options.outputs);
    std::map<int, Peer> peers;  // by descriptor; the pty master is one of them
    if (master >= 0) {
        peers[master] = Peer{"pty", false, {}};
    }
    int nextClient = 1;
    AcceptPause acceptPause;
    bool running = true;
    while (running) {
        const auto now = AcceptPause::Clock::now();
        // A resting listener keeps its slot with a negative descriptor, which poll skips, so
        // that the peers stay at index 2 onwards.
        std::vector<pollfd> fds = {{signalFd, POLLIN, 0},
                                   {acceptPause.Paused(now) ? -1 : listener, POLLIN, 0}};
        for (const auto& entry : peers) {
            fds.push_back({entry.first, POLLIN, 0});
        }
        if (::poll(fds.data(), fds.size(), acceptPause.PollTimeout(now)) < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        if ((fds[0].revents & POLLIN) != 0) {
            running = false;
            break;
        }
        if ((fds[1].revents & POLLIN) != 0) {
            const int client = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (client >= 0) {
                acceptPause.Accepted(log);
                peers[client] = Peer{"tcp#" + std::to_string(nextClient++), true, {}};
                std::fprintf(log, "%s connected\n", peers[client].name.c_str());
            } else if (IsResourceShortage(errno)) {
                acceptPause.Failed(log, errno, AcceptPause::Clock::now());
            }
        }
        for (std::size_t i = 2; i < fds.size(); ++i) {
            if (fds[i].revents == 0) {
                continue;
            }
            const int fd = fds[i].fd;
            Peer& peer = peers[fd];
            char buffer[4096];
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n <= 0) {
                if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
                    continue;
                }
                if (peer.socket) {
                    std::fprintf(log, "%s closed\n", peer.name.c_str());
                    ::close(fd);
                    peers.erase(fd);
                }
                continue;
            }
            const auto size = static_cast<std::size_t>(n);
            std::fprintf(log, "rx %s %s\n", peer.name.c_str(), Escaped(buffer, size).c_str());
            std::string replies;
            for (const std::string& command : peer.reader.Feed({buffer, size})) {
                replies += sim.Answer(command);
            }
            WriteSome(fd, replies, peer.socket);
        }
    }
    for (const auto& entry : peers) {
        ::close(entry.first);
    }
    if (slave >= 0) {
        ::close(slave);
        ::unlink(options.ptyPath.c_str());
    }
    ::close(listener);
    std::fprintf(log, "matrixsim: stopped\n");
    return 0;
}
