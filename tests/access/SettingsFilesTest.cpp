#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <future>
#include <random>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "access/LabelsFile.h"
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

// Runs `read` on a thread of its own and returns its result. A reader that blocks on the FIFO
// at `path` is a failure; brief visits of a writer then free it so that the suite goes on.
template <class Read>
auto WithoutBlocking(const std::string& path, Read read) {
    auto result = std::async(std::launch::async, read);
    if (result.wait_for(std::chrono::seconds(2)) != std::future_status::ready) {
        ADD_FAILURE() << "a reader blocked on " << path;
        while (result.wait_for(std::chrono::milliseconds(20)) != std::future_status::ready) {
            const int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
            if (fd >= 0) {
                ::close(fd);
            }
        }
    }
    return result.get();
}

// Things that can stand where a settings file should be without being a readable file.
enum class Stand { kFifo, kDirectory, kDeviceLink, kDanglingLink };

void PlaceAt(Stand what, const std::string& path) {
    switch (what) {
        case Stand::kFifo:
            ASSERT_EQ(::mkfifo(path.c_str(), 0666), 0);
            break;
        case Stand::kDirectory:
            std::filesystem::create_directory(path);
            break;
        case Stand::kDeviceLink:  // reads as an empty file: the empty password
            std::filesystem::create_symlink("/dev/null", path);
            break;
        case Stand::kDanglingLink:  // say, to a volume that is not mounted
            std::filesystem::create_symlink(path + ".gone/file", path);
            break;
    }
}

mode_t ModeOf(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
}

// Sets the umask while it lives.
class ScopedUmask {
  public:
    explicit ScopedUmask(mode_t mask) : m_old(::umask(mask)) {}
    ~ScopedUmask() { ::umask(m_old); }
    ScopedUmask(const ScopedUmask&) = delete;
    ScopedUmask& operator=(const ScopedUmask&) = delete;

  private:
    mode_t m_old;
};

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

TEST(SettingsWriters, NothingButASettingsFileIsEverReplaced) {
    // A FIFO in the files' places, or reached through a link (as /dev/zero could be): the
    // writers refuse, and the thing stays what it was.
    TempSysDir dir;
    const std::string fifo = dir.Path() + "/elsewhere.fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::filesystem::create_symlink(fifo, PasswordFilePath());
    ASSERT_EQ(::mkfifo(LastLoginFilePath().c_str(), 0600), 0);
    EXPECT_FALSE(SavePassword("secret"));
    EXPECT_FALSE(WriteLastLogin(3, 8, 8));
    for (const std::string& path : {fifo, LastLoginFilePath()}) {
        EXPECT_TRUE(std::filesystem::is_fifo(path)) << path;
    }
    EXPECT_EQ(Entries(dir.Path()),
              (std::vector<std::string>{"elsewhere.fifo", "kdxPassWord.kdx", "kdxUserLasted.kdx"}));
}

TEST(SettingsReaders, OnlyARegularFileIsReadAndNothingWaits) {
    const std::pair<Stand, const char*> cases[] = {{Stand::kFifo, "FIFO"},
                                                   {Stand::kDirectory, "directory"},
                                                   {Stand::kDeviceLink, "link to /dev/null"},
                                                   {Stand::kDanglingLink, "dangling link"}};
    for (const auto& [what, name] : cases) {
        SCOPED_TRACE(name);
        TempSysDir dir;
        PlaceAt(what, PasswordFilePath());
        PlaceAt(what, LastLoginFilePath());

        // There is a password, but none is confirmed, the empty one least of all.
        const auto [hasFile, readOk, password, emptyMatches] =
            WithoutBlocking(PasswordFilePath(), [] {
                std::string text = "untouched";
                const bool has = HasPasswordFile();
                const bool read = ReadPassword(text);
                return std::tuple(has, read, text, CheckPassword(""));
            });
        EXPECT_TRUE(hasFile);
        EXPECT_FALSE(readOk);
        EXPECT_EQ(password, "untouched");
        EXPECT_FALSE(emptyMatches);

        // The last login choice is only a convenience: it falls back to the defaults.
        const auto values = WithoutBlocking(LastLoginFilePath(), [] {
            int type = -7, inputs = -7, outputs = -7;
            const bool ok = ReadLastLogin(type, inputs, outputs);
            return std::vector<int>({ok, type, inputs, outputs});
        });
        EXPECT_EQ(values, std::vector<int>({true, 0, 8, 8}));
    }
}

