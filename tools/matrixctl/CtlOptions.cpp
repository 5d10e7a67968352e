#include "tools/matrixctl/CtlOptions.h"

#include <algorithm>
#include <cstddef>
#include <string_view>

#include "link/LineSettings.h"
#include "link/LinkTypes.h"

const char* const kCtlUsage =
    "Usage: matrixctl [--net HOST:PORT | --serial PORT] [--baud RATE] [--timeout MS] [--json]\n"
    "                 COMMAND [ARGS]\n"
    "Sends one command to a matrix switcher and prints the reply lines it answers with.\n"
    "\n"
    "Link:\n"
    "  --net HOST:PORT  TCP, to the switcher's network module (IPv4 address or host name)\n"
    "  --serial PORT    COM1..COM5 as the panel maps them (the link COMn in\n"
    "                   $MATRIXPANEL_SYSDIR or /var/lib/matrixpanel, else the n-th serial\n"
    "                   device) or a device path such as /dev/ttyUSB0; default COM1.\n"
    "                   The port is opened exclusively: one the panel holds is refused.\n"
    "  --baud RATE      serial rate, default 9600 (the panel's rate once COM is chosen);\n"
    "                   one of 110, 300, 600, 1200, 2400, 4800, 9600, 14400, 19200, 38400,\n"
    "                   56000, 57600, 115200, 128000, 256000; 8 data bits, no parity, one\n"
    "                   stop bit\n"
    "Replies:\n"
    "  --timeout MS     stop reading once MS milliseconds pass without a new reply line\n"
    "                   (default 500; 0 sends and does not wait for replies)\n"
    "  --json           one JSON object per reply line instead of the line itself:\n"
    "                   {\"line\":\"AV:3->5\",\"kind\":\"route\",\"signal\":\"AV\",\"input\":3,"
    "\"output\":5}\n"
    "                   kinds: route, all-through, to-all, off, demo, normal, other\n"
    "  -h, --help       show this text\n"
    "\n"
    "Commands (the bytes sent in brackets):\n"
    "  route IN OUT [--audio|--video]  input to output, audio and video by default\n"
    "                                  (3B5.), audio only (3A5.), video only (3V5.)\n"
    "  all IN                          input to every output (3All.)\n"
    "  all-off                         every output off (All$.)\n"
    "  off OUT                         output off (5$.)\n"
    "  all-through                     input k to output k for every k (All#.)\n"
    "  through IN                      input to the output of the same number (3#.)\n"
    "  undo | demo                     undo the last switch (Undo.); demo mode on/off (Demo.)\n"
    "  save N | recall N | clear N     presets (Save3. Recall3. Clear3.)\n"
    "  lock | unlock                   lock or unlock the front panel (/%Lock; /%Unlock;)\n"
    "  status [OUT]                    routes of every output (Status.) or of one (Status5.)\n"
    "  type | version                  model and firmware (/*Type; /^Version;)\n"
    "  raw TEXT                        TEXT exactly as typed, nothing appended\n"
    "\n"
    "Exit codes: 0 replies read (or none waited for), 1 no reply within the time-out,\n"
    "2 usage error, 3 link failure (refused, unreachable, port busy or missing).\n";

