#include "link/CSerialPort.h"

#include <array>

#include "link/LineSettings.h"
#include "link/Terminator.h"
#include "platform/ComPorts.h"
#include "platform/MessageBox.h"

namespace {

// A chunk goes to the UI thread at a line feed, at kChunk bytes, or once the line has been
// quiet this long.
constexpr int kHandOverGapMs = 50;

}  // namespace

unsigned CSerialPort::RateAt(int position) {
    return SettingAt(kBaudSettings, position, 6).rate;  // 9600 for a position off the list
}
std::uint8_t CSerialPort::ParityAt(int position) {
    return SettingAt(kParitySettings, position, 0).code;
}
std::uint8_t CSerialPort::DataBitsAt(int position) {
    return SettingAt(kDataBitsSettings, position, 4).bits;
}
std::uint8_t CSerialPort::StopBitsAt(int position) {
    return SettingAt(kStopBitsSettings, position, 0).code;
}

CSerialPort::CSerialPort() : m_handOff(std::make_shared<CHandOff<SerialArrival>>()) {
    m_handOff->SetReceiver([this](const SerialArrival& arrival) { OnArrival(arrival); });
}

CSerialPort::~CSerialPort() {
    Close();
    StopReader();
}

void CSerialPort::SetUiPost(UiPost post) {
    m_handOff->SetUiPost(std::move(post));
}

void CSerialPort::SetReceivers(ReplyReceivers receivers) {
    m_receivers = std::move(receivers);
}

bool CSerialPort::Open(int port, int ratePosition) {
    if (m_state == PortState::Open) {
        Close();
    }
    if (!m_device.Open(ComDevicePath(port))) {
        m_state = PortState::FailedOpen;
        return false;
    }
    m_state = PortState::Open;
    Configure(ratePosition, 0, 4, 0);
    StartReader();
    return true;
}

bool CSerialPort::OpenByName(std::string_view name) {
    static constexpr std::array<std::string_view, 5> kNames = {"Com1", "Com2", "Com3", "Com4",
                                                               "Com5"};
    int port = 1;
    for (std::size_t i = 0; i < kNames.size(); ++i) {
        if (name == kNames[i]) {
            port = static_cast<int>(i) + 1;
        }
    }
    if (!Open(port)) {
        return false;
    }
    m_dwRate = 9600;
    return ApplyLineSettings();
}

bool CSerialPort::Probe(int port) {
    CSerialDevice probe;
    return probe.Open(ComDevicePath(port)) && probe.Close();
}

bool CSerialPort::Close() {
    if (m_state != PortState::Open) {
        return false;
    }
    // The output queue is left as it is: every write has emptied it of its own bytes before it
    // returned (see WriteBytes).
    m_device.Purge(kPurgeRxAbort);
    StopReader();
    if (!m_device.Close()) {
        return false;
    }
    m_state = PortState::Closed;
    return true;
}

bool CSerialPort::Configure(int ratePos, int parityPos, int dataBitsPos, int stopBitsPos) {
    m_dwRate = RateAt(ratePos);
    m_byParity = ParityAt(parityPos);
    m_byDataBits = DataBitsAt(dataBitsPos);
    m_byStopBits = StopBitsAt(stopBitsPos);
    return ApplyLineSettings();
}

bool CSerialPort::SetBaud(int position) {
    m_dwRate = RateAt(position);
    return ApplyLineSettings();
}

bool CSerialPort::SetParity(int position) {
    m_byParity = ParityAt(position);
    return ApplyLineSettings();
}

bool CSerialPort::SetDataBits(int position) {
    m_byDataBits = DataBitsAt(position);
    return ApplyLineSettings();
}

bool CSerialPort::SetStopBits(int position) {
    m_byStopBits = StopBitsAt(position);
    return ApplyLineSettings();
}

SerialLine CSerialPort::StoredLine() const {
    return SerialLine{m_dwRate, m_byParity, m_byDataBits, m_byStopBits};
}

bool CSerialPort::ApplyLineSettings() {
    // The time-out first: a line the adapter will not take exactly (a rate it rounds) must
    // still never let a write block the window. It follows the rate, so that a slow line does
    // not cut its own commands.
    if (m_state != PortState::Open || !m_device.SetTimeouts(WriteTimeoutsFor(StoredLine())) ||
        !m_device.SetLine(StoredLine())) {
        return false;
    }
    // What came in at the old settings is noise now. Nothing written is purged: a write is
    // done only once its bytes are out.
    m_device.Purge(kPurgeRxClear);
    return true;
}

bool CSerialPort::WriteCommand(std::string_view text, ::ReplyRoute route, TerminatorFlag flag) {
    m_nReplyRoute.store(route);
    std::string bytes(text);
    bytes += SerialTerminator(flag);
    return Report(WriteBytes(bytes));
}

bool CSerialPort::WriteRaw(std::string_view text) {
    m_nReplyRoute.store(1);
    return Report(WriteBytes(text));
}

bool CSerialPort::Report(bool written) {
    // As on the network link: a command that did not reach the device is never silent.
    if (!written) {
        ShowMessageBox(m_pOwner, "Send failure!");
    }
    return written;
}

bool CSerialPort::WriteBytes(std::string_view bytes) {
    if (m_state != PortState::Open) {
        return false;
    }
    const SerialWrite write = m_device.Write(bytes.data(), bytes.size());
    if (write.broken) {
        Close();
        return false;
    }
    // A write cut off by its time-out (a slow line) has dropped its own bytes that had not gone
    // out, quietly, as a serial write does; a completed write is never purged: it returned only
    // once its bytes were on the line.
    return true;
}

void CSerialPort::OnReceived(std::string_view text) {
    RouteReply(m_nReplyRoute.load(), text, m_receivers);
}

void CSerialPort::OnArrival(const SerialArrival& arrival) {
    if (!arrival.text.empty()) {
        OnReceived(arrival.text);
    }
    if (arrival.lineLost) {
        // The adapter was unplugged or the device went away: the port is closed like any
        // other, and COM opens it again once it is back.
        Close();
    }
}

void CSerialPort::StartReader() {
    StopReader();
    m_handOff->Arm();
    // The reader holds the hand-off and the device, and looks at the device only while it has
    // not been stopped: a Close from a receiver run on this very thread may end the port's life.
    m_reader.Start([handOff = m_handOff, device = &m_device](const WorkerThread::Flags& flags) {
        std::array<char, kChunk> buffer{};
        while (!flags.stop.load()) {
            bool broken = false;
            const std::size_t count =
                device->ReadChunk(buffer.data(), buffer.size(), kHandOverGapMs, &broken);
            if (flags.stop.load()) {
                break;
            }
            SerialArrival arrival{std::string(ChunkText(buffer.data(), count)), broken};
            if (!arrival.text.empty() || broken) {
                handOff->Deliver(std::move(arrival));
            }
            if (broken) {
                break;
            }
        }
    });
}

void CSerialPort::StopReader() {
    m_reader.Stop([this] {
        m_handOff->Stop();
        m_device.Wake();
    });
}
