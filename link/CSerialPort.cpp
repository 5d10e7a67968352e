#include "link/CSerialPort.h"

#include <array>

#include "link/Terminator.h"
#include "platform/ComPorts.h"

namespace {

constexpr unsigned kRates[] = {110,   300,   600,   1200,  2400,   4800,   9600,  14400,
                               19200, 38400, 56000, 57600, 115200, 128000, 256000};
// The terminal view's parity list: NONE, EVEN, MARK, ODD, SPACE.
constexpr std::uint8_t kParities[] = {0, 2, 3, 1, 4};
constexpr std::uint8_t kDataBits[] = {4, 5, 6, 7, 8};
constexpr std::uint8_t kStopBits[] = {0, 1, 2};

template <class T, std::size_t N>
T At(const T (&table)[N], int position, T fallback) {
    return position >= 0 && static_cast<std::size_t>(position) < N ? table[position] : fallback;
}

// A chunk goes to the UI thread at a line feed, at kChunk bytes, or once the line has been
// quiet this long.
constexpr int kHandOverGapMs = 50;
constexpr int kBrokenLinePauseMs = 200;
constexpr SerialTimeouts kTimeouts{50, 10, 100, 10, 100};

}  // namespace

unsigned CSerialPort::RateAt(int position) {
    return At(kRates, position, 9600u);
}
std::uint8_t CSerialPort::ParityAt(int position) {
    return At(kParities, position, std::uint8_t{0});
}
std::uint8_t CSerialPort::DataBitsAt(int position) {
    return At(kDataBits, position, std::uint8_t{8});
}
std::uint8_t CSerialPort::StopBitsAt(int position) {
    return At(kStopBits, position, std::uint8_t{0});
}

CSerialPort::CSerialPort() {
    m_handOff.SetReceiver([this](const std::string& text) { OnReceived(text); });
}

CSerialPort::~CSerialPort() {
    Close();
    StopReader();
}

void CSerialPort::SetUiPost(UiPost post) {
    m_handOff.SetUiPost(std::move(post));
}

void CSerialPort::SetReceivers(ReplyReceivers receivers) {
    m_receivers = std::move(receivers);
}

static_assert(std::size(kRates) == CSerialPort::kRateCount);

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
    m_device.Purge(kPurgeTxAbort | kPurgeRxAbort | kPurgeTxClear);
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
    if (m_state != PortState::Open || !m_device.SetLine(StoredLine())) {
        return false;
    }
    m_device.SetQueueSizes(kChunk, kChunk);
    if (!m_device.SetTimeouts(kTimeouts)) {
        return false;
    }
    m_device.Purge(kPurgeTxClear | kPurgeRxClear);
    return true;
}

bool CSerialPort::WriteCommand(std::string_view text, int route, int flag) {
    m_nReplyRoute.store(route);
    std::string bytes(text);
    bytes += SerialTerminator(flag);
    WriteBytes(bytes);
    return true;
}

bool CSerialPort::WriteRaw(std::string_view text) {
    m_nReplyRoute.store(1);
    WriteBytes(text);
    return true;
}

bool CSerialPort::WriteBytes(std::string_view bytes) {
    if (m_state != PortState::Open) {
        return false;
    }
    m_device.ClearErrors();
    bool waited = false;
    const long written = m_device.Write(bytes.data(), bytes.size(), &waited);
    if (written < 0) {
        return false;
    }
    // A write cut off by its time-out drops what the port has not taken; a completed write is
    // never purged, so its bytes still go out.
    if (static_cast<std::size_t>(written) < bytes.size()) {
        m_device.Purge(kPurgeTxAbort | kPurgeTxClear);
    }
    return true;
}

void CSerialPort::OnReceived(std::string_view text) {
    RouteReply(m_nReplyRoute.load(), text, m_receivers);
}

void CSerialPort::StartReader() {
    StopReader();
    m_bStopReader.store(false);
    m_handOff.Arm();
    m_hReader = std::thread(&CSerialPort::ReaderThread, this);
}

void CSerialPort::StopReader() {
    m_bStopReader.store(true);
    m_handOff.Stop();
    m_device.Wake();
    if (!m_hReader.joinable()) {
        return;
    }
    if (m_hReader.get_id() == std::this_thread::get_id()) {
        m_hReader.detach();  // stopped from its own hand-off: it ends right after
    } else {
        m_hReader.join();
    }
}

void CSerialPort::ReaderThread() {
    std::array<char, kChunk> buffer{};
    while (!m_bStopReader.load()) {
        bool broken = false;
        const std::size_t count =
            m_device.ReadChunk(buffer.data(), buffer.size(), kHandOverGapMs, &broken);
        if (m_bStopReader.load()) {
            break;
        }
        const std::string_view text = ChunkText(buffer.data(), count);
        if (!text.empty()) {
            m_handOff.Deliver(std::string(text));
        }
        if (broken) {
            // A line that hung up reports so at once, every time: look again only now and then.
            m_device.WaitForWake(kBrokenLinePauseMs);
        }
    }
}
