// The fault suite: the whole program against links and settings files that fail in the ways
// they fail in the field. Every case must end without a crash or a hang (each runs under a
// watchdog), with the UI thread still answering and the settings bytes the case did not mean
// to change as they were.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pty.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QLineEdit>
#include <QTest>
#include <QTimer>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

#include "access/SettingsFiles.h"
#include "controls/CGradientButton.h"
#include "e2e/ProgramDriver.h"
#include "link/CNetClient.h"
#include "link/CSerialPort.h"
#include "panel/CStFunView.h"
#include "platform/qt/ControlId.h"
#include "platform/qt/WindowTimers.h"
#include "terminal/CAdFunView.h"

using namespace std::chrono_literals;

namespace {

// Ends the process with a message when a case runs longer than it ever should: a hang is a
// failure with a name, not a stuck CI job.
class Watchdog {
  public:
    explicit Watchdog(std::chrono::seconds limit)
        : m_thread([this, limit] {
              std::unique_lock lock(m_mutex);
              if (!m_done.wait_for(lock, limit, [this] { return m_released; })) {
                  std::fprintf(stderr, "HANG: %s did not end within %lld s\n",
                               ::testing::UnitTest::GetInstance()->current_test_info()->name(),
                               static_cast<long long>(limit.count()));
                  std::_Exit(3);
              }
          }) {}
    ~Watchdog() {
        {
            std::lock_guard lock(m_mutex);
            m_released = true;
        }
        m_done.notify_all();
        m_thread.join();
    }

