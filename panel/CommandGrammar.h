#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The switcher's commands read back: what a whole command as the switcher receives it ("3B5.",
// "/%Lock;") asks for. The inverse of the builders in CommandSet.h (the tests hold the two
// together), so that matrixd knows which outputs a client's command would change and which
// reply line a switching command is answered with, without a second copy of the grammar.
enum class CommandKind {
    Route,         // "3B5.", "3A5.", "3V5."
    InputToAll,    // "3All."
    AllToAll,      // "All$."
    AllToOutput,   // "5$." (the output turned off)
    AllThrough,    // "All#."
    InputThrough,  // "3#." (input 3 straight to output 3)
    Undo,
    Save,
    Recall,
    Clear,
    Lock,
    Unlock,
    Demo,
    OutputStatus,  // "Status5."
    Type,
    Version,
    Status,
};

struct ReadCommand {
    CommandKind kind = CommandKind::Status;
    char routeKind = 0;  // 'B', 'A' or 'V' for a route
    int input = 0;
    int output = 0;
    int preset = 0;
};

// Reads one whole command: its text and terminator, blanks around it ignored, letters in any
// case. Numbers are plain decimal (leading zeros as the switcher reads them). Nothing for a
// text that is no command of the set.
std::optional<ReadCommand> ReadDeviceCommand(std::string_view command);

// The reply line a switcher answers a switching command with ("AV:3->5", "3 To All",
// "All Through."), or "" where the set knows none.
std::string EchoOf(const ReadCommand& command);

// The outputs a command may change: none (a query, a preset saved), the ones listed (1-based),
// or every output (all of them at once, or ones only the switcher knows: Undo, Recall, Demo).
struct OutputsTouched {
    bool all = false;
    std::vector<int> outputs;
};
OutputsTouched OutputsChangedBy(const ReadCommand& command);
