#include "app/CommandLine.h"

#include <QCommandLineParser>

#include <string_view>

#include "app/Version.h"
#include "link/LineSettings.h"

namespace {

// The rates of the baud list, as many to a line as fit, under the option's description.
std::string RateLines() {
    constexpr std::size_t kIndent = 16;
    constexpr std::size_t kWidth = 79;
    std::string lines;
    std::string line(kIndent, ' ');
    for (const BaudSetting& setting : kBaudSettings) {
        const std::string_view rate = setting.caption;
        if (line.size() > kIndent && line.size() + 1 + rate.size() > kWidth) {
            lines += line + '\n';
            line.assign(kIndent, ' ');
        } else if (line.size() > kIndent) {
            line += ' ';
        }
        line += rate;
    }
    return lines + line + '\n';
}

// The usage text, with the rates of the baud list after "one of".
constexpr const char* kUsageHead =
    "Usage: matrixpanel [options]\n"
    "Control panel for audio/video matrix switchers.\n"
    "\n"
    "  --terminal    also show the serial terminal as an operator's console in a window\n"
    "                of its own: replies, status texts and sent commands kept, a status\n"
    "                line, timestamps, hex view, save (Ctrl+S) and find (Ctrl+F);\n"
    "                Ctrl+T shows it again\n"
    "  --sync        send \"Status.\" whenever the link comes up, so that the panel\n"
    "                shows the switcher's routes from the start\n"
    "  --baud RATE   open the serial port at start at RATE bit/s instead of 300; one of\n";
constexpr const char* kUsageTail =
    "  --labels FILE names for inputs and outputs, shown as tool tips (default:\n"
    "                matrixpanel-labels.ini in the settings directory)\n"
    "  -h, --help    show this text\n"
    "  --version     show the version\n"
    "\n"
    "Settings and COM port links are in /var/lib/matrixpanel, or in the directory\n"
    "that MATRIXPANEL_SYSDIR names.\n";

const std::string& Usage() {
    static const std::string usage = kUsageHead + RateLines() + kUsageTail;
    return usage;
}

CommandLine Mistake(const QString& message) {
    CommandLine line;
    line.bRun = false;
    line.nExitCode = 2;
    line.strErr = "matrixpanel: " + message.toStdString() + "\n" + Usage();
    return line;
}

}  // namespace

CommandLine ParseCommandLine(const QStringList& arguments) {
    QCommandLineParser parser;
    const QCommandLineOption help(QStringList{"h", "help"});
    const QCommandLineOption version("version");
    const QCommandLineOption terminal("terminal");
    const QCommandLineOption sync("sync");
    const QCommandLineOption baud("baud", QString(), "RATE");
    const QCommandLineOption labels("labels", QString(), "FILE");
    parser.addOptions({help, version, terminal, sync, baud, labels});

    if (!parser.parse(arguments)) {
        return Mistake(parser.errorText());
    }
    CommandLine line;
    if (parser.isSet(help)) {
        line.bRun = false;
        line.strOut = Usage();
        return line;
    }
    if (parser.isSet(version)) {
        line.bRun = false;
        line.strOut = std::string("matrixpanel ") + kProgramVersion + "\n";
        return line;
    }
    if (!parser.positionalArguments().isEmpty()) {
        return Mistake("unexpected argument '" + parser.positionalArguments().first() + "'");
    }
    line.options.bShowTerminal = parser.isSet(terminal);
    line.options.bSync = parser.isSet(sync);
    if (parser.isSet(baud)) {
        const QString rate = parser.value(baud);
        const int position = BaudPosition(rate.toStdString());
        if (position < 0) {
            return Mistake("bad rate for --baud: '" + rate + "' (not a rate of the baud list)");
        }
        line.options.startRatePosition = position;
    }
    if (parser.isSet(labels)) {
        line.options.labelsPath = parser.value(labels).toStdString();
    }
    return line;
}
