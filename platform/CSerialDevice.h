#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

#include "platform/WakeEvent.h"

// Line settings in the codes the serial driver keeps: parity 0 none, 1 odd, 2 even, 3 mark,
// 4 space; stop bits 0 one, 1 one and a half, 2 two.
struct SerialLine {
    unsigned rate = 9600;
    std::uint8_t parity = 0;
    std::uint8_t dataBits = 8;
    std::uint8_t stopBits = 0;

    bool operator==(const SerialLine&) const = default;
};

// Time-outs in milliseconds, as a serial driver keeps them. Only the write total is used here
// (reads follow their own hand-over rule, see ReadChunk): a write that has not finished within
// writeTotalPerByte * count + writeTotalConst ends with what was taken by then. Zero means no
// such limit.
struct SerialTimeouts {
    int readInterval = 0;
    int readTotalPerByte = 0;
    int readTotalConst = 0;
    int writeTotalPerByte = 0;
    int writeTotalConst = 0;
};

// What a write did: the bytes the tty took, whether it had to wait for room, and whether the
// line failed (hung up, I/O error) as opposed to running out of time.
struct SerialWrite {
    std::size_t written = 0;
    bool waited = false;
    bool broken = false;
};

enum SerialPurge : unsigned {
    kPurgeTxAbort = 1,
    kPurgeRxAbort = 2,
    kPurgeTxClear = 4,
    kPurgeRxClear = 8,
};

// One tty opened exclusively and driven with poll, so that time-outs behave like a serial
// driver's and a pending read can be woken from another thread. Reads run on one thread while
// writes, settings and purges run on another; the descriptor is closed only by Close, which
// the owner calls once no reader uses the device any more.
class CSerialDevice {
  public:
    CSerialDevice();
    ~CSerialDevice();
    CSerialDevice(const CSerialDevice&) = delete;
    CSerialDevice& operator=(const CSerialDevice&) = delete;

    // Opens an existing tty for reading and writing and locks it against every other open
    // (flock, which also holds against root, then TIOCEXCL). The line is put in raw mode: no
    // echo, no line editing, no character translation.
    bool Open(const std::string& path);
    bool IsOpen() const { return m_fd >= 0; }
    // Releases the exclusivity and closes. False when nothing was open or close failed.
    bool Close();

    bool GetLine(SerialLine& line) const;
    // Applies the settings and reads them back; false unless the tty took all of them
    // (4 data bits and 1.5 stop bits never, a pseudo-terminal only 8 bits without parity).
    bool SetLine(const SerialLine& line);
    // The tty layer sizes its own queues; accepted for an open device.
    bool SetQueueSizes(std::size_t input, std::size_t output);
    bool SetTimeouts(const SerialTimeouts& timeouts);
    bool Purge(unsigned flags);

    // Waits for the first byte as long as it takes, then collects bytes until what has come
    // ends with a line feed, `gapMs` pass without a new byte, or `size` bytes are in; returns
    // the count. A Wake (or a purge that aborts reads) makes it return at once with what it
    // has. *broken tells that the line hung up or failed, which it goes on doing at once.
    std::size_t ReadChunk(char* buffer, std::size_t size, int gapMs, bool* broken);
    // Writes under the write time-out.
    SerialWrite Write(const char* data, std::size_t size);

    // Wakes a pending Read, or the next one if none is pending.
    void Wake();
    // Waits up to ms for a Wake; true when woken.
    bool WaitForWake(int ms);

  private:
    SerialTimeouts Timeouts() const;

    int m_fd = -1;
    WakeEvent m_wake;
    mutable std::mutex m_mutex;  // guards m_timeouts, read by the reader thread
    SerialTimeouts m_timeouts;
};
