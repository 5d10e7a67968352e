#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "panel/CommandSet.h"

// A command line that cannot be run as given; main() reports it and ends with exit code 2.
class UsageError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// What one run of matrixctl is to do, read from its arguments.
struct CtlOptions {
    enum class Link { Serial, Network };

    bool help = false;
    Link link = Link::Serial;
    std::string host;        // --net
    std::uint16_t port = 0;  // --net
    std::string serial = "COM1";
    unsigned baud = 9600;
    int timeoutMs = 500;
    bool json = false;

    // The command's text, reply route and terminator flag, as the panel would send it.
    DeviceCommand command;
    // "raw": the text goes out exactly as typed, with no terminator.
    bool raw = false;
};

inline constexpr int kMaxTimeoutMs = 600'000;

// Reads the arguments after the program name. Throws UsageError.
CtlOptions ParseCtlOptions(const std::vector<std::string>& args);

// The text of --help.
extern const char* const kCtlUsage;
