#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

// A command line or configuration file that cannot be run as given; main() prints it as one
// line and ends with exit code 2.
class UsageError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// A network the clients may come from: an address and the count of its leading bits that
// must match (32 or 128 for one address).
struct AllowedNet {
    std::string address;  // as given, IPv4 or IPv6
    int bits = 0;
};

// What one run of matrixd is to do.
struct DaemonOptions {
    enum class Link { Serial, Network };

    bool help = false;
    bool version = false;

    Link link = Link::Serial;
    std::string serial;  // "COM1".."COM5" or a device path
    unsigned baud = 9600;
    std::string host;  // --net
    std::uint16_t netPort = 0;

    int inputs = 0;
    int outputs = 0;

    std::string listen = "127.0.0.1";
    // Port 0 picks a free port (printed at start); "off" turns that front end off.
    std::uint16_t videohubPort = 9990;
    std::uint16_t rawPort = 9991;
    bool videohubOn = true;
    bool rawOn = true;
    // Broadcast control systems (SW-P-08) on TCP, 8910 being where they look by default.
    std::uint16_t swp08Port = 8910;
    bool swp08On = true;
    std::string swp08Serial;  // a control system on a serial line too (empty: none)
    unsigned swp08Baud = 38400;
    std::vector<AllowedNet> allow;  // empty: every client

    std::string labelsPath;  // empty: the panel's file in the settings directory
    std::string name;        // empty: "matrixd <N>x<M>"
    char routeKind = 'B';    // 'B' audio and video, 'V' video only
    bool noEcho = false;
    bool routerAbsentClose = false;  // router clients closed while the switcher is absent
    bool noAdvertise = false;
    std::string configPath;

    int replyWaitMs = 300;  // the longest wait for a command's reply before the next goes
    int gapMs = 0;          // a pause after each command
    bool allowLineSettings = false;

    // The web panel and API, on the listen address.
    std::uint16_t webPort = 9980;
    bool webOn = true;
    std::string webPasswordFile;        // a password hash; needed beyond loopback
    std::vector<std::string> sites;     // other panels of the site, "site = URL"
    std::vector<std::string> webHosts;  // names the web panel is reached by, beside its own
    bool hashPassword = false;          // --hash-password: hash standard input and stop

    // The site's MQTT broker (empty: none), and Home Assistant's discovery on it.
    std::string mqttHost;
    std::uint16_t mqttPort = 0;
    bool mqttTls = false;    // mqtts://
    std::string mqttCaFile;  // empty with TLS: the system's certificates
    std::string mqttUser;
    std::string mqttPasswordFile;  // the password in clear, on its first line
    std::string mqttBase;          // empty: matrixpanel/<name or Unique ID>
    std::string haPrefix = "homeassistant";
    bool haDiscovery = true;
    bool haAudio = false;  // a second picker per output, for its audio alone
};

// A name as one level of an MQTT topic and of Home Assistant's ids: lower-case letters, digits,
// '-' and '_' (runs of anything else become one '_'); empty when nothing of it is left.
std::string TopicSafe(const std::string& text);

// True for an address only this machine reaches (127.0.0.0/8, ::1).
bool IsLoopbackAddress(const std::string& address);

// Reads the arguments after the program name and, with --config, the file they name: the same
// options as "key = value" lines, the command line winning over the file. Throws UsageError.
DaemonOptions ParseDaemonOptions(const std::vector<std::string>& args);

// The text of --help.
extern const char* const kDaemonUsage;
