// matrixsim out of descriptors: queued connections must not make it spin, and the clients it has
// keep being served.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/LinkTestSupport.h"
#include "support/SimProcess.h"

namespace {

using namespace std::chrono_literals;

// At rest the simulator holds standard input, output and error, its log, its signalfd and its
// listener: a limit of 7 leaves room for exactly one client.
constexpr int kDescriptorsAtRest = 6;
constexpr rlim_t kDescriptorLimit = 7;

// Seconds of CPU, user and system, the process has used so far.
double CpuSeconds(pid_t pid) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    // The command name may hold spaces; the fields after it do not. utime and stime are
    // fields 14 and 15, the 12th and 13th after the name.
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    std::string skip;
    for (int i = 0; i < 11; ++i) {
        fields >> skip;
    }
    long utime = 0;
    long stime = 0;
    fields >> utime >> stime;
    return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

std::size_t OpenDescriptors(pid_t pid) {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry :
         std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd")) {
        ++count;
    }
    return count;
}

// A plain loopback client. The connect completes in the kernel whether or not the simulator
// accepts, so a client past the limit waits in the listener's backlog.
class Client {
  public:
    explicit Client(std::uint16_t port) {
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(port);
        m_connected = ::connect(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~Client() { Close(); }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    bool Connected() const { return m_connected; }
    void Send(const std::string& bytes) {
        ASSERT_EQ(::send(m_fd, bytes.data(), bytes.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(bytes.size()));
    }
    // What arrives until `want` bytes are in or `limit` passes.
    std::string Read(std::size_t want, std::chrono::milliseconds limit) {
        std::string got;
        const auto end = std::chrono::steady_clock::now() + limit;
        while (got.size() < want) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                end - std::chrono::steady_clock::now());
            pollfd pfd{m_fd, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&pfd, 1, static_cast<int>(left.count())) <= 0) {
                break;
            }
            char buffer[256];
            const ssize_t n = ::recv(m_fd, buffer, sizeof buffer, 0);
            if (n <= 0) {
                break;
            }
            got.append(buffer, static_cast<std::size_t>(n));
        }
        return got;
    }
    void Close() {
        if (m_fd >= 0) {
            ::close(m_fd);
            m_fd = -1;
        }
    }

  private:
    int m_fd = -1;
    bool m_connected = false;
};

std::size_t CountOf(const std::string& text, const std::string& what) {
    std::size_t count = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++count;
    }
    return count;
}

std::size_t CountLines(const std::string& text) {
    return CountOf(text, "\n");
}

constexpr const char* kAcceptFailure = "cannot accept a connection: Too many open files";

}  // namespace

TEST(MatrixsimDescriptorTest, RestsItsListenerWhileOutOfDescriptorsAndServesWhomItHas) {
    ScopedSysDir dir;
    const std::string logPath = dir.Path() + "/matrixsim.log";
    SimProcess sim({"--port", "0", "--log", logPath}, kDescriptorLimit);
    const std::uint16_t port = sim.Port();
    ASSERT_NE(port, 0);
    ASSERT_EQ(OpenDescriptors(sim.Pid()), kDescriptorsAtRest)
        << "the limit assumes this many descriptors before the first client";

    Client first(port);
    ASSERT_TRUE(first.Connected());
    first.Send("1B2.");
    ASSERT_EQ(first.Read(9, 10s), "AV:1->2\r\n");

    // These fill the backlog; accept now fails with EMFILE and the listener stays readable.
    std::vector<std::unique_ptr<Client>> queued;
    for (int i = 0; i < 3; ++i) {
        queued.push_back(std::make_unique<Client>(port));
        ASSERT_TRUE(queued.back()->Connected());
    }
    queued[0]->Send("4V3.");
    EXPECT_TRUE(
        WaitUntil([&] { return FileText(logPath).find(kAcceptFailure) != std::string::npos; }, 5s))
        << FileText(logPath);

    const double cpuBefore = CpuSeconds(sim.Pid());
    const auto wallBefore = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(1500ms);
    const double cpu = CpuSeconds(sim.Pid()) - cpuBefore;
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - wallBefore).count();
    std::printf("matrixsim used %.3f s of CPU in %.3f s while out of descriptors\n", cpu, wall);
    EXPECT_LT(cpu, 0.3 * wall) << "the simulator spins on a listener it cannot accept from";

    const std::string burst = FileText(logPath);
    EXPECT_EQ(CountOf(burst, kAcceptFailure), 1u) << "one line for the whole run of failures";
    EXPECT_LT(CountLines(burst), 10u) << burst;

    // The connected client is still served, and the queued one is not yet.
    first.Send("3V5.");
    EXPECT_EQ(first.Read(8, 10s), "V:3->5\r\n");
    EXPECT_EQ(queued[0]->Read(1, 200ms), "");

    // A descriptor frees up: the first in the queue gets in and its waiting command is answered.
    first.Close();
    EXPECT_EQ(queued[0]->Read(8, 10s), "V:4->3\r\n");
    queued[0]->Send("2A1.");
    EXPECT_EQ(queued[0]->Read(8, 10s), "A:2->1\r\n");

    const std::string after = FileText(logPath);
    EXPECT_NE(after.find("accepting again after"), std::string::npos) << after;
    EXPECT_NE(after.find("tcp#2 connected"), std::string::npos) << after;
    EXPECT_LT(CountLines(after), 20u) << after;
}
