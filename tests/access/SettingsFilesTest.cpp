#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "access/SettingsFiles.h"
#include "access/TempSysDir.h"

namespace {

// Everything in the directory: the writers must not leave temporary files behind.
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
        int type, inputs, outputs;  // expected when ok; the sentinels stay otherwise
    };
    const Case cases[] = {
        {"3,8,8", true, 3, 8, 8},
        {"3,128,128", true, 3, 128, 128},
        {",,5", true, 0, 0, 5},
        {"3,1000000,1000000", true, 3, 1000000, 100000},  // 17 bytes: the last digit is cut
        {" 3, 16 ,4x", true, 3, 16, 4},
        {"1,2,3,4", true, 1, 2, 3},
        {"-1,abc,", true, -1, 0, 0},
        {"12", false, 0, 0, 0},
        {"3,8", false, 0, 0, 0},
        {"", false, 0, 0, 0},
        {"3,12345678901234,5", false, 0, 0, 0},       // the second comma lies past byte 16
        {std::string("3,8\0,8", 6), false, 0, 0, 0},  // the text ends at a zero byte
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.content);
        TempSysDir dir;
        TempSysDir::WriteFile(LastLoginFilePath(), c.content);
        int type = -7, inputs = -7, outputs = -7;
        EXPECT_EQ(ReadLastLogin(type, inputs, outputs), c.ok);
        if (c.ok) {
            EXPECT_EQ(type, c.type);
            EXPECT_EQ(inputs, c.inputs);
            EXPECT_EQ(outputs, c.outputs);
        } else {
            EXPECT_EQ(type, -7);
            EXPECT_EQ(inputs, -7);
            EXPECT_EQ(outputs, -7);
        }
    }
}

TEST(LastLoginFile, MissingFileGivesTheDefaultsAndSuccess) {
    TempSysDir dir;
    int type = -1, inputs = -1, outputs = -1;
    EXPECT_TRUE(ReadLastLogin(type, inputs, outputs));
    EXPECT_EQ(type, 0);
    EXPECT_EQ(inputs, 8);
    EXPECT_EQ(outputs, 8);
}

TEST(LastLoginFile, WritesExactlyTheCommaSeparatedNumbers) {
    TempSysDir dir;
    TempSysDir::WriteFile(LastLoginFilePath(), "3,1000000,1000000 and more");
    ASSERT_TRUE(WriteLastLogin(3, 8, 8));
    std::string bytes;
    ASSERT_TRUE(TempSysDir::ReadFile(dir.File("kdxUserLasted.kdx"), bytes));
    EXPECT_EQ(bytes, "3,8,8");

    ASSERT_TRUE(WriteLastLogin(-1, 0, 2147483647));
    ASSERT_TRUE(TempSysDir::ReadFile(LastLoginFilePath(), bytes));
    EXPECT_EQ(bytes, "-1,0,2147483647");
    EXPECT_EQ(Entries(dir.Path()), std::vector<std::string>{"kdxUserLasted.kdx"});
}

TEST(PasswordFile, HoldsThePasswordBytesAndNothingElse) {
    TempSysDir dir;
    EXPECT_FALSE(HasPasswordFile());
    std::string password = "untouched";
    EXPECT_FALSE(ReadPassword(password));
    EXPECT_EQ(password, "untouched");
    EXPECT_FALSE(CheckPassword(""));

    ASSERT_TRUE(SavePassword("a longer secret!"));
    ASSERT_TRUE(SavePassword("Pass "));
    std::string bytes;
    ASSERT_TRUE(TempSysDir::ReadFile(dir.File("kdxPassWord.kdx"), bytes));
    EXPECT_EQ(bytes, "Pass ");  // replaced, not overwritten in place
    EXPECT_TRUE(HasPasswordFile());
    ASSERT_TRUE(ReadPassword(password));
    EXPECT_EQ(password, "Pass ");
    EXPECT_TRUE(CheckPassword("Pass "));
    EXPECT_FALSE(CheckPassword("pass "));
    EXPECT_FALSE(CheckPassword("Pass"));
    EXPECT_EQ(Entries(dir.Path()), std::vector<std::string>{"kdxPassWord.kdx"});
}

TEST(PasswordFile, ReadersTakeSixteenBytesUpToAZeroByte) {
    struct Case {
        std::string content;
        std::string password;
    };
    const Case cases[] = {
        {"", ""},
        {"0123456789abcdefXYZ", "0123456789abcdef"},
        {std::string("ab\0cd", 5), "ab"},
        {"\xc3\xa9t\xc3\xa9", "\xc3\xa9t\xc3\xa9"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.content);
        TempSysDir dir;
        TempSysDir::WriteFile(PasswordFilePath(), c.content);
        EXPECT_TRUE(HasPasswordFile());
        std::string password = "stale";
        ASSERT_TRUE(ReadPassword(password));
        EXPECT_EQ(password, c.password);
        EXPECT_TRUE(CheckPassword(c.password));
    }
}

TEST(SettingsWriters, FailWhereNoFileCanBeCreated) {
    TempSysDir dir;
    dir.MakeUnwritable();
    EXPECT_FALSE(SavePassword("secret"));
    EXPECT_FALSE(WriteLastLogin(3, 8, 8));
    EXPECT_FALSE(HasPasswordFile());
}

TEST(SettingsWriters, AFailedReplaceLeavesNoTemporaryFile) {
    TempSysDir dir;
    // A directory in the file's place: the temporary file is written but cannot be renamed.
    std::filesystem::create_directory(PasswordFilePath());
    std::filesystem::create_directory(LastLoginFilePath());
    EXPECT_FALSE(SavePassword("secret"));
    EXPECT_FALSE(WriteLastLogin(3, 8, 8));
    EXPECT_EQ(Entries(dir.Path()),
              (std::vector<std::string>{"kdxPassWord.kdx", "kdxUserLasted.kdx"}));
    EXPECT_TRUE(std::filesystem::is_directory(PasswordFilePath()));
}

TEST(SettingsWriters, AReadOnlyDirectoryKeepsTheOldPassword) {
    if (::geteuid() == 0) {
        GTEST_SKIP() << "root writes into read-only directories; covered by the tests above";
    }
    TempSysDir dir;
    ASSERT_TRUE(SavePassword("old"));
    ASSERT_EQ(::chmod(dir.Path().c_str(), 0555), 0);
    EXPECT_FALSE(SavePassword("new"));
    ::chmod(dir.Path().c_str(), 0755);
    EXPECT_TRUE(CheckPassword("old"));
}

TEST(SettingsWriters, KeepThePermissionsOfTheFileTheyReplace) {
    TempSysDir dir;
    ASSERT_TRUE(SavePassword("old"));
    ASSERT_EQ(::chmod(PasswordFilePath().c_str(), 0640), 0);
    ASSERT_TRUE(SavePassword("new"));
    struct stat info {};
    ASSERT_EQ(::stat(PasswordFilePath().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0640u);
}
