#include "hub/DaemonOptions.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <optional>
#include <string_view>
#include <utility>

#include "link/LineSettings.h"
#include "platform/ComPorts.h"
#include "platform/PlainText.h"

const char* const kDaemonUsage =
    "Usage: matrixd (--serial COMn|PATH [--baud RATE] | --net HOST:PORT) --inputs N --outputs M\n"
    "               [--listen ADDR] [--videohub-port P] [--raw-port P] [--swp08-port P]\n"
    "               [--swp08-serial DEVICE [--swp08-baud RATE]] [--allow ADDR[/BITS]]...\n"
    "               [--labels FILE] [--name TEXT] [--route-kind av|video] [--no-echo]\n"
    "               [--reply-wait MS] [--gap MS] [--allow-line-settings]\n"
    "               [--router-absent tell|close]\n"
    "               [--web-port P] [--web-password-file FILE] [--web-host NAME]...\n"
    "               [--site URL]...\n"
    "               [--mqtt URL [--mqtt-ca FILE] [--mqtt-user NAME] [--mqtt-password-file FILE]\n"
    "                [--mqtt-base TOPIC] [--ha-prefix TOPIC] [--no-ha-discovery]\n"
    "                [--ha-audio]]\n"
    "               [--config FILE] [--no-advertise]\n"
    "       matrixd --hash-password < PASSWORD > FILE\n"
    "Owns the one link to a matrix switcher and serves any number of controllers at once: the\n"
    "router control protocol (TCP 9990) for control surfaces and router software, and a raw\n"
    "port that passes whole commands through for the panel, matrixctl and scripts.\n"
    "\n"
    "Switcher:\n"
    "  --serial COMn|PATH   COM1..COM5 as the panel maps them, or a device path; opened\n"
    "                       exclusively, 8 data bits, no parity, one stop bit\n"
    "  --baud RATE          serial rate, default 9600; one of 110, 300, 600, 1200, 2400,\n"
    "                       4800, 9600, 14400, 19200, 38400, 56000, 57600, 115200, 128000,\n"
    "                       256000\n"
    "  --net HOST:PORT      a network-to-serial module (or matrixsim)\n"
    "  --inputs N           inputs of the switcher, 1..1024\n"
    "  --outputs M          outputs of the switcher, 1..1024\n"
    "Clients:\n"
    "  --listen ADDR        address to listen on, default 127.0.0.1 (0.0.0.0 for the LAN)\n"
    "  --videohub-port P    router protocol port, default 9990; 0 picks a free one, \"off\"\n"
    "                       turns this front end off\n"
    "  --raw-port P         raw command port, default 9991; 0 and \"off\" as above\n"
    "  --swp08-port P       SW-P-08 port for broadcast control systems, default 8910; 0 and\n"
    "                       \"off\" as above\n"
    "  --swp08-serial DEVICE  a broadcast control system on a serial line as well (RS-422\n"
    "                       adapter), 8 data bits, no parity, one stop bit\n"
    "  --swp08-baud RATE    its rate, default 38400; one of the --baud rates\n"
    "  --allow ADDR[/BITS]  serve only clients from this address or network (repeatable);\n"
    "                       without it every client the listen address reaches is served\n"
    "  --web-port P         web panel and JSON API, default 9980; 0 and \"off\" as above\n"
    "  --web-password-file FILE  the web panel's password hash (from --hash-password);\n"
    "                       needed when listening beyond loopback\n"
    "  --web-host NAME      another name the web panel is reached by (a DNS alias, a proxy's\n"
    "                       name; repeatable): beside these only this machine's host name\n"
    "                       (also in .local), localhost and its addresses are served\n"
    "  --site URL           another switcher's web panel, for the panel's menu (repeatable)\n"
    "  --hash-password      read a password on standard input, print its hash, stop\n"
    "MQTT:\n"
    "  --mqtt URL           publish the switcher on a broker and take commands from it:\n"
    "                       mqtt://HOST[:PORT] (1883) or mqtts://HOST[:PORT] (8883)\n"
    "  --mqtt-ca FILE       certificates that sign an mqtts broker's (default: the system's)\n"
    "  --mqtt-user NAME     user name at the broker\n"
    "  --mqtt-password-file FILE  the broker password, on the file's first line\n"
    "  --mqtt-base TOPIC    topic of this switcher, default matrixpanel/<name>, from --name,\n"
    "                       else matrixpanel/<Unique ID>\n"
    "  --ha-prefix TOPIC    Home Assistant's discovery prefix, default homeassistant\n"
    "  --no-ha-discovery    announce no Home Assistant entities\n"
    "  --ha-audio           a second picker per output, for its audio alone\n"
    "Router:\n"
    "  --labels FILE        labels file, default matrixpanel-labels.ini in the settings\n"
    "                       directory (the panel's); changes from clients are written to it\n"
    "  --name TEXT          friendly name, default \"matrixd <N>x<M>\"\n"
    "  --route-kind av|video  a route request switches audio and video (3B5., the default)\n"
    "                       or video only (3V5.)\n"
    "  --no-echo            the switcher answers nothing: a sent route counts as done at once\n"
    "  --reply-wait MS      commands go one at a time, the next once the previous one is\n"
    "                       answered or after MS milliseconds (10..60000, default 300)\n"
    "  --gap MS             a pause after each command for slow switchers (default 0)\n"
    "  --allow-line-settings  raw clients may change the serial line (AT + C1_BAUD = ...)\n"
    "                       until the link is opened again, and lock the switcher (/%Lock;);\n"
    "                       refused by default\n"
    "  --router-absent tell|close  while the switcher is absent, router clients are told\n"
    "                       \"Device present: false\" (tell, the default) or are disconnected\n"
    "                       and new ones refused (close), for surfaces that ignore it\n"
    "  --no-advertise       do not announce the router port with Avahi\n"
    "  --config FILE        the same options as \"key = value\" lines (serial = COM1,\n"
    "                       allow = 192.168.1.0/24, no-echo = true); the command line wins\n"
    "  -h, --help           show this text\n"
    "  --version            show the version\n"
    "\n"
    "The bound ports are printed on standard output at start (\"videohub 127.0.0.1:9990\",\n"
    "\"raw 127.0.0.1:9991\", \"swp08 127.0.0.1:8910\", \"web 127.0.0.1:9980\"), then the MQTT\n"
    "base topic (\"mqtt matrixpanel/stage\"). Exit codes: 0 stopped by SIGINT or SIGTERM,\n"
    "1 could not start, 2 usage error.\n";