TEST(SettingsWriters, WriteThroughSymbolicLinksToTheFileAtTheEnd) {
    struct Case {
        const char* name;
        std::vector<std::pair<std::string, std::string>> links;  // in the system directory
        bool targetExists;
    };
    // "F" is the settings file's own name, "@" the system directory; the chain ends at
    // sub/real. A relative link counts from the directory the link is in.
    const Case cases[] = {
        {"absolute", {{"F", "@/sub/real"}}, true},
        {"relative", {{"F", "sub/real"}}, true},
        {"chain through another directory", {{"F", "sub/hop"}, {"sub/hop", "real"}}, true},
        {"dangling", {{"F", "sub/real"}}, false},
    };
    for (const Case& c : cases) {
        for (const std::string name : {kPasswordFileName, kLastLoginFileName}) {
            SCOPED_TRACE(std::string(c.name) + " " + name);
            TempSysDir dir;
            const std::string sub = dir.Path() + "/sub";
            std::filesystem::create_directory(sub);
            if (c.targetExists) {
                TempSysDir::Write(sub + "/real", "old content");
            }
            std::string fileLinkText;  // what the settings file's own link says
            for (auto [link, text] : c.links) {
                if (text.front() == '@') {
                    text = dir.Path() + text.substr(1);
                }
                if (link == "F") {
                    link = name;
                    fileLinkText = text;
                }
                std::filesystem::create_symlink(text, dir.Path() + "/" + link);
            }

            const bool isPassword = name == kPasswordFileName;
            ASSERT_TRUE(isPassword ? SavePassword("new") : WriteLastLogin(3, 4, 5));
            EXPECT_EQ(TempSysDir::Read(sub + "/real"), isPassword ? "new" : "3,4,5");
            const std::string path = dir.Path() + "/" + name;
            ASSERT_TRUE(std::filesystem::is_symlink(path));
            EXPECT_EQ(std::filesystem::read_symlink(path).string(), fileLinkText);
            // Nothing left beside the target or the link.
            EXPECT_EQ(Entries(dir.Path()), (std::vector<std::string>{name, "sub"}));
            const std::vector<std::string> inSub = c.links.size() == 2
                                                       ? std::vector<std::string>{"hop", "real"}
                                                       : std::vector<std::string>{"real"};
            EXPECT_EQ(Entries(sub), inSub);
        }
    }

    // A chain without an end is not written at all.
    TempSysDir dir;
    std::filesystem::create_symlink("loop", PasswordFilePath());
    std::filesystem::create_symlink(kPasswordFileName, dir.Path() + "/loop");
    EXPECT_FALSE(SavePassword("new"));
    EXPECT_EQ(Entries(dir.Path()), (std::vector<std::string>{kPasswordFileName, "loop"}));
}

