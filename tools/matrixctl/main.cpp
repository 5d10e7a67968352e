// matrixctl: commands to a matrix switcher from the command line, over TCP or a serial port,
// with the reply lines printed as they are or as JSON. For scripts, cron jobs and control
// surfaces (whose feedback the monitor follows); the command texts and the reply reading are
// the panel's own.
#include <cstdio>
#include <string>
#include <vector>

#include "app/Version.h"
#include "tools/matrixctl/CtlOptions.h"
#include "tools/matrixctl/CtlRun.h"

int main(int argc, char** argv) {
    CtlOptions options;
    try {
        options = ParseCtlOptions(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const UsageError& error) {
        return CtlFail(kExitUsage, error.what());
    }
    if (options.help) {
        std::fputs(CtlUsage().c_str(), stdout);
        return kExitReplied;
    }
    if (options.version) {
        std::printf("matrixctl %s\n", kProgramVersion);
        return kExitReplied;
    }
    for (const std::string& warning : options.warnings) {
        std::fprintf(stderr, "matrixctl: %s\n", warning.c_str());
    }
    return options.monitor ? RunMonitor(options) : RunCommands(options);
}