namespace {

constexpr std::size_t kMaxConfigBytes = 64 * 1024;

enum class Kind { Value, Flag };

struct Known {
    const char* name;
    Kind kind;
};

constexpr Known kKnown[] = {
    {"serial", Kind::Value},
    {"baud", Kind::Value},
    {"net", Kind::Value},
    {"inputs", Kind::Value},
    {"outputs", Kind::Value},
    {"listen", Kind::Value},
    {"videohub-port", Kind::Value},
    {"raw-port", Kind::Value},
    {"swp08-port", Kind::Value},
    {"swp08-serial", Kind::Value},
    {"swp08-baud", Kind::Value},
    {"allow", Kind::Value},
    {"labels", Kind::Value},
    {"name", Kind::Value},
    {"route-kind", Kind::Value},
    {"router-absent", Kind::Value},
    {"no-echo", Kind::Flag},
    {"no-advertise", Kind::Flag},
    {"config", Kind::Value},
    {"reply-wait", Kind::Value},
    {"gap", Kind::Value},
    {"allow-line-settings", Kind::Flag},
    {"web-port", Kind::Value},
    {"web-password-file", Kind::Value},
    {"site", Kind::Value},
    {"mqtt", Kind::Value},
    {"mqtt-ca", Kind::Value},
    {"mqtt-user", Kind::Value},
    {"mqtt-password-file", Kind::Value},
    {"mqtt-base", Kind::Value},
    {"ha-prefix", Kind::Value},
    {"no-ha-discovery", Kind::Flag},
    {"ha-audio", Kind::Flag},
    {"web-host", Kind::Value},
};

const Known* Find(std::string_view name) {
    for (const Known& known : kKnown) {
        if (name == known.name) {
            return &known;
        }
    }
    return nullptr;
}

// One setting and where it came from ("--inputs" or "FILE:3: inputs"), for messages.
struct Setting {
    std::string key;
    std::string value;
    std::string where;
};

int Number(const Setting& s, int low, int high) {
    if (const std::optional<int> value = ReadDecimal(s.value, low, high)) {
        return *value;
    }
    throw UsageError("bad " + s.where + " " + Quoted(s.value) + " (expected " +
                     std::to_string(low) + ".." + std::to_string(high) + ")");
}

bool IsAddress(const std::string& text, int* maxBits) {
    unsigned char buffer[16];
    if (::inet_pton(AF_INET, text.c_str(), buffer) == 1) {
        *maxBits = 32;
        return true;
    }
    if (::inet_pton(AF_INET6, text.c_str(), buffer) == 1) {
        *maxBits = 128;
        return true;
    }
    return false;
}

AllowedNet Allowed(const Setting& s) {
    const std::size_t slash = s.value.find('/');
    AllowedNet net{s.value.substr(0, slash), 0};
    int maxBits = 0;
    if (!IsAddress(net.address, &maxBits)) {
        throw UsageError("bad " + s.where + " " + Quoted(s.value) +
                         " (expected an IPv4 or IPv6 address, optionally /BITS)");
    }
    net.bits = maxBits;
    if (slash != std::string::npos) {
        net.bits = Number(Setting{s.key, s.value.substr(slash + 1), s.where + " bits"}, 0, maxBits);
    }
    return net;
}

// A host name (letters, digits, '-' and '.') or an address, as a browser puts it in Host.
std::string WebHost(const Setting& s) {
    int maxBits = 0;
    const bool name = !s.value.empty() && s.value.size() <= 253 && s.value.front() != '.' &&
                      s.value.find("..") == std::string::npos &&
                      std::all_of(s.value.begin(), s.value.end(), [](char c) {
                          return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                                 (c >= '0' && c <= '9') || c == '-' || c == '.';
                      });
    if (!name && !IsAddress(s.value, &maxBits)) {
        throw UsageError("bad " + s.where + " " + Quoted(s.value) +
                         " (expected a host name or address, without a port)");
    }
    return s.value.back() == '.' ? s.value.substr(0, s.value.size() - 1) : s.value;
}

bool FlagValue(const Setting& s) {
    for (const char* yes : {"", "true", "yes", "on", "1"}) {
        if (s.value == yes) {
            return true;
        }
    }
    for (const char* no : {"false", "no", "off", "0"}) {
        if (s.value == no) {
            return false;
        }
    }
    throw UsageError("bad " + s.where + " " + Quoted(s.value) + " (expected true or false)");
}

// The file is read once and only when it is a regular file (a FIFO would never end).
std::string ReadConfigText(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        throw UsageError("cannot read the configuration file " + Quoted(path) + ": " +
                         std::strerror(errno));
    }
    struct stat st {};
    std::string text;
    bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    char buffer[4096];
    while (ok) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            ok = n == 0;
            break;
        }
        text.append(buffer, static_cast<std::size_t>(n));
        if (text.size() > kMaxConfigBytes) {
            ::close(fd);
            throw UsageError("the configuration file " + Quoted(path) + " is over 64 KiB");
        }
    }
    ::close(fd);
    if (!ok) {
        throw UsageError("the configuration file " + Quoted(path) + " is not a readable file");
    }
    return text;
}