TEST(SettingsWriters, ReplacementKeepsTheOldFilesGroupAndMode) {
    // A group other than the process's own that the process may give a file: any for root,
    // else one of its supplementary groups.
    gid_t group = ::getegid() == 65534 ? 65533 : 65534;
    if (::geteuid() != 0) {
        std::vector<gid_t> groups(static_cast<std::size_t>(std::max(::getgroups(0, nullptr), 0)));
        groups.resize(static_cast<std::size_t>(
            std::max(::getgroups(static_cast<int>(groups.size()), groups.data()), 0)));
        const auto other = std::find_if(groups.begin(), groups.end(),
                                        [](gid_t gid) { return gid != ::getegid(); });
        if (other == groups.end()) {
            GTEST_SKIP() << "the process is in no group besides its own";
        }
        group = *other;
    }
    TempSysDir dir;
    for (const std::string& path : {PasswordFilePath(), LastLoginFilePath()}) {
        SCOPED_TRACE(path);
        TempSysDir::Write(path, "3,8,8");
        ASSERT_EQ(::chown(path.c_str(), static_cast<uid_t>(-1), group), 0);
        ASSERT_EQ(::chmod(path.c_str(), 0604), 0);
    }
    ASSERT_TRUE(SavePassword("new"));
    ASSERT_TRUE(WriteLastLogin(3, 16, 16));
    for (const std::string& path : {PasswordFilePath(), LastLoginFilePath()}) {
        SCOPED_TRACE(path);
        struct stat info {};
        ASSERT_EQ(::stat(path.c_str(), &info), 0);
        EXPECT_EQ(info.st_gid, group);
        EXPECT_EQ(info.st_mode & 07777, 0604u);  // the operator's choice, odd as it is
    }
}

TEST(SettingsWriters, ANewPasswordFileIsNeverReadableByOthers) {
    for (const mode_t mask : {000, 022, 077}) {
        SCOPED_TRACE(mask);
        TempSysDir dir;
        const ScopedUmask guard(mask);
        ASSERT_TRUE(SavePassword("secret"));
        ASSERT_TRUE(WriteLastLogin(3, 8, 8));
        EXPECT_EQ(ModeOf(PasswordFilePath()), 0660u & ~mask);
        EXPECT_EQ(ModeOf(LastLoginFilePath()), 0666u & ~mask);  // no secret in it
    }
}

TEST(LabelsFileWriter, ChangesOnlyTheEntriesThatChangedAndKeepsEveryOtherLine) {
    TempSysDir dir;
    const std::string path = DefaultLabelsFilePath();
    TempSysDir::Write(path,
                      "; studio names\n[inputs]\n# cameras\n1=Camera 1\n2 =  Laptop\n9=\n"
                      "[general]\nx=y\n[outputs]\n3=Projector\n");
    LabelNames names;
    names.inputs = {{1, "Camera 1"}, {2, "Desk; PC"}, {4, " New\r\nline "}};  // kept as one line
    names.outputs = {{3, ""}};  // an empty name is no name
    ASSERT_TRUE(WriteLabelsFile(path, names));
    EXPECT_EQ(TempSysDir::Read(path),
              "; studio names\n[inputs]\n# cameras\n1=Camera 1\n2 =  Desk; PC\n9=\n4=New  line\n"
              "[general]\nx=y\n[outputs]\n");

    // A CRLF file stays one, and a missing section is added.
    TempSysDir::Write(path, "\xEF\xBB\xBF[inputs]\r\n1=A\r\n");
    names = {{{1, "B"}}, {{2, "Screen"}}};
    ASSERT_TRUE(WriteLabelsFile(path, names));
    EXPECT_EQ(TempSysDir::Read(path), "\xEF\xBB\xBF[inputs]\r\n1=B\r\n[outputs]\r\n2=Screen\r\n");

    // What cannot be kept is refused, and the file stays as it was.
    const std::string before = TempSysDir::Read(path);
    EXPECT_FALSE(WriteLabelsFile(path, {{{1, "bad\xFF"}}, {}}));
    EXPECT_FALSE(WriteLabelsFile(path, {{{0, "zero"}}, {}}));
    EXPECT_EQ(TempSysDir::Read(path), before);
    EXPECT_EQ(Entries(dir.Path()), std::vector<std::string>{kLabelsFileName});
}

namespace {

// Runs `work` in a child process, as user and group `id` when `id` is not 0 (which needs root).
// True when the child got its identity and `work` returned true.
template <class Work>
bool InChild(uid_t id, Work work) {
    const pid_t child = ::fork();
    if (child == 0) {
        const bool as = id == 0 || (::setgroups(0, nullptr) == 0 && ::setresgid(id, id, id) == 0 &&
                                    ::setresuid(id, id, id) == 0);
        ::_exit(as && work() ? 0 : 1);
    }
    int status = 0;
    return child > 0 && ::waitpid(child, &status, 0) == child && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0;
}

}  // namespace

