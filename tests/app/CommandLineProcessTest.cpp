// matrixpanel's command line, run as a real process where no display is: what it prints and
// how it ends.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "link/LineSettings.h"
#include "support/ChildProcess.h"

namespace {

std::string FirstLine(const std::string& text) {
    return text.substr(0, text.find('\n'));
}

// matrixpanel with the arguments, and without any display or platform choice.
ChildOutcome RunPanel(std::vector<std::string> args) {
    args.insert(args.begin(), MATRIXPANEL_PATH);
    return ChildProcess(std::move(args), {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        .Finish();
}

}  // namespace

TEST(CommandLine, PrintsOrRefusesWithoutADisplay) {
    struct Case {
        std::vector<std::string> args;
        int exitCode;
        std::string outFirstLine;
        std::string errFirstLine;
    };
    const std::string usage = "Usage: matrixpanel [options]";
    const Case cases[] = {
        {{"--help"}, 0, usage, ""},
        {{"-h"}, 0, usage, ""},
        {{"--version"}, 0, "matrixpanel 1.0", ""},
        {{"--baud", "9601"},
         2,
         "",
         "matrixpanel: bad rate for --baud: '9601' (not a rate of the baud list)"},
        {{"--baud=fast"},
         2,
         "",
         "matrixpanel: bad rate for --baud: 'fast' (not a rate of the baud list)"},
        {{"--baud"}, 2, "", "matrixpanel: Missing value after '--baud'."},
        {{"--bogus"}, 2, "", "matrixpanel: Unknown option 'bogus'."},
        {{"COM1"}, 2, "", "matrixpanel: unexpected argument 'COM1'"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.front());
        const ChildOutcome outcome = RunPanel(c.args);
        EXPECT_EQ(outcome.exitCode, c.exitCode);
        EXPECT_EQ(FirstLine(outcome.out), c.outFirstLine);
        EXPECT_EQ(FirstLine(outcome.err), c.errFirstLine);
        if (c.exitCode == 2) {
            // A mistake is followed by the usage, on standard error.
            EXPECT_NE(outcome.err.find("\n" + usage + "\n"), std::string::npos) << outcome.err;
        }
    }
}

TEST(CommandLine, HelpListsTheRatesOfTheBaudList) {
    std::string rates = "one of";
    for (const BaudSetting& setting : kBaudSettings) {
        rates += std::string(" ") + setting.caption;
    }
    // The list wraps: every run of spaces and line ends counts as one space.
    std::string help;
    for (const char c : RunPanel({"--help"}).out) {
        const bool space = c == ' ' || c == '\n';
        if (!space || help.empty() || help.back() != ' ') {
            help += space ? ' ' : c;
        }
    }
    EXPECT_NE(help.find(rates + " --labels"), std::string::npos) << help;
}