std::vector<Setting> ReadConfig(const std::string& path) {
    const std::string text = ReadConfigText(path);
    std::vector<Setting> settings;
    std::size_t start = 0;
    for (int number = 1; start < text.size(); ++number) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        const std::string_view line = Trim(std::string_view(text).substr(start, end - start));
        start = end + 1;
        if (line.empty() || line.front() == '#' || line.front() == ';') {
            continue;
        }
        const std::string where = path + ":" + std::to_string(number) + ":";
        const std::size_t equals = line.find('=');
        const std::string key(Trim(line.substr(0, equals)));
        const Known* known = Find(key);
        if (known == nullptr || key == "config") {
            throw UsageError(where + " unknown option " + Quoted(key));
        }
        std::string value;
        if (equals != std::string_view::npos) {
            value = Trim(line.substr(equals + 1));
        } else if (known->kind == Kind::Value) {
            throw UsageError(where + " " + key + " needs \"= value\"");
        }
        settings.push_back(Setting{key, value, where + " " + key});
    }
    return settings;
}

std::vector<Setting> ReadArguments(const std::vector<std::string>& args, DaemonOptions& options) {
    std::vector<Setting> settings;
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string arg = args[i];
        if (arg == "-h" || arg == "--help") {
            options.help = true;
            continue;
        }
        if (arg == "--version") {
            options.version = true;
            continue;
        }
        if (arg == "--hash-password") {
            options.hashPassword = true;
            continue;
        }
        if (arg.size() < 3 || arg.compare(0, 2, "--") != 0) {
            throw UsageError("unexpected argument " + Quoted(arg));
        }
        std::string value;
        const std::size_t equals = arg.find('=');
        const bool inlineValue = equals != std::string::npos;
        if (inlineValue) {
            value = arg.substr(equals + 1);
            arg.resize(equals);
        }
        const Known* known = Find(std::string_view(arg).substr(2));
        if (known == nullptr) {
            throw UsageError("unknown option " + Quoted(args[i]));
        }
        if (known->kind == Kind::Value && !inlineValue) {
            if (i + 1 >= args.size()) {
                throw UsageError("option " + arg + " needs a value");
            }
            value = args[++i];
        } else if (known->kind == Kind::Flag && inlineValue) {
            throw UsageError("option " + arg + " takes no value");
        }
        settings.push_back(Setting{arg.substr(2), value, arg});
    }
    return settings;
}

