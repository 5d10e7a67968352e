#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "tools/matrixctl/CtlNames.h"
#include "tools/matrixctl/CtlOptions.h"

// One command as its words: "route", "3", "Projector", with --audio or --video as 'A' or 'V'
// ('B' for both).
struct CommandWords {
    std::vector<std::string> words;
    char signal = 'B';
    bool optionsEnd = false;  // after "--": a word with a dash is a word
    std::string where;        // "FILE:LINE: " for a command from a file, else empty
};

// The command the words name. Inputs and outputs are numbers or names of `names`. Throws
// UsageError.
CtlCommand ReadCommand(const CommandWords& command, bool network, CCtlNames& names);

// Takes one argument of a command: "--audio", "--video" and "--" are the command's own options,
// anything else is a word. False for an option that is not the command's (the caller's then).
bool TakeCommandArgument(const std::string& arg, CommandWords& command);

// The commands of a command file (path "-": standard input), one per line; blank lines and
// lines starting with "#" are skipped. Words are separated by blanks, "double quotes" keep
// blanks in one; "raw" takes the rest of its line as it stands. Throws UsageError.
std::vector<CommandWords> ReadCommandFile(const std::string& path);

// A plain decimal number (no sign, no blanks) within low..high. Throws UsageError.
int CtlNumber(std::string_view what, std::string_view text, int low, int high);
