#include "app/CommandLine.h"

#include <QCommandLineParser>

#include "app/Version.h"
#include "link/LineSettings.h"

namespace {

constexpr const char* kUsage =
    "Usage: matrixpanel [options]\n"
    "Control panel for audio/video matrix switchers.\n"
    "\n"
    "  --terminal    also show the serial terminal in a window of its own: the replies,\n"
    "                the link's status texts, the port and line settings\n"
    "  --baud RATE   open the serial port at start at RATE bit/s instead of 300; one of\n"
    "                110 300 600 1200 2400 4800 9600 14400 19200 38400 56000 57600\n"
    "                115200 128000 256000\n"
    "  --labels FILE names for inputs and outputs, shown as tool tips (default:\n"
    "                matrixpanel-labels.ini in the settings directory)\n"
    "  -h, --help    show this text\n"
    "  --version     show the version\n"
    "\n"
    "Settings and COM port links are in /var/lib/matrixpanel, or in the directory\n"
    "that MATRIXPANEL_SYSDIR names.\n";

CommandLine Mistake(const QString& message) {
    CommandLine line;
    line.bRun = false;
    line.nExitCode = 2;
    line.strErr = "matrixpanel: " + message.toStdString() + "\n" + kUsage;
    return line;
}

}  // namespace

CommandLine ParseCommandLine(const QStringList& arguments) {
    QCommandLineParser parser;
    const QCommandLineOption help(QStringList{"h", "help"});
    const QCommandLineOption version("version");
    const QCommandLineOption terminal("terminal");
    const QCommandLineOption baud("baud", QString(), "RATE");
    const QCommandLineOption labels("labels", QString(), "FILE");
    parser.addOptions({help, version, terminal, baud, labels});

    if (!parser.parse(arguments)) {
        return Mistake(parser.errorText());
    }
    CommandLine line;
    if (parser.isSet(help)) {
        line.bRun = false;
        line.strOut = kUsage;
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
