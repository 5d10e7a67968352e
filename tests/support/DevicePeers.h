#pragma once

// The far ends of the links for tests that drive real ports: a system directory of their own,
// pseudo-terminals linked there as COMn, and a loopback TCP peer.
#include <chrono>
#include <cstdint>
#include <string>

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

// A pseudo-terminal linked as <sysdir>/COMn, raw. The test keeps the slave open (so the master
// never reads EIO and the line settings can be read back) and plays the device on the master.
class PtyPeer {
  public:
    PtyPeer(const std::string& sysDir, int com);
    ~PtyPeer();
    PtyPeer(const PtyPeer&) = delete;
    PtyPeer& operator=(const PtyPeer&) = delete;

    int SlaveFd() const { return m_slave; }
    // Takes the port the way another program holding it open would.
    void HoldExclusively();
    void Write(const std::string& bytes);
    // What arrives until `quiet` passes without a byte.
    std::string Read(std::chrono::milliseconds quiet = std::chrono::milliseconds(150));

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
    std::string Read(std::chrono::milliseconds quiet = std::chrono::milliseconds(150));
    // Drops the connection with a reset, so that the other side's next send fails.
    void Reset();

  private:
    int m_listener = -1;
    int m_conn = -1;
    std::uint16_t m_port = 0;
};