// mqtt://host[:port] or mqtts://host[:port]; an IPv6 address in brackets.
void ApplyMqttUrl(const Setting& s, DaemonOptions& options) {
    const bool tls = s.value.rfind("mqtts://", 0) == 0;
    if (!tls && s.value.rfind("mqtt://", 0) != 0) {
        throw UsageError("bad " + s.where + " " + Quoted(s.value) +
                         " (expected mqtt://HOST[:PORT] or mqtts://HOST[:PORT])");
    }
    std::string rest = s.value.substr(tls ? 8 : 7);
    if (!rest.empty() && rest.back() == '/') {
        rest.pop_back();
    }
    std::string host = rest;
    std::string port = tls ? "8883" : "1883";
    const std::size_t close = rest.rfind(']');
    const std::size_t colon = rest.rfind(':');
    if (!rest.empty() && rest.front() == '[' && close != std::string::npos) {
        host = rest.substr(1, close - 1);
        if (close + 1 < rest.size()) {
            if (rest[close + 1] != ':') {
                host.clear();
            }
            port = rest.substr(close + 2);
        }
    } else if (colon != std::string::npos) {
        host = rest.substr(0, colon);
        port = rest.substr(colon + 1);
    }
    if (host.empty() || host.find_first_of("/@[] ") != std::string::npos) {
        throw UsageError("bad " + s.where + " " + Quoted(s.value) +
                         " (expected mqtt://HOST[:PORT] or mqtts://HOST[:PORT])");
    }
    options.mqttHost = host;
    options.mqttTls = tls;
    options.mqttPort =
        static_cast<std::uint16_t>(Number(Setting{s.key, port, s.where + " port"}, 1, 65535));
}

bool IsTopicPrefix(const std::string& topic) {
    return !topic.empty() && topic.size() <= 200 && topic.front() != '/' && topic.back() != '/' &&
           topic.find_first_of("+#") == std::string::npos &&
           std::none_of(topic.begin(), topic.end(),
                        [](char c) { return static_cast<unsigned char>(c) < 0x20; });
}