  private:
    std::mutex m_mutex;
    std::condition_variable m_done;
    bool m_released = false;
    std::thread m_thread;
};

// The UI thread takes a posted task within a few seconds.
bool UiAnswers() {
    bool ran = false;
    QTimer::singleShot(0, [&ran] { ran = true; });
    return WaitFor([&ran] { return ran; }, 10000);
}

void PutBytes(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

int CountEntries(const char* dir) {
    int n = 0;
    if (DIR* d = ::opendir(dir)) {
        while (const dirent* e = ::readdir(d)) {
            n += e->d_name[0] != '.';
        }
        ::closedir(d);
    }
    return n;
}

// Every message box shown so far says "Send failure!" (the one error a dead link may show).
bool OnlySendFailures(const MessageRecorder& boxes) {
    for (const std::string& text : boxes.Texts()) {
        if (text != "Send failure!") {
            return false;
        }
    }
    return true;
}

// ---- the network link --------------------------------------------------------------------

struct NetFault : ::testing::Test {
    Watchdog watchdog{120s};
    MessageRecorder boxes;
    Program program;
    TcpPeer peer;

    void SetUp() override {
        ASSERT_TRUE(program.Start("4", "4"));
        program.ConnectThroughDialog(peer.Port());
        ASSERT_TRUE(peer.Accept());
        ASSERT_TRUE(WaitFor([&] { return program.Window().LinkModeNow() == LinkMode::Network; }));
    }
    // Presses crosspoints until a message box shows or `presses` are done.
    void PressKeys(int presses) {
        const CSwitchModel& model = program.Window().Panel()->Model();
        for (int k = 0; k < presses && boxes.Texts().empty(); ++k) {
            program.ClickKey(model.GridKey(1 + k % 4, 1 + k % 3));
            QTest::qWait(10);
        }
    }
};

TEST_F(NetFault, PeerClosesThenCommandsFailWithoutHarm) {
    peer.Close();
    ASSERT_TRUE(WaitFor([&] { return !program.Window().ReceiveThreadRunning(); }));
    PressKeys(50);
    EXPECT_TRUE(OnlySendFailures(boxes));
    EXPECT_TRUE(UiAnswers());
}

TEST_F(NetFault, PeerResetsThenASendFails) {
    peer.Reset();
    PressKeys(50);
    ASSERT_FALSE(boxes.Texts().empty()) << "a send on a reset connection reported nothing";
    EXPECT_TRUE(OnlySendFailures(boxes));
    EXPECT_TRUE(UiAnswers());
}

TEST_F(NetFault, PeerNeverReadsThenASendTimesOut) {
    // The terminal's send field takes long texts; the peer never reads, so the socket's
    // buffers fill and a send must give up after its time limit instead of freezing the UI.
    CAdFunView* terminal = program.Window().Terminal();
    FindControlAs<QLineEdit>(terminal, CAdFunView::kIdSendText)
        ->setText(QString(30000, QLatin1Char('x')));
    auto longest = 0ms;
    for (int k = 0; k < 2000 && boxes.Texts().empty(); ++k) {
        const auto start = std::chrono::steady_clock::now();
        terminal->OnSend();
        longest = std::max(longest, std::chrono::duration_cast<std::chrono::milliseconds>(
                                        std::chrono::steady_clock::now() - start));
    }
    ASSERT_FALSE(boxes.Texts().empty()) << "buffers never filled";
    EXPECT_TRUE(OnlySendFailures(boxes));
    // The time limit is 1 s; anything near the watchdog's limit would be a hang.
    EXPECT_LT(longest, 30s);
    EXPECT_TRUE(UiAnswers());
}

TEST(NetConnectFault, RefusedConnectShowsUnsuccessAndKeepsSerial) {
    Watchdog watchdog{120s};
    Program program;
    ASSERT_TRUE(program.Start("4", "4"));
    program.ConnectThroughDialog(ClosedPort());
    ASSERT_TRUE(WaitFor([&] { return program.ReplyBox() == "connect unsuccess!\r\n"; }))
        << program.ReplyBox();
    EXPECT_EQ(program.Window().LinkModeNow(), LinkMode::Serial);
    EXPECT_TRUE(UiAnswers());
}

TEST(NetConnectFault, FullBacklogThenComGoesBackToSerialAndExitIsPrompt) {
    Watchdog watchdog{120s};
    BlackHole hole;
    Program program;
    const std::string log = SimLog(program);
    const auto sim = StartSim(program, "4");
    ASSERT_NE(sim->Port(), 0);
    ASSERT_TRUE(program.Start("4", "4"));
    program.ConnectThroughDialog(hole.Port());  // waits for a handshake that never comes
    EXPECT_TRUE(program.Window().Timers().IsActive(CMainPanelDlg::kConnectTimerId));
    program.ChooseLink("COM");
    ASSERT_TRUE(
        WaitFor([&] { return program.app->Serial().State() == CSerialPort::PortState::Open; }));
    EXPECT_EQ(program.Window().LinkModeNow(), LinkMode::Serial);
    EXPECT_TRUE(UiAnswers());
    program.ClickKey(program.Window().Panel()->Model().GridKey(1, 2));
    EXPECT_TRUE(WaitFor([&] { return SimReceived(log, "pty") == "2B1."; }))
        << SimReceived(log, "pty");
    const auto start = std::chrono::steady_clock::now();
    program.Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
}

// ---- the serial link ---------------------------------------------------------------------

// A pseudo-terminal linked as <sysdir>/COM1 whose master the test can close: the device
// going away under the program.
struct VanishingPty {
    int master = -1;
    explicit VanishingPty(const std::string& sysDir) {
        int slave = -1;
        char name[128];
        if (::openpty(&master, &slave, name, nullptr, nullptr) == 0) {
            ::close(slave);  // the program opens its own
            ::symlink(name, (sysDir + "/COM1").c_str());
        }
    }
    void Close() {
        if (master >= 0) {
            ::close(master);
            master = -1;
        }
    }
    ~VanishingPty() { Close(); }
};

TEST(SerialFault, DeviceVanishesInTheMiddleOfAReplyLine) {
    Watchdog watchdog{120s};
    MessageRecorder boxes;
    Program program;
    VanishingPty pty(program.sysDir.Path());
    ASSERT_GE(pty.master, 0);
    ASSERT_TRUE(program.Start("4", "4"));
    ASSERT_EQ(program.app->Serial().State(), CSerialPort::PortState::Open);
    const std::string half = "AV:1->";
    ASSERT_EQ(::write(pty.master, half.data(), half.size()), static_cast<ssize_t>(half.size()));
    QTest::qWait(100);  // the reader is in the middle of a line
    pty.Close();
    QTest::qWait(200);
    const CSwitchModel& model = program.Window().Panel()->Model();
    for (int k = 1; k <= 3; ++k) {
        program.ClickKey(model.GridKey(k, 1));
    }
    EXPECT_TRUE(UiAnswers());
    EXPECT_TRUE(OnlySendFailures(boxes));
    EXPECT_FALSE(program.Window().Panel()->Key(model.GridKey(2, 1))->IsLit());
    program.ChooseLink("COM");  // reopening a port whose device is gone fails quietly
    EXPECT_TRUE(UiAnswers());
}

TEST(SerialFault, FiftyUnplugsInTheMiddleOfAReplyFlood) {
    Watchdog watchdog{280s};
    MessageRecorder boxes;
    Program program;
    const std::string com1 = program.sysDir.Path() + "/COM1";
    auto pty = std::make_unique<VanishingPty>(program.sysDir.Path());
    ASSERT_TRUE(program.Start("4", "4"));
    for (int round = 0; round < 50; ++round) {
        if (round > 0) {  // the adapter plugged in again: COM opens it
            ::unlink(com1.c_str());
            pty = std::make_unique<VanishingPty>(program.sysDir.Path());
            program.ChooseLink("COM");
        }
        ASSERT_EQ(program.app->Serial().State(), CSerialPort::PortState::Open) << round;
        // The device floods replies and goes away in the middle of one, while the reader hands
        // them to the UI thread.
        std::thread device([&pty, round] {
            const std::string line = "AV:1->" + std::to_string(1 + round % 4) + "\r\n";
            for (int k = 0; k < 3000; ++k) {
                [[maybe_unused]] const ssize_t n = ::write(pty->master, line.data(), line.size());
            }
            [[maybe_unused]] const ssize_t n = ::write(pty->master, "AV:2-", 5);
            pty->Close();
        });
        const bool closed =
            WaitFor([&] { return program.app->Serial().State() != CSerialPort::PortState::Open; });
        device.join();
        ASSERT_TRUE(closed) << round;
    }
    EXPECT_TRUE(OnlySendFailures(boxes));
    EXPECT_TRUE(UiAnswers());
}

TEST(SerialFault, Com1PointsAtAMissingDevice) {
    Watchdog watchdog{120s};
    MessageRecorder boxes;
    Program program;
    ASSERT_EQ(
        ::symlink("/dev/matrixpanel-no-such-device", (program.sysDir.Path() + "/COM1").c_str()), 0);
    ASSERT_TRUE(program.Start("4", "4"));
    EXPECT_NE(program.app->Serial().State(), CSerialPort::PortState::Open);
    program.ClickKey(program.Window().Panel()->Model().GridKey(1, 1));
    program.ChooseLink("COM");
    EXPECT_NE(program.app->Serial().State(), CSerialPort::PortState::Open);
    EXPECT_TRUE(OnlySendFailures(boxes));
    EXPECT_TRUE(UiAnswers());
}

// ---- many link changes -------------------------------------------------------------------

int OpenDescriptors() {
    return CountEntries("/proc/self/fd");
}
int Threads() {
    return CountEntries("/proc/self/task");
}

TEST(LinkCycles, TwoHundredNetComCyclesLeaveNoDescriptorOrThread) {
    Watchdog watchdog{280s};
    Program program;
    const auto sim = StartSim(program, "4");
    const std::uint16_t port = sim->Port();
    ASSERT_NE(port, 0);
    ASSERT_TRUE(program.Start("4", "4"));
    const auto cycle = [&] {
        program.ConnectThroughDialog(port);
        ASSERT_TRUE(WaitFor([&] { return program.Window().LinkModeNow() == LinkMode::Network; }));
        program.ChooseLink("COM");
        ASSERT_TRUE(WaitFor([&] { return !program.Window().ReceiveThreadRunning(); }));
    };
    cycle();  // the first cycle may create what stays for the program's life
    // Threads end a moment after they are told to: let the count settle before each look.
    QTest::qWait(200);
    const int fds = OpenDescriptors();
    const int threads = Threads();
    for (int k = 0; k < 200; ++k) {
        cycle();
        if (HasFatalFailure()) {
            FAIL() << "cycle " << k;
        }
    }
    EXPECT_TRUE(WaitFor([&] { return OpenDescriptors() <= fds && Threads() <= threads; }, 10000))
        << "descriptors " << fds << " -> " << OpenDescriptors() << ", threads " << threads << " -> "
        << Threads();
    EXPECT_EQ(program.app->Serial().State(), CSerialPort::PortState::Open);
    EXPECT_TRUE(UiAnswers());
}

// ---- the settings directory --------------------------------------------------------------

constexpr const char* kOldChoice = "1,12,12";

// Logs in with 4 x 4 (which writes the last login) and checks the case's expectations.
void LogInWithin(Program& program) {
    ASSERT_TRUE(program.Start("4", "4"));
    EXPECT_TRUE(UiAnswers());
}

TEST(SettingsDirFault, MissingDirectoryLetsTheLoginThrough) {
    Watchdog watchdog{120s};
    Program program;
    const std::string missing = program.sysDir.Path() + "/gone";
    ::setenv("MATRIXPANEL_SYSDIR", missing.c_str(), 1);
    LogInWithin(program);
    struct stat info {};
    EXPECT_NE(::stat(missing.c_str(), &info), 0) << "nothing creates the directory";
}

TEST(SettingsDirFault, ReadOnlyDirectoryKeepsTheOldChoice) {
    if (::geteuid() == 0) {
        GTEST_SKIP() << "root writes into a directory without write permission";
    }
    Watchdog watchdog{120s};
    Program program;
    const std::string& dir = program.sysDir.Path();
    PutBytes(dir + "/" + kLastLoginFileName, kOldChoice);
    ASSERT_EQ(::chmod(dir.c_str(), 0555), 0);
    LogInWithin(program);
    ::chmod(dir.c_str(), 0755);
    EXPECT_EQ(FileText(dir + "/" + kLastLoginFileName), kOldChoice);
    EXPECT_EQ(CountEntries(dir.c_str()), 1);
}

TEST(SettingsDirFault, FullFileSystemKeepsTheOldChoice) {
    Watchdog watchdog{120s};
    Program program;
    const std::string dir = program.sysDir.Path() + "/small";
    ASSERT_EQ(::mkdir(dir.c_str(), 0755), 0);
    if (::mount("tmpfs", dir.c_str(), "tmpfs", 0, "size=64k") != 0) {
        GTEST_SKIP() << "cannot mount a small tmpfs here (" << std::strerror(errno) << ")";
    }
    ::setenv("MATRIXPANEL_SYSDIR", dir.c_str(), 1);
    PutBytes(dir + "/" + kLastLoginFileName, kOldChoice);
    {
        std::ofstream filler(dir + "/filler", std::ios::binary);
        const std::string block(4096, 'f');
        for (int k = 0; k < 64 && filler; ++k) {
            filler << block << std::flush;
        }
    }
    LogInWithin(program);
    EXPECT_EQ(FileText(dir + "/" + kLastLoginFileName), kOldChoice);
    EXPECT_EQ(CountEntries(dir.c_str()), 2) << "a temporary file was left behind";
    ::umount2(dir.c_str(), MNT_DETACH);
}

// ---- settings files that are not files ---------------------------------------------------

struct OddFile {
    const char* name;
    // Puts the odd thing at `path`; returns false when this machine cannot make it.
    bool (*make)(const std::string& path);
    bool readable;  // a regular file, read as far as a reader looks
};

const OddFile kOddFiles[] = {
    {"fifo", [](const std::string& p) { return ::mkfifo(p.c_str(), 0600) == 0; }, false},
    {"directory", [](const std::string& p) { return ::mkdir(p.c_str(), 0700) == 0; }, false},
    {"300 MB file",
     [](const std::string& p) {
         // "1,2,3" then zeros, sparse: 300 MB to every reader, a few bytes on the disk.
         const int fd = ::open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
         const bool ok =
             fd >= 0 && ::write(fd, "1,2,3", 5) == 5 && ::ftruncate(fd, 300LL << 20) == 0;
         if (fd >= 0) {
             ::close(fd);
         }
         return ok;
     },
     true},
    {"/dev/zero", [](const std::string& p) { return ::symlink("/dev/zero", p.c_str()) == 0; },
     false},
};

// The password file odd: a password is required; one that is not a regular file is never
// confirmed (fail closed), a huge one is read only as far as its first bytes; all promptly,
// and the odd thing is left as it was.
TEST(SettingsFileFault, OddPasswordFilesFailClosedWithoutWaiting) {
    for (const OddFile& odd : kOddFiles) {
        SCOPED_TRACE(odd.name);
        Watchdog watchdog{60s};
        ScopedSysDir dir;
        const std::string path = PasswordFilePath();
        ASSERT_TRUE(odd.make(path));
        struct stat before {};
        ASSERT_EQ(::lstat(path.c_str(), &before), 0);
        std::string stored = "untouched";
        EXPECT_TRUE(HasPasswordFile());
        EXPECT_EQ(ReadPassword(stored), odd.readable);
        EXPECT_EQ(stored, odd.readable ? "1,2,3" : "untouched");
        EXPECT_FALSE(CheckPassword(""));
        EXPECT_EQ(CheckPassword("1,2,3"), odd.readable);
        struct stat after {};
        ASSERT_EQ(::lstat(path.c_str(), &after), 0);
        EXPECT_EQ(after.st_ino, before.st_ino);
        EXPECT_EQ(after.st_size, before.st_size);
    }
}

// The last-login file odd (not /dev/zero: the login writes its choice through the link, and a
// test must not touch the machine's devices): the login starts with the defaults or gives up
// on the file, and never waits for it. The password file beside it keeps its bytes.
TEST(SettingsFileFault, OddLastLoginFilesNeverHoldTheLogin) {
    for (const OddFile& odd : kOddFiles) {
        if (std::string(odd.name) == "/dev/zero") {
            continue;
        }
        SCOPED_TRACE(odd.name);
        Watchdog watchdog{60s};
        Program program;
        ASSERT_TRUE(odd.make(LastLoginFilePath()));
        int type = -1, inputs = -1, outputs = -1;
        ReadLastLogin(type, inputs, outputs);
        LogInWithin(program);
    }
    ScopedSysDir dir;
    ASSERT_EQ(::symlink("/dev/zero", LastLoginFilePath().c_str()), 0);
    int type = -1, inputs = -1, outputs = -1;
    EXPECT_TRUE(ReadLastLogin(type, inputs, outputs));
    EXPECT_EQ((std::array<int, 3>{type, inputs, outputs}), (std::array<int, 3>{0, 8, 8}));
}

}  // namespace
