#pragma once

// The far ends of the links for tests that drive real ports (a system directory of their own,
// pseudo-terminals linked there as COMn, loopback TCP peers), and recorders for what the links
// hand over.
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <limits>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "link/CHandOff.h"

// Waits until pred holds, for a generous while; the machine may be slow and shared.
bool WaitUntil(const std::function<bool()>& pred,
               std::chrono::milliseconds limit = std::chrono::seconds(20));

// A file's bytes; empty when it cannot be read.
std::string FileText(const std::string& path);

// MATRIXPANEL_SYSDIR points at a fresh temporary directory while the object lives.
class ScopedSysDir {
  public:
    ScopedSysDir();
    ~ScopedSysDir();
    ScopedSysDir(const ScopedSysDir&) = delete;
    ScopedSysDir& operator=(const ScopedSysDir&) = delete;
    const std::string& Path() const { return m_path; }

  private:
    std::string m_path;
};

// How long a peer's Read waits for a further byte before it takes what came as all there is.
inline constexpr std::chrono::milliseconds kQuietPeriod{150};
// A Read with no byte target reads until the line goes quiet.
inline constexpr std::size_t kAnyLength = std::numeric_limits<std::size_t>::max();

// A pseudo-terminal linked as <sysdir>/COMn, raw. The test keeps the slave open (so the master
// never reads EIO and the line settings can be read back) and plays the device on the master.
class PtyPort {
  public:
    PtyPort(const std::string& sysDir, int com);
    ~PtyPort();
    PtyPort(const PtyPort&) = delete;
    PtyPort& operator=(const PtyPort&) = delete;

    int SlaveFd() const { return m_slave; }
    // Takes the port the way another program holding it open would.
    void HoldExclusively();
    void Write(const std::string& bytes);
    // What arrives until `quiet` passes without a byte, or until `want` bytes arrived.
    std::string Read(std::chrono::milliseconds quiet = kQuietPeriod, std::size_t want = kAnyLength);

  private:
    int m_master = -1;
    int m_slave = -1;
    std::string m_link;
};

// A listener on 127.0.0.1 and the one connection it accepts.
class TcpPeer {
  public:
    TcpPeer();
    ~TcpPeer();
    TcpPeer(const TcpPeer&) = delete;
    TcpPeer& operator=(const TcpPeer&) = delete;

    std::uint16_t Port() const { return m_port; }
    bool Accept();
    void Send(const std::string& bytes);
    // What arrives until `quiet` passes without a byte, or until `want` bytes arrived.
    std::string Read(std::chrono::milliseconds quiet = kQuietPeriod, std::size_t want = kAnyLength);
    void Close();
    // Drops the connection with a reset, so that the other side's next receive or send fails.
    void Reset();

  private:
    int m_listener = -1;
    int m_conn = -1;
    std::uint16_t m_port = 0;
};

// A loopback port where nothing listens (a peer that went away): a connect there is refused.
std::uint16_t ClosedPort();

// A loopback listener that never accepts and whose backlog is full: a connect to it waits for
// a handshake that does not come.
class BlackHole {
  public:
    BlackHole();
    ~BlackHole();
    BlackHole(const BlackHole&) = delete;
    BlackHole& operator=(const BlackHole&) = delete;
    std::uint16_t Port() const { return m_port; }

  private:
    int m_listener = -1;
    std::uint16_t m_port = 0;
    std::vector<int> m_fillers;
};

// Records message boxes for the test's lifetime.
class MessageRecorder {
  public:
    MessageRecorder();
    ~MessageRecorder();
    MessageRecorder(const MessageRecorder&) = delete;
    MessageRecorder& operator=(const MessageRecorder&) = delete;
    std::vector<std::string> Texts() const;

  private:
    mutable std::mutex m_mutex;
    std::vector<std::string> m_texts;
};

// Collects hand-offs from any thread.
class TextSink {
  public:
    std::function<void(std::string_view)> Receiver();
    std::vector<std::string> Items() const;
    std::string Joined() const;
    std::size_t Count() const;

  private:
    mutable std::mutex m_mutex;
    std::vector<std::string> m_items;
};

// Plays the UI thread's queue: posted tasks wait until the test runs them.
class FakeUiQueue {
  public:
    UiPost Post();
    std::size_t Pending() const;
    void RunAll();

  private:
    mutable std::mutex m_mutex;
    std::deque<std::function<void()>> m_tasks;
};
