#pragma once

#include <QStringList>

#include <string>

#include "app/PanelOptions.h"

// What the command line says to do: run with the options, or print and end with the exit code
// (0 for --help and --version, 2 for a mistake, whose message and the usage go to stderr).
struct CommandLine {
    bool bRun = true;
    int nExitCode = 0;
    std::string strOut;
    std::string strErr;
    PanelOptions options;
};

// Reads the arguments (the program's name first). Needs no display and no application object,
// so that --help works where no window can open.
CommandLine ParseCommandLine(const QStringList& arguments);