TEST(SettingsWriters, OnlyLinksOfRootOrTheWriterAreFollowed) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "acting as two users needs root";
    }
    constexpr uid_t kPlanter = 54321;  // users no one has
    constexpr uid_t kWriter = 54322;
    {
        // A root directory only root may enter (a chroot made with mktemp) keeps every other
        // user out of the temporary directory: nothing to test there.
        TempSysDir probe;
        ::chmod(probe.Path().c_str(), 0777);
        if (!InChild(kWriter, [&] { return ::access(probe.Path().c_str(), W_OK | X_OK) == 0; })) {
            GTEST_SKIP() << "another user cannot reach " << probe.Path() << " here";
        }
    }
    struct Case {
        const char* what;
        std::vector<std::pair<std::string, uid_t>> chain;  // links from the settings file on
        bool followed;
    };
    const Case cases[] = {
        {"another user's link", {{"F", kPlanter}}, false},
        {"the writer's own link", {{"F", kWriter}}, true},
        {"root's link", {{"F", 0}}, true},
        {"root's link to another user's", {{"F", 0}, {"hop", kPlanter}}, false},
    };
    // The labels file's writer reads the old file first: a link it does not follow is not read
    // either, so nothing of the planter's choosing is copied into the new file.
    const std::pair<std::string, std::string> writes[] = {{kLastLoginFileName, "1,2,3"},
                                                          {kLabelsFileName, "[inputs]\n1=A\n"}};
    for (const Case& c : cases) {
        for (const auto& [file, written] : writes) {
            SCOPED_TRACE(c.what + (" " + file));
            TempSysDir dir;
            ASSERT_EQ(::chmod(dir.Path().c_str(), 0777), 0);  // a directory a group writes
            const std::string victim = dir.Path() + "/victim";
            TempSysDir::Write(victim, "notes\n");
            ASSERT_EQ(::chmod(victim.c_str(), 0666), 0);
            const std::string path = dir.Path() + "/" + file;
            for (std::size_t i = 0; i < c.chain.size(); ++i) {
                const std::string link = i == 0 ? path : dir.Path() + "/" + c.chain[i].first;
                const std::string to = i + 1 < c.chain.size() ? c.chain[i + 1].first : victim;
                std::filesystem::create_symlink(to, link);
                ASSERT_EQ(::lchown(link.c_str(), c.chain[i].second, c.chain[i].second), 0);
            }
            EXPECT_TRUE(InChild(kWriter, [&] {
                return file == kLastLoginFileName ? WriteLastLogin(1, 2, 3)
                                                  : WriteLabelsFile(path, {{{1, "A"}}, {}});
            }));
            const std::string followedText =
                file == kLastLoginFileName ? written : "notes\n" + written;
            EXPECT_EQ(TempSysDir::Read(victim), c.followed ? followedText : "notes\n");
            EXPECT_EQ(std::filesystem::is_symlink(path), c.followed);
            EXPECT_EQ(TempSysDir::Read(path), c.followed ? followedText : written);
        }
    }
}

TEST(SettingsWriters, AWriterKilledAtAnyMomentLeavesNoTemporaryFile) {
    TempSysDir dir;
    const std::string contents[] = {std::string(4096, 'a'), "short secret"};
    ASSERT_TRUE(SavePassword(contents[1]));
    const unsigned seed = std::random_device()();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    for (int kill = 0; kill < 50; ++kill) {
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            for (unsigned i = 0;; ++i) {
                SavePassword(contents[i % 2]);
            }
        }
        std::this_thread::sleep_for(
            std::chrono::microseconds(std::uniform_int_distribution<int>(0, 5000)(random)));
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);
    }
    const std::string left = TempSysDir::Read(PasswordFilePath());
    EXPECT_TRUE(left == contents[0] || left == contents[1]) << "torn: " << left.size() << " bytes";
    ASSERT_TRUE(SavePassword("final"));
    EXPECT_EQ(Entries(dir.Path()), std::vector<std::string>{kPasswordFileName});
}
