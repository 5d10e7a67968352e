#pragma once

#include <chrono>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "link/CHandOff.h"
#include "platform/MessageBox.h"

// Waits until pred holds, for a generous while; the machine may be slow and shared.
bool WaitUntil(const std::function<bool()>& pred,
               std::chrono::milliseconds limit = std::chrono::seconds(20));

// MATRIXPANEL_SYSDIR pointed at a fresh temporary directory for the test's lifetime.
class ScopedSysDir {
  public:
    ScopedSysDir();
    ~ScopedSysDir();
    const std::string& Path() const { return m_path; }

  private:
    std::string m_path;
};

// A pseudo-terminal linked as <sysdir>/COMn. The test keeps the slave open (so the master
// never sees EIO and the line settings can be read back) and plays the device on the master.
class PtyPort {
  public:
    PtyPort(const std::string& sysDir, int com);
    ~PtyPort();
    int SlaveFd() const { return m_slave; }
    void Write(const std::string& bytes);
    // Everything that arrives until `quiet` passes without a byte (or `want` bytes arrived).
    std::string Read(std::size_t want, std::chrono::milliseconds quiet);

  private:
    int m_master = -1;
    int m_slave = -1;
    std::string m_link;
};

// A TCP listener on 127.0.0.1 and the one connection it accepts.
class TcpPeer {
  public:
    TcpPeer();
    ~TcpPeer();
    std::uint16_t Port() const { return m_port; }
    bool Accept();
    void Send(const std::string& bytes);
    std::string Read(std::size_t want, std::chrono::milliseconds quiet);
    void Close();
    // Closes with a reset, so that the other side's receive fails.
    void Reset();

  private:
    int m_listener = -1;
    int m_conn = -1;
    std::uint16_t m_port = 0;
};

// Records message boxes for the test's lifetime.
class MessageRecorder {
  public:
    MessageRecorder();
    ~MessageRecorder();
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
