#include "tools/matrixctl/CtlOptions.h"

#include <cstddef>
#include <string_view>

#include "link/LineSettings.h"
#include "platform/ComPorts.h"
#include "platform/PlainText.h"
#include "tools/matrixctl/CtlCommands.h"
#include "tools/matrixctl/CtlNames.h"

namespace {

constexpr const char* kUsageHead =
    "Usage: matrixctl [--net HOST:PORT | --serial PORT] [--baud RATE] [options]\n"
    "                 COMMAND [ARGS] [+ COMMAND [ARGS]]...\n"
    "       matrixctl [link options] [options] --file FILE\n"
    "       matrixctl [link options] [--json] [--reconnect] monitor\n"
    "Sends commands to a matrix switcher and prints the reply lines it answers with.\n"
    "\n"
    "Link:\n"
    "  --net HOST:PORT  TCP, to the switcher's network module (IPv4 address or host name)\n"
    "  --serial PORT    COM1..COM5 as the panel maps them (the link COMn in\n"
    "                   $MATRIXPANEL_SYSDIR or /var/lib/matrixpanel, else the n-th serial\n"
    "                   device) or a device path such as /dev/ttyUSB0; default COM1.\n"
    "                   COM and another number (COM6, COM01) is refused: ./COM6 names a file.\n"
    "                   The port is opened exclusively: one the panel holds is refused.\n"
    "  --baud RATE      serial rate, default 9600 (the panel's rate once COM is chosen);\n";

constexpr const char* kUsageTail =
    "Replies:\n"
    "  --timeout MS     stop reading once MS milliseconds pass without a byte (default\n"
    "                   500; 0 sends and does not wait for replies)\n"
    "  --first          stop after the first reply line\n"
    "  --lines N        stop after N reply lines\n"
    "  --until TEXT     stop after the first reply line that contains TEXT\n"
    "  --max-time MS    end the whole call after MS milliseconds, the connect included\n"
    "                   (default 10000; a monitor runs until interrupted unless this is\n"
    "                   given)\n"
    "  --json           one JSON object per reply line instead of the line itself:\n"
    "                   {\"line\":\"AV:3->5\",\"kind\":\"route\",\"signal\":\"AV\",\"input\":3,"
    "\"output\":5}\n"
    "                   kinds: route, all-through, to-all, off, demo, normal, error,\n"
    "                   locked, other; input_name and output_name from the labels file\n"
    "Several commands, names, feedback:\n"
    "  COMMAND + COMMAND  several commands over one link, each waiting for its replies\n"
    "  --file FILE      the commands of FILE (- for standard input), one per line;\n"
    "                   blank lines and lines starting with # are skipped\n"
    "  --labels FILE    names of inputs and outputs (default: matrixpanel-labels.ini in\n"
    "                   the settings directory); IN and OUT take a name or the start\n"
    "                   of one, in any case, as well as a number\n"
    "  monitor          send nothing, print every reply line as it comes until\n"
    "                   interrupted; --reconnect re-opens a lost link every 2 s\n"
    "  -h, --help       show this text\n"
    "  --version        show the version\n"
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
    "2 usage error, 3 link failure (refused, unreachable, port busy or missing, lost;\n"
    "also matrixd's answer that its switcher link is down), 4 the switcher refused\n"
    "(Command Error!, System Locked!). Of several commands, the code of the first that\n"
    "failed.\n";

// The rates of the one baud table, wrapped under the --baud option.
std::string RateLines() {
    constexpr std::size_t kIndent = 19;
    constexpr std::size_t kWidth = 88;
    std::string text;
    std::string line(kIndent, ' ');
    line += "one of";
    for (std::size_t i = 0; i < kBaudSettings.size(); ++i) {
        const std::string word = std::string(" ") + kBaudSettings[i].caption +
                                 (i + 1 < kBaudSettings.size() ? "," : ";");
        if (line.size() + word.size() > kWidth) {
            text += line + "\n";
            line = std::string(kIndent - 1, ' ');
        }
        line += word;
    }
    return text + line + "\n" + std::string(kIndent, ' ') +
           "8 data bits, no parity, one stop bit\n";
}

unsigned Baud(std::string_view text) {
    if (const int position = BaudPosition(text); position >= 0) {
        return kBaudSettings[static_cast<std::size_t>(position)].rate;
    }
    throw UsageError("bad --baud " + Quoted(text) + " (see --help for the rates)");
}

void NetAddress(std::string_view text, CtlOptions& options) {
    const std::size_t colon = text.rfind(':');
    if (colon == std::string_view::npos || colon == 0) {
        throw UsageError("bad --net " + Quoted(text) + " (expected HOST:PORT)");
    }
    options.host = std::string(text.substr(0, colon));
    options.port = static_cast<std::uint16_t>(CtlNumber("port", text.substr(colon + 1), 1, 65535));
}

// COM1..COM5 name the panel's five ports, any other "COM" and number is refused, anything else
// is a device path (ComPortNumber's rule, the one matrixd follows too).
void SerialPort(std::string_view text, CtlOptions& options) {
    if (text.empty()) {
        throw UsageError("--serial needs a port");
    }
    if (IsBadComPortName(text)) {
        throw UsageError("bad --serial " + Quoted(text) + " " + BadComPortNameHint(text));
    }
    options.serial = std::string(text);
}

bool TakesValue(std::string_view option) {
    for (const char* name : {"--net", "--serial", "--baud", "--timeout", "--max-time", "--lines",
                             "--until", "--file", "--labels"}) {
        if (option == name) {
            return true;
        }
    }
    return false;
}

// What the arguments say beyond the options CtlOptions keeps itself.
struct Reading {
    std::vector<CommandWords> commands{1};
    bool net = false;
    bool serial = false;
    bool baud = false;
    int stopRules = 0;
    std::string file;
    std::string labels;
};

void TakeOption(const std::string& option, const std::string& value, CtlOptions& options,
                Reading& reading) {
    if (option == "--net") {
        NetAddress(value, options);
        reading.net = true;
    } else if (option == "--serial") {
        SerialPort(value, options);
        reading.serial = true;
    } else if (option == "--baud") {
        options.baud = Baud(value);
        reading.baud = true;
    } else if (option == "--timeout") {
        options.timeoutMs = CtlNumber("--timeout", value, 0, kMaxTimeoutMs);
    } else if (option == "--max-time") {
        options.maxTimeMs = CtlNumber("--max-time", value, 1, kMaxMaxTimeMs);
        options.maxTimeGiven = true;
    } else if (option == "--lines") {
        options.stopAfterLines = CtlNumber("--lines", value, 1, kMaxStopLines);
        ++reading.stopRules;
    } else if (option == "--until") {
        if (value.empty()) {
            throw UsageError("--until needs a text");
        }
        options.until = value;
        ++reading.stopRules;
    } else if (option == "--file") {
        if (value.empty()) {
            throw UsageError("--file needs a file (- for standard input)");
        }
        reading.file = value;
    } else if (option == "--labels") {
        if (value.empty()) {
            throw UsageError("--labels needs a file");
        }
        reading.labels = value;
    } else {
        throw UsageError("unknown option " + Quoted(option));
    }
}

void CheckCombinations(const CtlOptions& options, const Reading& reading) {
    if (reading.net && reading.serial) {
        throw UsageError("give --net or --serial, not both");
    }
    if (reading.net && reading.baud) {
        throw UsageError("--baud sets a serial port; the network module keeps its own rate");
    }
    if (reading.stopRules > 1) {
        throw UsageError("give one of --first, --lines and --until");
    }
    const bool anyWords = reading.commands.size() > 1 || !reading.commands.front().words.empty();
    if (!reading.file.empty() && anyWords) {
        throw UsageError("give commands or --file, not both");
    }
    if (reading.file.empty() && !anyWords) {
        throw UsageError("no command given");
    }
    for (const CommandWords& command : reading.commands) {
        if (reading.file.empty() && command.words.empty()) {
            throw UsageError("a '+' needs a command on either side");
        }
    }
    if (options.reconnect && !options.monitor) {
        throw UsageError("--reconnect goes with monitor only");
    }
    if (options.monitor && reading.stopRules > 0) {
        throw UsageError("--first, --lines and --until do not go with monitor");
    }
}

}  // namespace

