// The OS half of the platform layer: COM device names and the message-box helper.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

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
