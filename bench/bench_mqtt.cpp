// matrixd's MQTT door as a site sees it: 20 daemons, each on its own loopback switcher, on one
// mosquitto broker that the bench starts on a free port. The bench plays the switchers and an
// MQTT client (libmosquitto), so what it times is the daemons and the broker:
//   - a route command published on "<base>/output/5/input/set" until "3B5." reaches that
//     daemon's switcher;
//   - the messages one route change brings to a subscriber of everything;
//   - the broker's traffic while the 20 daemons have nothing to say;
//   - the broker stopped and started again: how long until every daemon is back online with
//     its whole state, and whether everything the broker held before is there again.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <mosquitto.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "MatrixdRig.h"

namespace {

using namespace bench;
using namespace std::chrono_literals;

constexpr std::size_t kDaemons = 20;
constexpr int kSize = 8;  // inputs and outputs of each switcher

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

// ---- Every process the bench starts goes when it goes ---------------------------------------

// Kept where a fatal signal's handler can reach them: Die() aborts, and the broker and 20
// daemons must not outlive a failed run (nor keep its port taken).
constexpr int kMaxChildren = 64;
pid_t g_children[kMaxChildren];
char g_root[256];

void Track(pid_t pid) {
    for (pid_t& slot : g_children) {
        if (slot == 0) {
            slot = pid;
            return;
        }
    }
    Die("too many children");
}

void Untrack(pid_t pid) {
    for (pid_t& slot : g_children) {
        if (slot == pid) {
            slot = 0;
        }
    }
}

void OnFatal(int sig) {
    for (const pid_t pid : g_children) {
        if (pid > 0) {
            ::kill(pid, SIGKILL);
        }
    }
    for (const pid_t pid : g_children) {
        if (pid > 0) {
            ::waitpid(pid, nullptr, 0);
        }
    }
    if (g_root[0] != '\0') {
        std::error_code ignored;
        std::filesystem::remove_all(g_root, ignored);
    }
    ::signal(sig, SIG_DFL);
    ::raise(sig);
}

// The program with stdout and stderr appended to files. Children die with the bench even when
// it is killed, and inherit none of its sockets (an MQTT connection held open by a daemon would
// hide a disconnect from the broker).
pid_t Spawn(std::vector<std::string> args, const std::vector<std::string>& environment,
            const std::string& outPath, const std::string& errPath) {
    std::vector<char*> argv;
    for (std::string& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    std::vector<std::string> env = environment;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string text = *entry;
        const std::string key = text.substr(0, text.find('=') + 1);
        bool overridden = false;
        for (const std::string& own : environment) {
            overridden = overridden || own.rfind(key, 0) == 0;
        }
        if (!overridden) {
            env.push_back(text);
        }
    }
    std::vector<char*> envp;
    for (std::string& entry : env) {
        envp.push_back(entry.data());
    }
    envp.push_back(nullptr);
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) {
            ::_exit(127);
        }
        const int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        const int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        ::dup2(out, 1);
        ::dup2(err, 2);
        ::close_range(3, ~0U, 0);
        ::execve(argv[0], argv.data(), envp.data());
        ::_exit(127);
    }
    if (pid < 0) {
        Die("fork");
    }
    Track(pid);
    return pid;
}

int Reap(pid_t pid) {
    int status = 0;
    ::waitpid(pid, &status, 0);
    Untrack(pid);
    return status;
}