namespace {

constexpr int kMaxNumber = 99999;

std::string ValueText(std::string_view name, std::string_view text) {
    return std::string(name) + " '" + std::string(text) + "'";
}

// A plain decimal number (no sign, no blanks) within low..high.
int Number(std::string_view what, std::string_view text, int low, int high) {
    const bool digits =
        !text.empty() && text.size() <= 9 &&
        std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
    const int value = digits ? std::stoi(std::string(text)) : -1;
    if (!digits || value < low || value > high) {
        throw UsageError("bad " + ValueText(what, text) + " (expected " + std::to_string(low) +
                         ".." + std::to_string(high) + ")");
    }
    return value;
}

unsigned Baud(std::string_view text) {
    if (const int position = BaudPosition(text); position >= 0) {
        return kBaudSettings[static_cast<std::size_t>(position)].rate;
    }
    throw UsageError("bad " + ValueText("--baud", text) + " (see --help for the rates)");
}

void NetAddress(std::string_view text, CtlOptions& options) {
    const std::size_t colon = text.rfind(':');
    if (colon == std::string_view::npos || colon == 0) {
        throw UsageError("bad " + ValueText("--net", text) + " (expected HOST:PORT)");
    }
    options.host = std::string(text.substr(0, colon));
    options.port = static_cast<std::uint16_t>(Number("port", text.substr(colon + 1), 1, 65535));
}

// "COMn" names one of the panel's five ports; any other name is taken as a device path.
void SerialPort(std::string_view text, CtlOptions& options) {
    if (text.empty()) {
        throw UsageError("--serial needs a port");
    }
    if (text.size() > 3 && (text.substr(0, 3) == "COM" || text.substr(0, 3) == "com") &&
        text.find('/') == std::string_view::npos) {
        Number("serial port number", text.substr(3), 1, 5);
    }
    options.serial = std::string(text);
}

void ExpectArgs(const std::vector<std::string>& words, std::size_t count, const char* form) {
    if (words.size() - 1 != count) {
        throw UsageError(std::string("usage: ") + form);
    }
}

DeviceCommand Command(const std::vector<std::string>& words, char signal, bool network, bool& raw) {
    const std::string& name = words.front();
    const auto arg = [&](std::size_t i, const char* what, int low) {
        return Number(what, words[i], low, kMaxNumber);
    };
    if (signal != 'B' && name != "route") {
        throw UsageError("--audio and --video go with route only");
    }
    if (name == "route") {
        ExpectArgs(words, 2, "route IN OUT [--audio|--video]");
        // Input 0 is allowed: the panel sends it when no input is chosen.
        return RouteCommand(signal, InputNo{arg(1, "input", 0)}, OutputNo{arg(2, "output", 1)});
    }
    if (name == "all") {
        ExpectArgs(words, 1, "all IN");
        return InputToAllCommand(InputNo{arg(1, "input", 1)});
    }
    if (name == "off") {
        ExpectArgs(words, 1, "off OUT");
        return AllToOutputCommand(OutputNo{arg(1, "output", 1)});
    }
    if (name == "through") {
        ExpectArgs(words, 1, "through IN");
        return InputThroughCommand(InputNo{arg(1, "input", 1)});
    }
    for (const char* preset : {"save", "recall", "clear"}) {
        if (name == preset) {
            ExpectArgs(words, 1, (name + " N").c_str());
            const char* mode = name == "save" ? "Save" : name == "recall" ? "Recall" : "Clear";
            return PresetCommand(mode, arg(1, "preset", 1));
        }
    }
    if (name == "status") {
        if (words.size() == 1) {
            return StatusQuery(network);
        }
        ExpectArgs(words, 1, "status [OUT]");
        return OutputStatusCommand(OutputNo{arg(1, "output", 1)});
    }
    if (name == "raw") {
        ExpectArgs(words, 1, "raw TEXT");
        if (words[1].empty()) {
            throw UsageError("raw needs a text to send");
        }
        raw = true;
        return DeviceCommand{words[1], kRouteTerminal, kTermDot};
    }
    struct Plain {
        const char* name;
        DeviceCommand (*make)();
    };
    static constexpr Plain kPlain[] = {
        {"all-off", AllToAllCommand}, {"all-through", AllThroughCommand},
        {"undo", UndoCommand},        {"demo", DemoCommand},
        {"lock", LockCommand},        {"unlock", UnlockCommand},
        {"type", TypeQuery},          {"version", VersionQuery},
    };
    for (const Plain& plain : kPlain) {
        if (name == plain.name) {
            ExpectArgs(words, 0, plain.name);
            return plain.make();
        }
    }
    throw UsageError("unknown command '" + name + "'");
}

}  // namespace

CtlOptions ParseCtlOptions(const std::vector<std::string>& args) {
    CtlOptions options;
    std::vector<std::string> words;
    char signal = 'B';
    bool net = false;
    bool serial = false;
    bool baud = false;
    bool optionsEnd = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string arg = args[i];
        if (optionsEnd || arg.size() < 2 || arg[0] != '-') {
            words.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnd = true;  // what follows is a command or its text, even with a dash
            continue;
        }
        if (arg == "-h" || arg == "--help") {
            options.help = true;
            return options;
        }
        if (arg == "--json" || arg == "--audio" || arg == "--video") {
            if (arg == "--json") {
                options.json = true;
            } else if (signal != 'B') {
                throw UsageError("give --audio or --video once");
            } else {
                signal = arg == "--audio" ? 'A' : 'V';
            }
            continue;
        }
        // Options with a value: "--name VALUE" or "--name=VALUE".
        std::string value;
        const std::size_t equals = arg.find('=');
        if (equals != std::string::npos) {
            value = arg.substr(equals + 1);
            arg.resize(equals);
        } else if (arg == "--net" || arg == "--serial" || arg == "--baud" || arg == "--timeout") {
            if (i + 1 >= args.size()) {
                throw UsageError("option " + arg + " needs a value");
            }
            value = args[++i];
        }
        if (arg == "--net") {
            NetAddress(value, options);
            net = true;
        } else if (arg == "--serial") {
            SerialPort(value, options);
            serial = true;
        } else if (arg == "--baud") {
            options.baud = Baud(value);
            baud = true;
        } else if (arg == "--timeout") {
            options.timeoutMs = Number("--timeout", value, 0, kMaxTimeoutMs);
        } else {
            throw UsageError("unknown option '" + args[i] + "'");
        }
    }
    if (net && serial) {
        throw UsageError("give --net or --serial, not both");
    }
    if (net && baud) {
        throw UsageError("--baud sets a serial port; the network module keeps its own rate");
    }
    if (words.empty()) {
        throw UsageError("no command given");
    }
    options.link = net ? CtlOptions::Link::Network : CtlOptions::Link::Serial;
    options.command = Command(words, signal, net, options.raw);
    return options;
}
