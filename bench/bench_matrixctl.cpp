// matrixctl as a script runs it: one call of `matrixctl --first route 3 5` against matrixsim on
// TCP, from the spawn to the exit, against the same exchange done in-process on a raw socket
// (the floor any command-line tool has to add its start-up to). The goal is under 50 ms a call.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

extern char** environ;

namespace {

[[noreturn]] void Die(const char* what) {
    std::fprintf(stderr, "bench_matrixctl: %s\n", what);
    std::abort();
}

pid_t Spawn(std::vector<std::string> args, int out) {
    std::vector<char*> argv;
    for (auto& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out, 1);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
        Die("spawn");
    }
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

// matrixsim on a free loopback port for the whole run.
class Simulator {
  public:
    Simulator() {
        int out[2];
        if (::pipe2(out, O_CLOEXEC) != 0) {
            Die("pipe");
        }
        m_pid = Spawn({MATRIXSIM_PATH, "--port", "0", "--log", "/dev/null"}, out[1]);
        ::close(out[1]);
        std::FILE* text = ::fdopen(out[0], "r");
        char line[256];
        while (m_port == 0 && std::fgets(line, sizeof line, text) != nullptr) {
            if (const char* at = std::strstr(line, "127.0.0.1:")) {
                m_port = static_cast<std::uint16_t>(std::atoi(at + 10));
            }
        }
        std::fclose(text);
        if (m_port == 0) {
            Die("matrixsim gave no port");
        }
    }
    ~Simulator() {
        ::kill(m_pid, SIGTERM);
        ::waitpid(m_pid, nullptr, 0);
    }
    std::uint16_t Port() const { return m_port; }

  private:
    pid_t m_pid = -1;
    std::uint16_t m_port = 0;
};

Simulator& Sim() {
    static Simulator sim;
    return sim;
}

void BM_MatrixctlFirstRoute(benchmark::State& state) {
    const std::string net = "127.0.0.1:" + std::to_string(Sim().Port());
    const int devNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    for (auto _ : state) {
        const pid_t pid =
            Spawn({MATRIXCTL_PATH, "--net", net, "--first", "route", "3", "5"}, devNull);
        int status = 0;
        ::waitpid(pid, &status, 0);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            Die("matrixctl failed");
        }
    }
    ::close(devNull);
}

void BM_RawSocketRoute(benchmark::State& state) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(Sim().Port());
    for (auto _ : state) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::send(fd, "3B5.", 4, MSG_NOSIGNAL) != 4) {
            Die("raw exchange");
        }
        char reply[64];
        std::size_t got = 0;
        for (long n = 0; got == 0 || reply[got - 1] != '\n'; got += static_cast<std::size_t>(n)) {
            n = ::recv(fd, reply + got, sizeof reply - got, 0);
            if (n <= 0) {
                Die("raw reply");
            }
        }
        ::close(fd);
    }
}

}  // namespace

BENCHMARK(BM_MatrixctlFirstRoute)->Unit(benchmark::kMillisecond)->Iterations(50);
BENCHMARK(BM_RawSocketRoute)->Unit(benchmark::kMillisecond)->Iterations(50);

BENCHMARK_MAIN();