std::string CtlUsage() {
    return std::string(kUsageHead) + RateLines() + kUsageTail;
}

CtlOptions ParseCtlOptions(const std::vector<std::string>& args) {
    CtlOptions options;
    Reading reading;
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string arg = args[i];
        CommandWords& command = reading.commands.back();
        if (arg == "+") {
            // Always a separator, also after "--": a raw "+" can come from a file.
            reading.commands.emplace_back();
            continue;
        }
        if (TakeCommandArgument(arg, command)) {
            continue;
        }
        if (arg == "-h" || arg == "--help" || arg == "--version") {
            options.help = arg != "--version";
            options.version = arg == "--version";
            return options;
        }
        if (arg == "--json" || arg == "--first" || arg == "--reconnect") {
            options.json = options.json || arg == "--json";
            options.reconnect = options.reconnect || arg == "--reconnect";
            if (arg == "--first") {
                options.stopAfterLines = 1;
                ++reading.stopRules;
            }
            continue;
        }
        // Options with a value: "--name VALUE" or "--name=VALUE".
        std::string value;
        const std::size_t equals = arg.find('=');
        if (equals != std::string::npos) {
            value = arg.substr(equals + 1);
            arg.resize(equals);
        } else if (TakesValue(arg)) {
            if (i + 1 >= args.size()) {
                throw UsageError("option " + arg + " needs a value");
            }
            value = args[++i];
        } else {
            throw UsageError("unknown option " + Quoted(arg));
        }
        TakeOption(arg, value, options, reading);
    }
    options.monitor = reading.commands.size() == 1 && reading.commands.front().words.size() == 1 &&
                      reading.commands.front().words.front() == "monitor" &&
                      reading.commands.front().signal == 'B';
    CheckCombinations(options, reading);
    options.link = reading.net ? CtlOptions::Link::Network : CtlOptions::Link::Serial;

    if (!reading.file.empty()) {
        reading.commands = ReadCommandFile(reading.file);
    }
    CCtlNames names(reading.labels);
    if (!options.monitor) {
        for (const CommandWords& command : reading.commands) {
            options.commands.push_back(ReadCommand(command, reading.net, names));
        }
    }
    if (options.json || !reading.labels.empty()) {
        options.names = names.Names();
    }
    options.warnings = names.TakeWarnings();
    return options;
}
