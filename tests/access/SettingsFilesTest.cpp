#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "access/SettingsFiles.h"
#include "access/TempSysDir.h"

namespace {

// The writers must leave nothing but the file itself behind.
std::vector<std::string> Entries(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace

TEST(LastLoginFile, ReadsTheFirstSixteenBytesAsThreeNumbers) {
    struct Case {
        std::string content;
        bool ok;
        int type, inputs, outputs;  // when not ok the sentinels -7 must stay
    };
    const Case cases[] = {
        {"3,128,128", true, 3, 128, 128},
        {",,5", true, 0, 0, 5},
        {"3,1000000,1000000", true, 3, 1000000, 100000},  // 17 bytes: the last digit is cut
        {" 3, 16 ,4x,9", true, 3, 16, 4},
        {"12", false, 0, 0, 0},
        {"3,8", false, 0, 0, 0},
        {"3,12345678901234,5", false, 0, 0, 0},       // the second comma is past byte 16
        {std::string("3,8\0,8", 6), false, 0, 0, 0},  // the text ends at a zero byte
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.content);
        TempSysDir dir;
        TempSysDir::Write(LastLoginFilePath(), c.content);
        int type = -7, inputs = -7, outputs = -7;
        EXPECT_EQ(ReadLastLogin(type, inputs, outputs), c.ok);
        EXPECT_EQ(type, c.ok ? c.type : -7);
        EXPECT_EQ(inputs, c.ok ? c.inputs : -7);
        EXPECT_EQ(outputs, c.ok ? c.outputs : -7);
    }
}

TEST(LastLoginFile, MissingFileGivesDefaultsAndWritesAreExact) {
    TempSysDir dir;
    int type = -1, inputs = -1, outputs = -1;
    EXPECT_TRUE(ReadLastLogin(type, inputs, outputs));
    EXPECT_EQ(std::vector<int>({type, inputs, outputs}), std::vector<int>({0, 8, 8}));

    TempSysDir::Write(LastLoginFilePath(), "3,1000000,1000000 and more");
    ASSERT_TRUE(WriteLastLogin(3, 8, 8));
    EXPECT_EQ(TempSysDir::Read(dir.Path() + "/kdxUserLasted.kdx"), "3,8,8");
    ASSERT_TRUE(WriteLastLogin(-1, 0, 2147483647));
    EXPECT_EQ(TempSysDir::Read(LastLoginFilePath()), "-1,0,2147483647");
    EXPECT_EQ(Entries(dir.Path()), std::vector<std::string>{"kdxUserLasted.kdx"});
}

TEST(PasswordFile, HoldsExactlyThePasswordBytes) {
    TempSysDir dir;
    std::string password = "untouched";
    EXPECT_FALSE(HasPasswordFile());
    EXPECT_FALSE(ReadPassword(password));
    EXPECT_EQ(password, "untouched");
    EXPECT_FALSE(CheckPassword(""));

    ASSERT_TRUE(SavePassword("a longer secret!"));
    ASSERT_EQ(::chmod(PasswordFilePath().c_str(), 0640), 0);
    ASSERT_TRUE(SavePassword("Pass "));
    EXPECT_EQ(TempSysDir::Read(dir.Path() + "/kdxPassWord.kdx"), "Pass ");
    EXPECT_TRUE(HasPasswordFile());
    EXPECT_TRUE(CheckPassword("Pass "));
    EXPECT_FALSE(CheckPassword("pass "));
    EXPECT_FALSE(CheckPassword("Pass"));
    EXPECT_EQ(Entries(dir.Path()), std::vector<std::string>{"kdxPassWord.kdx"});
    struct stat info {};
    ASSERT_EQ(::stat(PasswordFilePath().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0640u);  // the replacement keeps the old permissions
}

TEST(PasswordFile, ReadersTakeSixteenBytesUpToAZeroByte) {
    const std::pair<std::string, std::string> cases[] = {
        {"", ""},  // an empty file is the empty password
        {"0123456789abcdefXYZ", "0123456789abcdef"},
        {std::string("ab\0cd", 5), "ab"},
    };
    for (const auto& [content, expected] : cases) {
        SCOPED_TRACE(content);
        TempSysDir dir;
        TempSysDir::Write(PasswordFilePath(), content);
        std::string password = "stale";
        EXPECT_TRUE(HasPasswordFile());
        ASSERT_TRUE(ReadPassword(password));
        EXPECT_EQ(password, expected);
        EXPECT_TRUE(CheckPassword(expected));
    }
}

TEST(SettingsWriters, FailureReportsFalseAndLeavesNoTemporaryFile) {
    TempSysDir dir;
    // Directories in the files' places: the temporary file is written but cannot be renamed.
    std::filesystem::create_directory(PasswordFilePath());
    std::filesystem::create_directory(LastLoginFilePath());
    EXPECT_FALSE(SavePassword("secret"));
    EXPECT_FALSE(WriteLastLogin(3, 8, 8));
    EXPECT_EQ(Entries(dir.Path()),
              (std::vector<std::string>{"kdxPassWord.kdx", "kdxUserLasted.kdx"}));

    dir.MakeUnwritable();
    EXPECT_FALSE(SavePassword("secret"));
    EXPECT_FALSE(WriteLastLogin(3, 8, 8));
}
