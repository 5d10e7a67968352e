#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "link/CHandOff.h"
#include "link/LinkTypes.h"
#include "link/ReplyReceivers.h"
#include "platform/CSerialDevice.h"
#include "platform/WorkerThread.h"

// The serial link: one of COM1..COM5, its line settings taken from positions in the terminal
// view's lists, writes for the send path, and a reader thread that hands what arrives to the
// UI thread, where OnReceived passes it on by the reply route. A line that hangs up (an
// adapter unplugged) is closed.
class CSerialPort {
  public:
    static constexpr std::size_t kChunk = 1024;
    // A port opens at the second rate of the baud list, 300.
    static constexpr int kOpenRatePosition = 1;
    enum class PortState { Closed, FailedOpen, Open };

    CSerialPort();
    // Stops the reader and closes the port: no thread outlives the driver.
    ~CSerialPort();
    CSerialPort(const CSerialPort&) = delete;
    CSerialPort& operator=(const CSerialPort&) = delete;

    // The UI side: how to reach the UI thread, and the two receivers of replies.
    void SetUiPost(UiPost post);
    void SetReceivers(ReplyReceivers receivers);

    // Opens COMn (n outside 1..5 names COM1) at 300 8N1 (or the rate at `ratePosition` of the
    // baud list) and starts the reader. A port already open is closed first.
    bool Open(int port, int ratePosition = kOpenRatePosition);
    // "Com1".."Com5" exactly (anything else is port 1), then 9600.
    bool OpenByName(std::string_view name);
    // Whether COMn can be opened and closed again. Uses a handle of its own, so an open port
    // of this driver is left as it is (and probes as taken).
    bool Probe(int port);
    // Purges, stops the reader, closes. False when no port was open.
    bool Close();

    bool Configure(int ratePos, int parityPos, int dataBitsPos, int stopBitsPos);
    bool SetBaud(int position);
    bool SetParity(int position);
    bool SetDataBits(int position);
    bool SetStopBits(int position);
    bool ApplyLineSettings();

    // Both keep the route and write; a write that fails, or finds no port open, shows
    // "Send failure!" and returns false. A line that hung up is closed.
    bool WriteCommand(std::string_view text, ::ReplyRoute route, TerminatorFlag flag);
    bool WriteRaw(std::string_view text);
    bool WriteBytes(std::string_view bytes);
    // The window the message boxes belong to (opaque here).
    void SetOwner(const void* owner) { m_pOwner = owner; }

    // UI thread: received text, routed by the reply route.
    void OnReceived(std::string_view text);

    PortState State() const { return m_state; }
    int ReplyRoute() const { return m_nReplyRoute.load(); }
    // The stored settings (not necessarily applied).
    SerialLine StoredLine() const;

    // The settings at a position of the terminal view's lists.
    static unsigned RateAt(int position);
    static std::uint8_t ParityAt(int position);
    static std::uint8_t DataBitsAt(int position);
    static std::uint8_t StopBitsAt(int position);

  private:
    // What the reader hands to the UI thread: the text that came, and whether the line was
    // lost after it (then the port is closed there).
    struct SerialArrival {
        std::string text;
        bool lineLost = false;
    };

    void OnArrival(const SerialArrival& arrival);
    bool Report(bool written);
    void StartReader();
    void StopReader();

    CSerialDevice m_device;
    PortState m_state = PortState::Closed;
    std::shared_ptr<CHandOff<SerialArrival>> m_handOff;
    WorkerThread m_reader;
    ReplyReceivers m_receivers;
    const void* m_pOwner = nullptr;

    unsigned m_dwRate = 9600;
    std::uint8_t m_byParity = 0;
    std::uint8_t m_byDataBits = 8;
    std::uint8_t m_byStopBits = 0;
    std::atomic<int> m_nReplyRoute{1};
};