std::string ReadFile(const std::string& path) {
    std::ifstream file(path);
    return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

// ---- The broker -------------------------------------------------------------------------------

// mosquitto as a site runs it, except that it keeps nothing on disk: after a restart the
// retained topics are only what the daemons publish again.
struct Broker {
    std::string dir;
    std::uint16_t port = 0;
    pid_t pid = -1;

    void Start() {
        if (port == 0) {
            ::close(Listener(port));
            std::ofstream conf(dir + "/mosquitto.conf");
            conf << "listener " << port << " 127.0.0.1\nallow_anonymous true\n"
                 << "persistence false\nsys_interval 1\nlog_dest stderr\n";
            if (::geteuid() == 0) {
                conf << "user root\n";  // it would drop to a user that cannot read this dir
            }
        }
        pid = Spawn({"/usr/sbin/mosquitto", "-c", dir + "/mosquitto.conf"}, {}, "/dev/null",
                    dir + "/mosquitto.log");
        const auto limit = Clock::now() + 5s;
        while (!Accepting(port)) {
            if (Clock::now() > limit || ::waitpid(pid, nullptr, WNOHANG) == pid) {
                ::kill(pid, SIGKILL);
                Reap(pid);
                Die("mosquitto did not start");
            }
            std::this_thread::sleep_for(2ms);
        }
    }
    void Stop(int how) {
        if (pid > 0) {
            ::kill(pid, how);
            Reap(pid);
            pid = -1;
        }
    }
};

// ---- An MQTT client of the bench --------------------------------------------------------------

// Subscribes at QoS 0: a burst of a few thousand retained messages must reach the bench whole,
// not stop at the broker's queue limit for QoS 1. Everything received is kept with its time.
class MqttClient {
  public:
    struct Message {
        Clock::time_point at;
        std::string topic;
        std::string payload;
        bool retained = false;
    };

    MqttClient(std::uint16_t port, std::vector<std::string> filters)
        : m_filters(std::move(filters)) {
        m_session = mosquitto_new(nullptr, true, this);
        mosquitto_connect_callback_set(m_session, [](mosquitto* session, void* self, int rc) {
            if (rc == 0) {
                for (const std::string& filter : static_cast<MqttClient*>(self)->m_filters) {
                    mosquitto_subscribe(session, nullptr, filter.c_str(), 0);
                }
            }
        });
        mosquitto_subscribe_callback_set(m_session,
                                         [](mosquitto*, void* self, int, int, const int*) {
                                             auto* client = static_cast<MqttClient*>(self);
                                             const std::lock_guard lock(client->m_mutex);
                                             ++client->m_nSubscribed;
                                             client->m_changed.notify_all();
                                         });
        mosquitto_message_callback_set(
            m_session, [](mosquitto*, void* self, const mosquitto_message* message) {
                auto* client = static_cast<MqttClient*>(self);
                Message kept{Clock::now(), message->topic,
                             std::string(static_cast<const char*>(message->payload),
                                         static_cast<std::size_t>(message->payloadlen)),
                             message->retain};
                const std::lock_guard lock(client->m_mutex);
                client->m_log.push_back(std::move(kept));
                client->m_changed.notify_all();
            });
        // A long keep-alive: no pings of the bench's own while traffic is counted.
        if (mosquitto_connect(m_session, "127.0.0.1", port, 600) != MOSQ_ERR_SUCCESS ||
            mosquitto_loop_start(m_session) != MOSQ_ERR_SUCCESS) {
            Die("the bench's MQTT client cannot connect");
        }
        std::unique_lock lock(m_mutex);
        if (!m_changed.wait_for(lock, 5s, [&] { return m_nSubscribed == m_filters.size(); })) {
            Die("the broker did not confirm the bench's subscriptions");
        }
    }
    ~MqttClient() {
        mosquitto_disconnect(m_session);
        mosquitto_loop_stop(m_session, false);
        mosquitto_destroy(m_session);
    }
    MqttClient(const MqttClient&) = delete;
    MqttClient& operator=(const MqttClient&) = delete;

    void Publish(const std::string& topic, const std::string& payload) {
        if (mosquitto_publish(m_session, nullptr, topic.c_str(), static_cast<int>(payload.size()),
                              payload.data(), 1, false) != MOSQ_ERR_SUCCESS) {
            Die("publish");
        }
    }

    std::size_t Size() const {
        const std::lock_guard lock(m_mutex);
        return m_log.size();
    }
    std::vector<Message> Log(std::size_t from = 0) const {
        const std::lock_guard lock(m_mutex);
        return {m_log.begin() + static_cast<std::ptrdiff_t>(std::min(from, m_log.size())),
                m_log.end()};
    }

    // Feeds each message from `from` on to `take` (once each) until it says done.
    void WaitFor(std::size_t from, const std::function<bool(const Message&)>& take,
                 Clock::duration limit, const char* what) {
        std::unique_lock lock(m_mutex);
        std::size_t next = from;
        const bool done = m_changed.wait_for(lock, limit, [&] {
            for (; next < m_log.size(); ++next) {
                if (take(m_log[next])) {
                    return true;
                }
            }
            return false;
        });
        if (!done) {
            Die(what);
        }
    }

    // Returns once nothing has come for `quiet`.
    void WaitQuiet(Clock::duration quiet) {
        for (std::size_t size = Size();;) {
            std::this_thread::sleep_for(quiet);
            const std::size_t now = Size();
            if (now == size) {
                return;
            }
            size = now;
        }
    }

  private:
    mosquitto* m_session = nullptr;
    std::vector<std::string> m_filters;
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::size_t m_nSubscribed = 0;
    std::vector<Message> m_log;
};

// ---- The switchers ----------------------------------------------------------------------------

// One thread answers all 20 links as a switcher does: "Status." with every route, "StatusN."
// with one (matrixd's probe of an idle line), "IBO." with the route made. Route commands are
// kept with the time they arrived.
class Switchers {
  public:
    struct Arrival {
        std::size_t index;
        std::string command;
        Clock::time_point at;
    };

    explicit Switchers(std::size_t count) : m_all(count) {
        for (One& one : m_all) {
            one.listener = Listener(one.port);
            for (int k = 1; k <= kSize; ++k) {
                one.routes[static_cast<std::size_t>(k)] = k;
            }
        }
        if (::pipe2(m_wake, O_CLOEXEC) != 0) {
            Die("pipe");
        }
        m_thread = std::thread([this] { Serve(); });
    }
    ~Switchers() {
        ::write(m_wake[1], "x", 1);
        m_thread.join();
        for (One& one : m_all) {
            ::close(one.link);
            ::close(one.listener);
        }
        ::close(m_wake[0]);
        ::close(m_wake[1]);
    }
    Switchers(const Switchers&) = delete;
    Switchers& operator=(const Switchers&) = delete;

    std::uint16_t Port(std::size_t index) const { return m_all[index].port; }
    std::size_t Arrivals() const {
        const std::lock_guard lock(m_mutex);
        return m_arrivals.size();
    }

    // When `command` reached switcher `index`, counting arrivals from `from` on.
    Clock::time_point WaitCommand(std::size_t index, const std::string& command, std::size_t from) {
        std::unique_lock lock(m_mutex);
        Clock::time_point at;
        const bool came = m_arrived.wait_for(lock, 5s, [&] {
            for (; from < m_arrivals.size(); ++from) {
                if (m_arrivals[from].index == index && m_arrivals[from].command == command) {
                    at = m_arrivals[from].at;
                    return true;
                }
            }
            return false;
        });
        if (!came) {
            Die(("the switcher did not get " + command).c_str());
        }
        return at;
    }

  private:
    struct One {
        int listener = -1;
        int link = -1;
        std::uint16_t port = 0;
        std::string in;
        std::array<int, kSize + 1> routes{};  // output -> input, from 1
    };

    void Serve() {
        for (;;) {
            std::vector<pollfd> fds{{m_wake[0], POLLIN, 0}};
            for (const One& one : m_all) {
                fds.push_back({one.listener, POLLIN, 0});
                fds.push_back({one.link, POLLIN, 0});  // -1: ignored by poll
            }
            if (::poll(fds.data(), fds.size(), -1) < 0) {
                continue;
            }
            if (fds[0].revents != 0) {
                return;
            }
            for (std::size_t k = 0; k < m_all.size(); ++k) {
                One& one = m_all[k];
                if (fds[1 + 2 * k].revents != 0) {
                    // A daemon that connects again replaces its old link.
                    ::close(one.link);
                    one.link = ::accept4(one.listener, nullptr, nullptr, SOCK_CLOEXEC);
                    one.in.clear();
                }
                if (fds[2 + 2 * k].revents != 0 && fds[2 + 2 * k].fd == one.link) {
                    Read(k);
                }
            }
        }
    }

    void Read(std::size_t index) {
        One& one = m_all[index];
        char buffer[4096];
        const ssize_t n = ::recv(one.link, buffer, sizeof buffer, 0);
        const Clock::time_point at = Clock::now();
        if (n <= 0) {
            ::close(one.link);
            one.link = -1;
            return;
        }
        one.in.append(buffer, static_cast<std::size_t>(n));
        std::string reply;
        for (std::size_t dot; (dot = one.in.find('.')) != std::string::npos;) {
            std::string command = one.in.substr(0, dot);
            one.in.erase(0, dot + 1);
            command.erase(0, command.find_first_not_of(" \r\n"));
            const std::size_t b = command.find('B');
            const auto number = [](const std::string& text) {
                return !text.empty() && text.size() < 4 &&
                               text.find_first_not_of("0123456789") == std::string::npos
                           ? std::stoi(text)
                           : 0;
            };
            const auto line = [&](int output) {
                return "AV:" + std::to_string(one.routes[static_cast<std::size_t>(output)]) + "->" +
                       std::to_string(output) + "\r\n";
            };
            if (command == "Status") {
                for (int output = 1; output <= kSize; ++output) {
                    reply += line(output);
                }
            } else if (command.rfind("Status", 0) == 0) {
                const int output = number(command.substr(6));
                if (output >= 1 && output <= kSize) {
                    reply += line(output);
                }
            } else if (b != std::string::npos) {
                const int input = number(command.substr(0, b));
                const int output = number(command.substr(b + 1));
                if (input >= 1 && input <= kSize && output >= 1 && output <= kSize) {
                    {
                        const std::lock_guard lock(m_mutex);
                        m_arrivals.push_back({index, command + ".", at});
                    }
                    m_arrived.notify_all();
                    one.routes[static_cast<std::size_t>(output)] = input;
                    reply += line(output);
                }
            }
        }
        if (!reply.empty()) {
            ::send(one.link, reply.data(), reply.size(), MSG_NOSIGNAL);
        }
    }

    std::vector<One> m_all;
    int m_wake[2] = {-1, -1};
    std::thread m_thread;
    mutable std::mutex m_mutex;
    std::condition_variable m_arrived;
    std::vector<Arrival> m_arrivals;
};

// ---- The site: broker, switchers, daemons ------------------------------------------------------

struct Instance {
    pid_t pid = -1;
    std::string dir;
    std::string base;  // as the daemon printed it
    int route5 = 5;    // the input output 5 shows
};

bool IsStatusOnline(const MqttClient::Message& m, const std::string& base) {
    return m.topic == base + "/status" && m.payload == "online";
}

class Site {
  public:
    Site() : switchers(kDaemons) {
        char dir[] = "/tmp/mp-bench-mqtt-XXXXXX";
        if (::mkdtemp(dir) == nullptr) {
            Die("mkdtemp");
        }
        std::snprintf(g_root, sizeof g_root, "%s", dir);
        m_root = dir;
        broker.dir = m_root;
        broker.Start();
        Watch();
        for (std::size_t k = 0; k < kDaemons; ++k) {
            daemons.push_back(StartDaemon(k));
        }
        // Up once each daemon has its switcher's routes and said so.
        std::vector<bool> present(kDaemons, false);
        std::size_t count = 0;
        m_watcher->WaitFor(
            0,
            [&](const MqttClient::Message& m) {
                for (std::size_t k = 0; k < kDaemons; ++k) {
                    if (!present[k] && m.topic == daemons[k].base + "/switcher" &&
                        m.payload == "present") {
                        present[k] = true;
                        ++count;
                    }
                }
                return count == kDaemons;
            },
            20s, "the daemons did not all report their switcher present");
        m_watcher->WaitQuiet(500ms);
    }

    ~Site() {
        m_watcher.reset();
        for (const Instance& daemon : daemons) {
            ::kill(daemon.pid, SIGTERM);
        }
        std::size_t clean = 0;
        std::size_t leastConnects = ~std::size_t{0};
        std::size_t mostConnects = 0;
        for (const Instance& daemon : daemons) {
            const int status = Reap(daemon.pid);
            clean += WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 1 : 0;
            const std::string log = ReadFile(daemon.dir + "/matrixd.log");
            std::size_t connects = 0;
            for (std::size_t at = 0; (at = log.find("mqtt: connected", at)) != std::string::npos;
                 ++at) {
                ++connects;
            }
            leastConnects = std::min(leastConnects, connects);
            mostConnects = std::max(mostConnects, connects);
        }
        std::printf("matrixd: %zu of %zu stopped cleanly; broker connections per daemon %zu..%zu\n",
                    clean, daemons.size(), leastConnects, mostConnects);
        broker.Stop(SIGTERM);
        std::error_code ignored;
        std::filesystem::remove_all(m_root, ignored);
        g_root[0] = '\0';
    }
    Site(const Site&) = delete;
    Site& operator=(const Site&) = delete;

    // The bench's subscriber to everything the daemons publish; it also sends the commands.
    MqttClient& Watcher() {
        if (!m_watcher) {
            Watch();
            m_watcher->WaitQuiet(500ms);  // what the broker held
        }
        return *m_watcher;
    }
    // Gone while the broker's own counters are read, so as not to count its deliveries.
    void DropWatcher() { m_watcher.reset(); }

    // Every retained topic the broker holds for the daemons, once the site is at rest.
    const std::set<std::string>& RetainedTopics() {
        if (m_retained.empty()) {
            MqttClient snapshot(broker.port, {"matrixpanel/#", "homeassistant/#"});
            snapshot.WaitQuiet(500ms);
            for (const MqttClient::Message& m : snapshot.Log()) {
                if (m.retained && !m.payload.empty()) {
                    m_retained.insert(m.topic);
                }
            }
        }
        return m_retained;
    }

    void CheckAlive() {
        for (const Instance& daemon : daemons) {
            if (::waitpid(daemon.pid, nullptr, WNOHANG) == daemon.pid) {
                Untrack(daemon.pid);
                Die(("matrixd in " + daemon.dir + " ended").c_str());
            }
        }
    }

    Broker broker;
    Switchers switchers;
    std::vector<Instance> daemons;

  private:
    void Watch() {
        m_watcher = std::make_unique<MqttClient>(
            broker.port, std::vector<std::string>{"matrixpanel/#", "homeassistant/#"});
    }

    Instance StartDaemon(std::size_t k) {
        Instance daemon;
        daemon.dir = m_root + "/" + std::to_string(k);
        std::filesystem::create_directories(daemon.dir + "/sys");
        const std::string port = std::to_string(switchers.Port(k));
        const std::string size = std::to_string(kSize);
        const std::string brokerPort = std::to_string(broker.port);
        std::vector<std::string> args = {MATRIXD_PATH,
                                         "--net",
                                         "127.0.0.1:" + port,
                                         "--inputs",
                                         size,
                                         "--outputs",
                                         size,
                                         "--videohub-port",
                                         "0",
                                         "--raw-port",
                                         "0",
                                         "--web-port",
                                         "0",
                                         "--swp08-port",
                                         "off",
                                         "--no-advertise",
                                         "--labels",
                                         daemon.dir + "/labels.ini",
                                         "--name",
                                         "bench " + std::to_string(k),
                                         "--mqtt",
                                         "mqtt://127.0.0.1:" + brokerPort};
        daemon.pid = Spawn(std::move(args), {"MATRIXPANEL_SYSDIR=" + daemon.dir + "/sys"},
                           daemon.dir + "/stdout", daemon.dir + "/matrixd.log");
        // The base topic is the last line it prints at start.
        const auto limit = Clock::now() + 10s;
        for (;;) {
            const std::string out = ReadFile(daemon.dir + "/stdout");
            const std::size_t at = out.find("mqtt ");
            if (at != std::string::npos && out.find('\n', at) != std::string::npos) {
                daemon.base = out.substr(at + 5, out.find('\n', at) - at - 5);
                return daemon;
            }
            if (Clock::now() > limit || ::waitpid(daemon.pid, nullptr, WNOHANG) == daemon.pid) {
                Die("matrixd printed no base topic");
            }
            std::this_thread::sleep_for(5ms);
        }
    }

    std::string m_root;
    std::unique_ptr<MqttClient> m_watcher;
    std::set<std::string> m_retained;
};

std::unique_ptr<Site> g_site;

Site& TheSite() {
    if (!g_site) {
        g_site = std::make_unique<Site>();
    }
    g_site->CheckAlive();
    return *g_site;
}

bool IsOwnCommand(const MqttClient::Message& m) {
    return m.topic.size() > 4 && m.topic.compare(m.topic.size() - 4, 4, "/set") == 0;
}

// ---- A route command until the switcher has it ------------------------------------------------

void BM_RouteCommandToSwitcher(benchmark::State& state) {
    Site& site = TheSite();
    MqttClient& watcher = site.Watcher();
    std::vector<double> samples;
    std::size_t turn = 0;
    for (auto _ : state) {
        const std::size_t index = turn++ % site.daemons.size();
        Instance& daemon = site.daemons[index];
        const int input = daemon.route5 == 3 ? 4 : 3;  // never the route it has
        const std::size_t seen = watcher.Size();
        const std::size_t arrived = site.switchers.Arrivals();
        const auto start = Clock::now();
        watcher.Publish(daemon.base + "/output/5/input/set", std::to_string(input));
        const auto end = site.switchers.WaitCommand(index, std::to_string(input) + "B5.", arrived);
        state.SetIterationTime(std::chrono::duration<double>(end - start).count());
        samples.push_back(std::chrono::duration<double, std::micro>(end - start).count());
        daemon.route5 = input;
        // Outside the time measured: the switcher's answer, published, so that each command
        // finds the daemon at rest.
        watcher.WaitFor(
            seen, [&](const MqttClient::Message& m) { return m.topic == daemon.base + "/state"; },
            5s, "no state after a route");
    }
    SetPercentiles(state, samples, "", "us");
    state.counters["daemons"] = static_cast<double>(site.daemons.size());
}

// ---- What one route change publishes ----------------------------------------------------------

void BM_MessagesPerRouteChange(benchmark::State& state) {
    Site& site = TheSite();
    MqttClient& watcher = site.Watcher();
    watcher.WaitQuiet(300ms);
    std::vector<double> counts;
    std::vector<double> bytes;
    std::string topics;
    std::size_t turn = 0;
    for (auto _ : state) {
        Instance& daemon = site.daemons[turn++ % site.daemons.size()];
        const int input = daemon.route5 == 3 ? 4 : 3;
        const std::size_t seen = watcher.Size();
        watcher.Publish(daemon.base + "/output/5/input/set", std::to_string(input));
        daemon.route5 = input;
        std::this_thread::sleep_for(300ms);  // the change and everything it brings
        double count = 0;
        double size = 0;
        std::string names;
        for (const MqttClient::Message& m : watcher.Log(seen)) {
            if (IsOwnCommand(m)) {
                continue;
            }
            ++count;
            size += static_cast<double>(m.topic.size() + m.payload.size());
            names += (names.empty() ? "" : " ") + (m.topic.rfind(daemon.base + "/", 0) == 0
                                                       ? m.topic.substr(daemon.base.size() + 1)
                                                       : m.topic);
        }
        counts.push_back(count);
        bytes.push_back(size);
        if (topics.empty()) {
            topics = names;
        }
    }
    state.counters["messages_median"] = Percentile(counts, 0.5);
    state.counters["messages_max"] = Percentile(counts, 1.0);
    state.counters["topic_payload_bytes_median"] = Percentile(bytes, 0.5);
    state.SetLabel(topics);
}

// ---- The broker's traffic while nothing happens ----------------------------------------------

// A QoS 0 PUBLISH as it leaves the broker (MQTT 3.1.1: no properties).
double WireBytes(const MqttClient::Message& m) {
    const std::size_t rest = 2 + m.topic.size() + m.payload.size();
    std::size_t length = 1;
    for (std::size_t left = rest; left >= 128; left /= 128) {
        ++length;
    }
    return static_cast<double>(1 + length + rest);
}

void BM_BrokerTrafficAtRest(benchmark::State& state) {
    Site& site = TheSite();
    site.DropWatcher();
    const std::string bytesIn = "$SYS/broker/bytes/received";
    const std::string bytesOut = "$SYS/broker/bytes/sent";
    const std::string publishIn = "$SYS/broker/publish/messages/received";
    const std::string publishOut = "$SYS/broker/publish/messages/sent";
    const std::string packetsIn = "$SYS/broker/messages/received";
    const std::string packetsOut = "$SYS/broker/messages/sent";
    MqttClient sys(site.broker.port,
                   {bytesIn, bytesOut, publishIn, publishOut, packetsIn, packetsOut});
    std::this_thread::sleep_for(1500ms);
    const auto from = Clock::now();
    std::vector<double> cpuBefore;
    for (const Instance& daemon : site.daemons) {
        cpuBefore.push_back(ProcessCpuMs(daemon.pid));
    }
    for (auto _ : state) {
        std::this_thread::sleep_for(std::chrono::seconds(state.range(0)));
    }
    double cpuMs = 0;
    for (std::size_t k = 0; k < site.daemons.size(); ++k) {
        cpuMs += ProcessCpuMs(site.daemons[k].pid) - cpuBefore[k];
    }
    const double wallS = std::chrono::duration<double>(Clock::now() - from).count();
    std::this_thread::sleep_for(1200ms);  // the next report of the counters
    const std::vector<MqttClient::Message> log = sys.Log();

    // mosquitto sends its $SYS topics one by one, each counted as it goes out before the next
    // is worked out: the bench's share of a "sent" counter between two of its reports is what
    // the bench received from the first report on, up to the second.
    std::size_t first = log.size();
    std::size_t last = 0;
    for (std::size_t k = 0; k < log.size(); ++k) {
        if (log[k].topic == bytesOut && log[k].at >= from) {
            first = std::min(first, k);
            last = k;
        }
    }
    if (first >= last) {
        Die("mosquitto reported no traffic counts");
    }
    const double seconds = std::chrono::duration<double>(log[last].at - log[first].at).count();
    const auto change = [&](const std::string& topic, bool sent, bool inBytes) {
        std::size_t a = 0;
        std::size_t b = 0;
        for (std::size_t k = 0; k <= last; ++k) {
            if (log[k].topic == topic) {
                (k <= first ? a : b) = k;
            }
        }
        if (b == 0) {
            b = a;  // unchanged all along
        }
        double delta = std::stod(log[b].payload) - std::stod(log[a].payload);
        if (sent) {
            for (std::size_t k = a; k < b; ++k) {
                delta -= inBytes ? WireBytes(log[k]) : 1.0;
            }
        }
        return delta / seconds;
    };
    state.counters["window_s"] = seconds;
    state.counters["in_bytes_per_s"] = change(bytesIn, false, true);
    state.counters["out_bytes_per_s"] = change(bytesOut, true, true);
    state.counters["in_publish_per_s"] = change(publishIn, false, false);
    state.counters["out_publish_per_s"] = change(publishOut, true, false);
    state.counters["in_packets_per_s"] = change(packetsIn, false, false);
    state.counters["out_packets_per_s"] = change(packetsOut, true, false);
    state.counters["daemons_cpu_ms_per_s"] = cpuMs / wallS;
}

// ---- The broker stopped and started again -----------------------------------------------------

void BM_BrokerRestart(benchmark::State& state) {
    const int stopSignal = static_cast<int>(state.range(0));
    const auto down = std::chrono::milliseconds(state.range(1));
    Site& site = TheSite();
    const std::set<std::string>& retained = site.RetainedTopics();
    site.DropWatcher();
    double fromStopMs = 0;
    double fromStartMs = 0;
    double firstMs = 0;
    double allTopicsMs = 0;
    double missing = 0;
    for (auto _ : state) {
        const auto stopped = Clock::now();
        site.broker.Stop(stopSignal);
        std::this_thread::sleep_for(down);
        site.broker.Start();
        const auto started = Clock::now();
        MqttClient watcher(site.broker.port, {"matrixpanel/#", "homeassistant/#"});
        // Back: "online" and the whole state, from every daemon.
        std::vector<int> back(site.daemons.size(), 0);  // bit 1 online, bit 2 state
        std::size_t complete = 0;
        Clock::time_point first;
        Clock::time_point last;
        watcher.WaitFor(
            0,
            [&](const MqttClient::Message& m) {
                for (std::size_t k = 0; k < site.daemons.size(); ++k) {
                    const int before = back[k];
                    back[k] |= IsStatusOnline(m, site.daemons[k].base) ? 1 : 0;
                    back[k] |= m.topic == site.daemons[k].base + "/state" ? 2 : 0;
                    if (before != 3 && back[k] == 3) {
                        last = m.at;
                        if (complete++ == 0) {
                            first = m.at;
                        }
                    }
                }
                return complete == site.daemons.size();
            },
            60s, "the daemons did not all come back after the broker's restart");
        // And everything else the broker held before.
        std::set<std::string> left = retained;
        Clock::time_point allBack = Clock::now();
        const auto limit = Clock::now() + 5s;
        std::size_t next = 0;
        while (!left.empty() && Clock::now() < limit) {
            std::this_thread::sleep_for(20ms);
            for (const MqttClient::Message& m : watcher.Log(next)) {
                ++next;
                if (left.erase(m.topic) != 0 && left.empty()) {
                    allBack = m.at;
                }
            }
        }
        for (const std::string& topic : left) {
            std::fprintf(stderr, "not back after the restart: %s\n", topic.c_str());
        }
        state.SetIterationTime(std::chrono::duration<double>(last - started).count());
        fromStopMs = Ms(last - stopped);
        fromStartMs = Ms(last - started);
        firstMs = Ms(first - started);
        allTopicsMs = left.empty() ? Ms(allBack - started) : -1;
        missing = static_cast<double>(left.size());
    }
    state.counters["last_back_from_stop_ms"] = fromStopMs;
    state.counters["last_back_from_start_ms"] = fromStartMs;
    state.counters["first_back_from_start_ms"] = firstMs;
    state.counters["all_topics_from_start_ms"] = allTopicsMs;
    state.counters["topics_expected"] = static_cast<double>(retained.size());
    state.counters["topics_missing"] = missing;
    state.SetLabel(std::string(stopSignal == SIGKILL ? "SIGKILL" : "SIGTERM") + ", down " +
                   std::to_string(down.count()) + " ms");
}

BENCHMARK(BM_RouteCommandToSwitcher)->Iterations(400)->UseManualTime();
BENCHMARK(BM_MessagesPerRouteChange)->Iterations(20);
BENCHMARK(BM_BrokerTrafficAtRest)->Arg(30)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BrokerRestart)
    ->ArgNames({"signal", "down_ms"})
    ->Args({SIGTERM, 0})
    ->Args({SIGKILL, 0})
    ->Args({SIGKILL, 5000})
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    ::signal(SIGPIPE, SIG_IGN);
    for (const int fatal : {SIGABRT, SIGINT, SIGTERM, SIGSEGV}) {
        ::signal(fatal, OnFatal);
    }
    mosquitto_lib_init();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    g_site.reset();
    mosquitto_lib_cleanup();
    return 0;
}
