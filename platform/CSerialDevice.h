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

// The write time-out in milliseconds (reads follow their own hand-over rule, see ReadChunk):
// a write that has not gone out within writeTotalPerByte * count + writeTotalConst ends with
// what went out by then. Zero means no such limit.
struct SerialTimeouts {
    int writeTotalPerByte = 0;
    int writeTotalConst = 0;
};

// The write time-out a line needs. A write is done only once its bytes have left, so the
// allowance per byte follows the rate: twice a character's time on the wire (start bit, data
// bits, parity bit, stop bits), never less than 10 ms a byte, plus 100 ms. At 300 bit/s 8N1 a
// character takes 33.3 ms and a byte is allowed 67 ms; from 2400 bit/s up the floor rules.
SerialTimeouts WriteTimeoutsFor(const SerialLine& line);
// Milliseconds two characters of `line` take on the wire, rounded up (0 for rate 0).
int TwoCharactersMs(const SerialLine& line);

// What a write did: the bytes that went out (or are sure to: the rest of the write was
// dropped), whether it had to wait for room, and whether the line failed (hung up, I/O error)
// as opposed to running out of time.
struct SerialWrite {
    std::size_t written = 0;
    bool waited = false;
    bool broken = false;
};

enum SerialPurge : unsigned {
    kPurgeRxAbort = 1,
    kPurgeTxClear = 2,
    kPurgeRxClear = 4,
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
    // echo, no line editing, no character translation, no hardware or software flow control.
    bool Open(const std::string& path);
    bool IsOpen() const { return m_fd >= 0; }
    // Releases the exclusivity and closes. False when nothing was open or close failed.
    bool Close();

    bool GetLine(SerialLine& line) const;
    // Applies the settings and reads them back; false unless the tty took all of them
    // (4 data bits and 1.5 stop bits never, a pseudo-terminal only 8 bits without parity).
    bool SetLine(const SerialLine& line);
    bool SetTimeouts(const SerialTimeouts& timeouts);
    bool Purge(unsigned flags);

    // Waits for the first byte as long as it takes, then collects bytes until what has come
    // ends with a line feed, `gapMs` pass without a new byte, or `size` bytes are in; returns
    // the count. A Wake (or a purge that aborts reads) makes it return at once with what it
    // has. *broken tells that the line hung up or failed (POLLHUP or POLLERR, EIO, ENXIO), which
    // it goes on doing at once; no byte to read after all (a purge came first) is never that.
    std::size_t ReadChunk(char* buffer, std::size_t size, int gapMs, bool* broken);
    // For an event loop that watches the line itself: the descriptor to wait on for reading,
    // or -1 when closed. Only ReadAvailable may read from it.
    int Descriptor() const { return m_fd; }
    // Takes what has arrived without waiting: 0 when nothing has. *broken tells that the line
    // hung up or failed; "nothing to read" alone is never that.
    std::size_t ReadAvailable(char* buffer, std::size_t size, bool* broken);

    // Writes under the write time-out. A write is done once its bytes have left the output
    // queue, not when the tty has taken them. One cut off by its time-out drops its own bytes
    // that have not gone out; bytes of earlier writes are never dropped.
    SerialWrite Write(const char* data, std::size_t size);

    // For an event loop that waits for room itself (see Descriptor): writes what the tty takes
    // now, without waiting and without dropping anything, and returns the count. *broken tells
    // that the line failed.
    std::size_t WriteAvailable(const char* data, std::size_t size, bool* broken);

    // Wakes a pending Read, or the next one if none is pending.
    void Wake();

  private:
    SerialTimeouts Timeouts() const;

    int m_fd = -1;
    WakeEvent m_wake;
    mutable std::mutex m_mutex;  // guards m_timeouts, read by the reader thread
    SerialTimeouts m_timeouts;
};
