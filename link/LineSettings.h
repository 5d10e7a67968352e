#pragma once

#include <array>
#include <cstdint>
#include <string_view>

// The serial line settings the terminal view lists, in list order: what each entry shows, what
// the serial driver applies for it, and what the network module is told. The view, the serial
// driver and the TCP client all read these tables, so a list position means the same to all.

struct BaudSetting {
    const char* caption;
    unsigned rate;
    int moduleIndex;  // position in the module's own baud table, -1 when it has no such rate
};

inline constexpr std::array<BaudSetting, 15> kBaudSettings = {{
    {"110", 110, -1},
    {"300", 300, -1},
    {"600", 600, -1},
    {"1200", 1200, -1},
    {"2400", 2400, -1},
    {"4800", 4800, 0},
    {"9600", 9600, 1},
    {"14400", 14400, -1},
    {"19200", 19200, 2},
    {"38400", 38400, 3},
    {"56000", 56000, -1},
    {"57600", 57600, 4},
    {"115200", 115200, -1},
    {"128000", 128000, -1},
    {"256000", 256000, -1},
}};

// A setting the serial driver keeps as a code, and the module's command for it.
struct CodedSetting {
    const char* caption;
    std::uint8_t code;
    const char* moduleCommand;
};

// Parity codes as the serial driver keeps them: 0 none, 1 odd, 2 even, 3 mark, 4 space.
inline constexpr std::array<CodedSetting, 5> kParitySettings = {{
    {"NONE", 0, "AT + C1_PARITY = 0"},
    {"EVEN", 2, "AT + C1_PARITY = 2"},
    {"MARK", 3, "AT + C1_PARITY = 4"},
    {"ODD", 1, "AT + C1_PARITY = 1"},
    {"SPACE", 4, "AT + C1_PARITY = 3"},
}};

// Stop-bit codes: 0 one, 1 one and a half, 2 two.
inline constexpr std::array<CodedSetting, 3> kStopBitsSettings = {{
    {"1", 0, "AT + C1_STOPB = 1"},
    {"1.5", 1, "AT + C1_STOPB = 1.5"},
    {"2", 2, "AT + C1_STOPB = 2"},
}};

struct DataBitsSetting {
    const char* caption;
    std::uint8_t bits;
};

// The module is always told 8 data bits, whatever is chosen.
inline constexpr const char* kModuleDataBitsCommand = "AT + C1_DATAB = 8";

inline constexpr std::array<DataBitsSetting, 5> kDataBitsSettings = {{
    {"4", 4},
    {"5", 5},
    {"6", 6},
    {"7", 7},
    {"8", 8},
}};

// What the lists show before anything is chosen: 4800 bit/s and 8 data bits.
inline constexpr int kInitialBaudPosition = 5;
inline constexpr int kInitialDataBitsPosition = 4;

// The position of a rate written as the baud list shows it ("9600"), or -1.
inline int BaudPosition(std::string_view caption) {
    for (std::size_t position = 0; position < kBaudSettings.size(); ++position) {
        if (caption == kBaudSettings[position].caption) {
            return static_cast<int>(position);
        }
    }
    return -1;
}

// The entry at a list position, or `fallback`'s entry for a position outside the table.
template <class Setting, std::size_t N>
const Setting& SettingAt(const std::array<Setting, N>& table, int position, int fallback) {
    return position >= 0 && static_cast<std::size_t>(position) < N
               ? table[static_cast<std::size_t>(position)]
               : table[static_cast<std::size_t>(fallback)];
}
