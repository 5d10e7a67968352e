#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "link/CNetClient.h"
#include "panel/CommandSet.h"
#include "platform/CSerialDevice.h"
#include "tools/matrixctl/CReplyCollector.h"

// One link to the switcher for one call: open it, send the commands, read the replies on a
// thread of its own into a collector, close. Failures come back as a one-line reason for the
// user.
class CCtlLink {
  public:
    virtual ~CCtlLink() = default;

    virtual bool Open(std::string& reason) = 0;
    // The command's text with the terminator its link appends, or (raw) the text alone.
    virtual bool Send(const DeviceCommand& command, bool raw, std::string& reason) = 0;
    // Starts the reader; what it reads goes to the collector until Close.
    virtual void StartReading(CReplyCollector& collector) = 0;
    // Stops and joins the reader, then closes the link. Safe to call more than once.
    virtual void Close() = 0;
};

// TCP through the panel's network client: the connect waits at most kConnectLimit, and never
// past `deadline`, the end of the whole call (--max-time, named by `deadlineName` in the
// reason when it is what ended the wait).
class CCtlNetLink final : public CCtlLink {
  public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::milliseconds kConnectLimit{5000};

    CCtlNetLink(std::string host, std::uint16_t port,
                Clock::time_point deadline = Clock::time_point::max(),
                std::string deadlineName = {});
    ~CCtlNetLink() override;

    bool Open(std::string& reason) override;
    bool Send(const DeviceCommand& command, bool raw, std::string& reason) override;
    void StartReading(CReplyCollector& collector) override;
    void Close() override;

  private:
    std::string Name() const;

    std::string m_host;
    std::uint16_t m_port;
    Clock::time_point m_deadline;
    std::string m_strDeadlineName;
    CNetClient m_client;
    std::thread m_reader;
    std::atomic<bool> m_bClosing{false};
};

// A serial port opened exclusively, as the panel opens it, at the given rate, 8N1.
class CCtlSerialLink final : public CCtlLink {
  public:
    CCtlSerialLink(std::string port, unsigned baud);
    ~CCtlSerialLink() override;

    bool Open(std::string& reason) override;
    bool Send(const DeviceCommand& command, bool raw, std::string& reason) override;
    void StartReading(CReplyCollector& collector) override;
    void Close() override;

  private:
    std::string m_port;  // as given: COMn or a path
    std::string m_path;  // the device opened
    unsigned m_baud;
    CSerialDevice m_device;
    std::thread m_reader;
    std::atomic<bool> m_bClosing{false};
};
