#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "access/LabelsFile.h"
#include "panel/CommandSet.h"
#include "panel/ReplyLine.h"

// A command line that cannot be run as given; main() reports it and ends with exit code 2.
class UsageError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// One command of a call, as the panel would send it.
struct CtlCommand {
    // The command's text, reply route and terminator flag.
    DeviceCommand command;
    // "raw": the text goes out exactly as typed, with no terminator.
    bool raw = false;
    // A reply that reads as a refusal but is this command's own answer: the switcher answers
    // the lock command with "System Locked!".
    ReplyRefusal ownAnswer = ReplyRefusal::None;
};

// What one run of matrixctl is to do, read from its arguments.
struct CtlOptions {
    enum class Link { Serial, Network };

    bool help = false;
    bool version = false;
    Link link = Link::Serial;
    std::string host;        // --net
    std::uint16_t port = 0;  // --net
    std::string serial = "COM1";
    unsigned baud = 9600;
    int timeoutMs = 500;
    int maxTimeMs = 10'000;
    bool maxTimeGiven = false;  // a monitor runs without a limit unless one is given
    bool json = false;

    // When a command's reading ends before the quiet time: after this many lines (0: no
    // count), or after the first line holding `until` (empty: no such text).
    int stopAfterLines = 0;
    std::string until;

    // The commands, sent in order over one link; empty for the monitor.
    std::vector<CtlCommand> commands;
    bool monitor = false;
    bool reconnect = false;

    // The names of the labels file, for JSON replies (read only for --json).
    LabelNames names;
    // What reading the labels file warned of.
    std::vector<std::string> warnings;
};

inline constexpr int kMaxTimeoutMs = 600'000;
inline constexpr int kMaxMaxTimeMs = 86'400'000;  // a day
inline constexpr int kMaxStopLines = 1'000'000;
// A command file larger than this is not a list of commands.
inline constexpr std::size_t kMaxCommandFileBytes = 1 << 20;

// Reads the arguments after the program name. Throws UsageError.
CtlOptions ParseCtlOptions(const std::vector<std::string>& args);

// The text of --help.
std::string CtlUsage();