void Apply(const Setting& s, DaemonOptions& options, bool& baudGiven) {
    const std::string& key = s.key;
    if (key == "serial") {
        if (s.value.empty()) {
            throw UsageError(s.where + " needs a port");
        }
        // ComPortNumber's rule, the one matrixctl follows too.
        if (IsBadComPortName(s.value)) {
            throw UsageError("bad " + s.where + " " + Quoted(s.value) + " " +
                             BadComPortNameHint(s.value));
        }
        options.link = DaemonOptions::Link::Serial;
        options.serial = s.value;
    } else if (key == "net") {
        const std::size_t colon = s.value.rfind(':');
        if (colon == std::string::npos || colon == 0) {
            throw UsageError("bad " + s.where + " " + Quoted(s.value) + " (expected HOST:PORT)");
        }
        options.link = DaemonOptions::Link::Network;
        options.host = s.value.substr(0, colon);
        options.netPort = static_cast<std::uint16_t>(
            Number(Setting{key, s.value.substr(colon + 1), s.where + " port"}, 1, 65535));
    } else if (key == "swp08-serial") {
        if (s.value.empty()) {
            throw UsageError(s.where + " needs a device");
        }
        options.swp08Serial = s.value;
    } else if (key == "swp08-baud") {
        const int position = BaudPosition(s.value);
        if (position < 0) {
            throw UsageError("bad " + s.where + " " + Quoted(s.value) +
                             " (see --help for the rates)");
        }
        options.swp08Baud = kBaudSettings[static_cast<std::size_t>(position)].rate;
    } else if (key == "baud") {
        const int position = BaudPosition(s.value);
        if (position < 0) {
            throw UsageError("bad " + s.where + " " + Quoted(s.value) +
                             " (see --help for the rates)");
        }
        options.baud = kBaudSettings[static_cast<std::size_t>(position)].rate;
        baudGiven = true;
    } else if (key == "inputs" || key == "outputs") {
        (key == "inputs" ? options.inputs : options.outputs) = Number(s, 1, 1024);
    } else if (key == "listen") {
        int maxBits = 0;
        if (!IsAddress(s.value, &maxBits)) {
            throw UsageError("bad " + s.where + " " + Quoted(s.value) +
                             " (expected an IPv4 or IPv6 address)");
        }
        options.listen = s.value;
    } else if (key == "videohub-port" || key == "raw-port" || key == "web-port" ||
               key == "swp08-port") {
        bool& on = key == "raw-port"     ? options.rawOn
                   : key == "web-port"   ? options.webOn
                   : key == "swp08-port" ? options.swp08On
                                         : options.videohubOn;
        std::uint16_t& port = key == "raw-port"     ? options.rawPort
                              : key == "web-port"   ? options.webPort
                              : key == "swp08-port" ? options.swp08Port
                                                    : options.videohubPort;
        on = s.value != "off";
        if (on) {
            port = static_cast<std::uint16_t>(Number(s, 0, 65535));
        }
    } else if (key == "web-password-file") {
        if (s.value.empty()) {
            throw UsageError(s.where + " needs a file");
        }
        options.webPasswordFile = s.value;
    } else if (key == "site") {
        if (s.value.rfind("http://", 0) != 0 && s.value.rfind("https://", 0) != 0) {
            throw UsageError("bad " + s.where + " " + Quoted(s.value) +
                             " (expected http://HOST:PORT/)");
        }
        options.sites.push_back(s.value);
    } else if (key == "web-host") {
        options.webHosts.push_back(WebHost(s));

    } else if (key == "mqtt") {
        ApplyMqttUrl(s, options);
    } else if (key == "mqtt-ca" || key == "mqtt-password-file") {
        if (s.value.empty()) {
            throw UsageError(s.where + " needs a file");
        }
        (key == "mqtt-ca" ? options.mqttCaFile : options.mqttPasswordFile) = s.value;
    } else if (key == "mqtt-user") {
        options.mqttUser = s.value;
    } else if (key == "mqtt-base" || key == "ha-prefix") {
        if (!IsTopicPrefix(s.value)) {
            throw UsageError("bad " + s.where + " " + Quoted(s.value) +
                             " (expected a topic without +, #, or a / at either end)");
        }
        (key == "mqtt-base" ? options.mqttBase : options.haPrefix) = s.value;
    } else if (key == "no-ha-discovery") {
        options.haDiscovery = !FlagValue(s);
    } else if (key == "ha-audio") {
        options.haAudio = FlagValue(s);
    } else if (key == "allow") {
        options.allow.push_back(Allowed(s));
    } else if (key == "labels") {
        if (s.value.empty()) {
            throw UsageError(s.where + " needs a file");
        }
        options.labelsPath = s.value;
    } else if (key == "name") {
        if (s.value.empty() || s.value.size() > 64 ||
            s.value.find_first_of("\r\n") != std::string::npos) {
            throw UsageError("bad " + s.where + " (expected 1..64 bytes on one line)");
        }
        options.name = s.value;
    } else if (key == "route-kind") {
        if (s.value != "av" && s.value != "video") {
            throw UsageError("bad " + s.where + " " + Quoted(s.value) + " (expected av or video)");
        }
        options.routeKind = s.value == "av" ? 'B' : 'V';
    } else if (key == "router-absent") {
        if (s.value != "tell" && s.value != "close") {
            throw UsageError("bad " + s.where + " " + Quoted(s.value) +
                             " (expected tell or close)");
        }
        options.routerAbsentClose = s.value == "close";
    } else if (key == "no-echo") {
        options.noEcho = FlagValue(s);
    } else if (key == "no-advertise") {
        options.noAdvertise = FlagValue(s);
    } else if (key == "config") {
        options.configPath = s.value;
    } else if (key == "reply-wait") {
        options.replyWaitMs = Number(s, 10, 60000);
    } else if (key == "gap") {
        options.gapMs = Number(s, 0, 60000);
    } else if (key == "allow-line-settings") {
        options.allowLineSettings = FlagValue(s);
    }
}

bool Has(const std::vector<Setting>& settings, std::string_view key) {
    return std::any_of(settings.begin(), settings.end(),
                       [&](const Setting& s) { return s.key == key; });
}

