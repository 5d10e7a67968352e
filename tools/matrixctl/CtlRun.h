#pragma once

#include "tools/matrixctl/CtlOptions.h"

// How matrixctl ends.
enum CtlExitCode : int {
    kExitReplied = 0,
    kExitNoReply = 1,
    kExitUsage = 2,
    kExitLink = 3,
    kExitRefused = 4,
};

// Sends the commands in order over one link, each waiting for its replies, and prints the
// replies as they complete. The exit code of the first command that failed.
int RunCommands(const CtlOptions& options);

// Prints every reply line as it comes until SIGINT or SIGTERM (or --max-time); with
// --reconnect a lost link is opened again every kReconnectPause.
int RunMonitor(const CtlOptions& options);

// "matrixctl: <message>" on standard error; the code back.
int CtlFail(int code, const std::string& message);
