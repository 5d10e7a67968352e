#pragma once

#include <cstdint>
#include <string>

#include "platform/CSerialDevice.h"
#include "terminal/CConsoleHistory.h"

// The link as it really is, for the console's status line: which link carries the commands,
// how it is set, what state it is in, the bytes it has carried and the switcher's lock.
struct LinkStatus {
    enum class State { Open, Closed, Connecting, Connected, Failed, Lost };

    bool network = false;
    int comPort = 0;  // the serial port's number, 0 when none was ever opened
    SerialLine line;
    std::string address;  // "192.168.1.50:4001"
    State state = State::Closed;
    std::uint64_t received = 0;
    std::uint64_t sent = 0;
    CConsoleHistory::Lock lock = CConsoleHistory::Lock::Unknown;

    bool operator==(const LinkStatus&) const = default;
};

// "COM1 9600 8N1 · open · 120 B received · 14 B sent · unlocked", or "NET 192.168.1.50:4001 ·
// connected · ...".
std::string LinkStatusText(const LinkStatus& status);