// Serial and network are one choice: within one source only one may be given.
void CheckOneLink(const std::vector<Setting>& settings) {
    if (Has(settings, "serial") && Has(settings, "net")) {
        throw UsageError("give --serial or --net, not both");
    }
}

}  // namespace

std::string TopicSafe(const std::string& text) {
    std::string safe;
    for (const char c : text) {
        const char lower = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
        if ((lower >= 'a' && lower <= 'z') || (lower >= '0' && lower <= '9') || lower == '-' ||
            lower == '_') {
            safe += lower;
        } else if (!safe.empty() && safe.back() != '_') {
            safe += '_';
        }
    }
    while (!safe.empty() && safe.back() == '_') {
        safe.pop_back();
    }
    return safe;
}

bool IsLoopbackAddress(const std::string& address) {
    return address.rfind("127.", 0) == 0 || address == "::1" ||
           address.rfind("::ffff:127.", 0) == 0;
}

DaemonOptions ParseDaemonOptions(const std::vector<std::string>& args) {
    DaemonOptions options;
    const std::vector<Setting> line = ReadArguments(args, options);
    if (options.help || options.version || options.hashPassword) {
        return options;
    }
    CheckOneLink(line);
    bool baudGiven = false;
    for (const Setting& s : line) {
        if (s.key == "config") {
            Apply(s, options, baudGiven);
        }
    }
    std::vector<Setting> file;
    if (!options.configPath.empty()) {
        file = ReadConfig(options.configPath);
        CheckOneLink(file);
        // The command line wins: a link, or a list of networks, given there replaces the file's.
        const bool lineLink = Has(line, "serial") || Has(line, "net");
        const bool lineNet = Has(line, "net");
        const bool lineAllow = Has(line, "allow");
        std::erase_if(file, [&](const Setting& s) {
            return (lineLink && (s.key == "serial" || s.key == "net")) ||
                   (lineNet && s.key == "baud") || (lineAllow && s.key == "allow");
        });
    }
    bool fileBaud = false;
    for (const Setting& s : file) {
        Apply(s, options, fileBaud);
    }
    for (const Setting& s : line) {
        Apply(s, options, baudGiven);
    }
    const bool hasLink =
        Has(line, "serial") || Has(line, "net") || Has(file, "serial") || Has(file, "net");
    if (!hasLink) {
        throw UsageError("give the switcher's link: --serial COMn|PATH or --net HOST:PORT");
    }
    if (options.link == DaemonOptions::Link::Network && (baudGiven || fileBaud)) {
        throw UsageError("--baud sets a serial port; the network module keeps its own rate");
    }
    if (options.swp08Serial.empty() && (Has(line, "swp08-baud") || Has(file, "swp08-baud"))) {
        throw UsageError("--swp08-baud sets the line of --swp08-serial DEVICE");
    }
    if (options.inputs == 0 || options.outputs == 0) {
        throw UsageError("give the switcher's size: --inputs N --outputs M");
    }
    if (!options.videohubOn && !options.rawOn && !options.webOn && !options.swp08On &&
        options.swp08Serial.empty() && options.mqttHost.empty()) {
        throw UsageError("every port is off: there would be nobody to serve");
    }
    if (options.webOn && options.webPasswordFile.empty() && !IsLoopbackAddress(options.listen)) {
        throw UsageError("--listen " + options.listen +
                         " opens the web panel beyond this machine: give "
                         "--web-password-file FILE (matrixd --hash-password writes one) or "
                         "--web-port off");
    }
    if (options.mqttHost.empty() &&
        (Has(line, "mqtt-ca") || Has(file, "mqtt-ca") || Has(line, "mqtt-user") ||
         Has(file, "mqtt-user") || Has(line, "mqtt-password-file") ||
         Has(file, "mqtt-password-file"))) {
        throw UsageError("--mqtt-ca, --mqtt-user and --mqtt-password-file need --mqtt URL");
    }
    if (!options.mqttCaFile.empty() && !options.mqttTls) {
        throw UsageError("--mqtt-ca needs an mqtts:// broker");
    }
    if (options.mqttBase.empty() && !options.name.empty()) {
        if (const std::string id = TopicSafe(options.name); !id.empty()) {
            options.mqttBase = "matrixpanel/" + id;
        }
    }
    if (options.name.empty()) {
        options.name =
            "matrixd " + std::to_string(options.inputs) + "x" + std::to_string(options.outputs);
    }
    return options;
}
