// The OS half of the platform layer: COM names and devices, serial write time-outs and the
// message-box helper.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>

#include "platform/CSerialDevice.h"
#include "platform/ComPorts.h"
#include "platform/MessageBox.h"
#include "support/LinkTestSupport.h"

namespace fs = std::filesystem;

TEST(ComPortsTest, DevicesAreTakenByGroupThenNumber) {
    ScopedSysDir sys;
    const fs::path dev = fs::path(sys.Path()) / "dev";
    fs::create_directory(dev);
    for (const char* name :
         {"ttyS10", "ttyS2", "ttyUSB1", "ttyUSB0", "ttyACM0", "ttySx", "tty0", "console", "ttyS"}) {
        std::ofstream(dev / name).put('\n');  // only listed, never opened
    }
    const std::string expected[] = {"ttyUSB0", "ttyUSB1", "ttyACM0", "ttyS2", "ttyS10"};
    for (int n = 1; n <= 5; ++n) {
        EXPECT_EQ(ComDevicePath(n, sys.Path(), false, dev.string()),
                  (dev / expected[n - 1]).string());
    }
    EXPECT_EQ(ComDevicePath(9, sys.Path(), false, dev.string()), (dev / "ttyUSB0").string());

    // A link in the system directory wins; with the directory set only its links count.
    fs::create_symlink(dev / "ttyS10", fs::path(sys.Path()) / "COM2");
    fs::create_symlink(dev / "missing", fs::path(sys.Path()) / "COM3");
    EXPECT_EQ(ComDevicePath(2, sys.Path(), true, dev.string()), sys.Path() + "/COM2");
    EXPECT_EQ(ComDevicePath(3, sys.Path(), true, dev.string()), "");
    EXPECT_EQ(ComDevicePath(3, sys.Path(), false, dev.string()), (dev / "ttyACM0").string());
    EXPECT_EQ(ComDevicePath(4), "") << "the environment's directory has no COM4";
}

// One rule for every program: COM1..COM5 in any case are ports, "COM" with another number is a
// mistake, anything else a path.
TEST(ComPortsTest, NamesArePortsMistakesOrPaths) {
    struct Case {
        const char* name;
        std::optional<int> port;
        bool mistake;
    };
    const Case cases[] = {
        {"COM1", 1, false},   {"com5", 5, false},    {"Com3", 3, false},
        {"COM0", {}, true},   {"COM6", {}, true},    {"COM01", {}, true},
        {"com10", {}, true},  {"COM", {}, false},    {"COMX", {}, false},
        {"COM1/", {}, false}, {"./COM6", {}, false}, {"/dev/ttyS0", {}, false},
        {" COM1", {}, false}, {"COM+1", {}, false},  {"", {}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(ComPortNumber(c.name), c.port);
        EXPECT_EQ(IsBadComPortName(c.name), c.mistake);
    }
}

// Twice a character's time a byte, never under 10 ms, plus 100 ms: a slow line is given the
// time its bytes take to leave.
TEST(SerialTimeoutsTest, TheWriteAllowanceFollowsTheLine) {
    struct Case {
        SerialLine line;
        int perByteMs;
    };
    const Case cases[] = {
        {{110, 0, 8, 0}, 182},  // 10 bits: 90.9 ms
        {{300, 0, 8, 0}, 67},   // 33.3 ms
        {{300, 2, 7, 2}, 74},   // start, 7 data, parity, 2 stop: 11 bits
        {{300, 0, 8, 1}, 70},   // 1.5 stop bits: 10.5 bits
        {{600, 0, 8, 0}, 34},  {{1200, 0, 8, 0}, 17},   {{2400, 0, 8, 0}, 10},
        {{9600, 0, 8, 0}, 10}, {{256000, 0, 8, 0}, 10},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line.rate);
        const SerialTimeouts timeouts = WriteTimeoutsFor(c.line);
        EXPECT_EQ(timeouts.writeTotalPerByte, c.perByteMs);
        EXPECT_EQ(timeouts.writeTotalConst, 100);
    }
}

TEST(MessageBoxTest, ABoxIsNotStackedOnAnOpenOneWithTheSameText) {
    std::vector<std::string> shown;
    SetMessageBoxHook([&](const void*, const std::string& text, const std::string& title) {
        shown.push_back(title + "|" + text);
        // While the modal box is open, a timer fails the same way, and another way.
        EXPECT_FALSE(ShowMessageBox(nullptr, text));
        if (text == "Send failure!") {
            EXPECT_TRUE(ShowMessageBox(nullptr, "Initial failure!"));
        }
    });
    EXPECT_TRUE(ShowMessageBox(nullptr, "Send failure!"));
    EXPECT_TRUE(ShowMessageBox(nullptr, "Send failure!")) << "once closed, it may open again";
    SetMessageBoxHook({});
    EXPECT_EQ(shown, (std::vector<std::string>{
                         "Vantrel Matrix|Send failure!", "Vantrel Matrix|Initial failure!",
                         "Vantrel Matrix|Send failure!", "Vantrel Matrix|Initial failure!"}));
}
