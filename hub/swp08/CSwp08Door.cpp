#include "hub/swp08/CSwp08Door.h"

#include <algorithm>
#include <array>

namespace {

using Bytes = std::string_view;

// Command bytes.
enum : std::uint8_t {
    kInterrogate = 0x01,
    kConnect = 0x02,
    kTally = 0x03,
    kConnected = 0x04,
    kDualStatus = 0x08,
    kDualStatusReply = 0x09,
    kProtectInterrogate = 0x0A,
    kProtectTally = 0x0B,
    kProtectConnect = 0x0C,
    kProtectConnected = 0x0D,
    kProtectDisconnect = 0x0E,
    kProtectDisconnected = 0x0F,
    kTallyDump = 0x15,
    kTallyDumpWords = 0x17,
    kImplementation = 0x61,
    kImplementationReply = 0x62,
    kInvalid = 0x63,
    kSourceNames = 0x64,
    kSourceName = 0x65,
    kDestNames = 0x66,
    kDestName = 0x67,
    kSourceNamesReply = 0x6A,
    kDestNamesReply = 0x6B,
    kExtInterrogate = 0x81,
    kExtConnect = 0x82,
    kExtTally = 0x83,
    kExtConnected = 0x84,
    kExtTallyDump = 0x95,
    kExtTallyDumpReply = 0x97,
    kExtSourceNames = 0xE4,
    kExtSourceName = 0xE5,
    kExtDestNames = 0xE6,
    kExtDestName = 0xE7,
    kExtSourceNamesReply = 0xEA,
    kExtDestNamesReply = 0xEB,
};

// What the door sends and what it takes, for the implementation reply. Clients send only
// what is listed, so every request served is there.
constexpr std::array<std::uint8_t, 15> kSent = {kTally,
                                                kConnected,
                                                kDualStatusReply,
                                                kProtectTally,
                                                kProtectConnected,
                                                kProtectDisconnected,
                                                kTallyDumpWords,
                                                kImplementationReply,
                                                kSourceNamesReply,
                                                kDestNamesReply,
                                                kExtTally,
                                                kExtConnected,
                                                kExtTallyDumpReply,
                                                kExtSourceNamesReply,
                                                kExtDestNamesReply};
constexpr std::array<std::uint8_t, 19> kTaken = {
    kInterrogate,       kConnect,       kDualStatus,     kProtectInterrogate, kProtectConnect,
    kProtectDisconnect, kTallyDump,     kImplementation, kSourceNames,        kSourceName,
    kDestNames,         kDestName,      kExtInterrogate, kExtConnect,         kExtTallyDump,
    kExtSourceNames,    kExtSourceName, kExtDestNames,   kExtDestName};

constexpr auto kNoteEvery = std::chrono::minutes(1);

int At(Bytes body, std::size_t index) {
    return static_cast<unsigned char>(body[index]);
}

int Word(Bytes body, std::size_t index) {
    return At(body, index) * 256 + At(body, index + 1);
}

void AddWord(std::string& out, int value) {
    out.push_back(static_cast<char>((value >> 8) & 0xFF));
    out.push_back(static_cast<char>(value & 0xFF));
}

std::string Start(std::uint8_t command) {
    return std::string(1, static_cast<char>(command));
}

void AddByte(std::string& out, int value) {
    out.push_back(static_cast<char>(value & 0xFF));
}

// The multiplier byte of the standard crosspoint and protect messages: destination DIV 128 in
// bits 6-4, the source (or device) DIV 128 in bits 2-0; the numbers MOD 128 follow.
void AddNumbers(std::string& out, int dest, int other) {
    AddByte(out, ((dest / 128) & 7) << 4 | ((other / 128) & 7));
    AddByte(out, dest % 128);
    AddByte(out, other % 128);
}

int DestOf(int multiplier, int dest) {
    return ((multiplier >> 4) & 7) * 128 + (dest & 0x7F);
}

int OtherOf(int multiplier, int other) {
    return (multiplier & 7) * 128 + (other & 0x7F);
}

// Standard messages: matrix and level share a byte.
int MatrixLevel(int matrix, int level) {
    return (matrix & 0x0F) << 4 | (level & 0x0F);
}

// A name as a control system shows it: `length` characters of printable ASCII, each other
// character (not byte) a '?', padded with blanks; never blank.
std::string WireName(const std::string& label, std::size_t length) {
    std::string name;
    for (const char c : label) {
        const auto byte = static_cast<unsigned char>(c);
        if (name.size() == length) {
            break;
        }
        if (byte >= 0x20 && byte < 0x7F) {
            name.push_back(c);
        } else if ((byte & 0xC0) != 0x80) {
            name.push_back('?');  // the first byte of a character beyond ASCII, or a control
        }
    }
    if (name.find_first_not_of(' ') == std::string::npos) {
        name = "?";
    }
    name.resize(length, ' ');
    return name;
}

// Characters per name and names per message of each length code.
struct NameSize {
    std::size_t characters;
    int perMessage;
};
constexpr std::array<NameSize, 5> kNameSizes = {{{4, 32}, {8, 16}, {12, 10}, {16, 8}, {32, 7}}};

}  // namespace

CSwp08Door::CSwp08Door(CHub& hub, ISwp08Output& output) : m_hub(hub), m_output(output) {
    m_hub.AddListener(this);
}

CSwp08Door::~CSwp08Door() {
    m_hub.RemoveListener(this);
}

void CSwp08Door::ClientConnected(ClientId client) {
    m_clients[client] = Client{};
}

void CSwp08Door::ClientGone(ClientId client) {
    m_clients.erase(client);
    m_hub.ClientGone(client);  // its protects end, and the others hear so
}

void CSwp08Door::Note(const std::string& kind, const std::string& line) {
    const auto now = std::chrono::steady_clock::now();
    const auto found = m_noted.find(kind);
    if (found != m_noted.end() && now - found->second < kNoteEvery) {
        return;
    }
    m_noted[kind] = now;
    m_output.Log("swp08: " + line + " (told once a minute)");
}

void CSwp08Door::Message(ClientId client, std::string_view message) {
    const auto found = m_clients.find(client);
    if (found == m_clients.end() || message.empty()) {
        return;
    }
    const auto command = static_cast<std::uint8_t>(message[0]);
    const Bytes body = message.substr(1);
    if (command >= 0x80) {
        found->second.extended = true;
    }
    bool wellFormed = true;
    switch (command) {
        case kImplementation:
            wellFormed = Implementation(client);
            break;
        case kInterrogate:
        case kExtInterrogate:
            wellFormed = Interrogate(client, body, command == kExtInterrogate);
            break;
        case kConnect:
        case kExtConnect:
            wellFormed = Connect(client, body, command == kExtConnect);
            break;
        case kTallyDump:
        case kExtTallyDump:
            wellFormed = TallyDump(client, body, command == kExtTallyDump);
            break;
        case kSourceNames:
        case kSourceName:
        case kDestNames:
        case kDestName:
        case kExtSourceNames:
        case kExtSourceName:
        case kExtDestNames:
        case kExtDestName:
            wellFormed = Names(client, command, body);
            break;
        case kDualStatus:
            // This controller is the active one, and it has no idle card that could fail.
            m_output.SendMessage(client, std::string{kDualStatusReply, 0x02, 0x00});
            break;
        case kProtectInterrogate:
            wellFormed = ProtectInterrogate(client, body);
            break;
        case kProtectConnect:
        case kProtectDisconnect:
            wellFormed = Protect(client, body, command == kProtectConnect);
            break;
        case kInvalid:
            break;  // never answered with another
        default:
            Note("unknown", "a request it does not know (" + std::to_string(command) +
                                ") was acknowledged and left alone");
            break;
    }
    if (!wellFormed) {
        Note("invalid", "a request with a body its command cannot read (" +
                            std::to_string(command) + ") was answered \"invalid message\"");
        m_output.SendMessage(client,
                             std::string{static_cast<char>(kInvalid), static_cast<char>(command)});
    }
}

bool CSwp08Door::Implementation(ClientId client) {
    std::string reply = Start(kImplementationReply);
    AddByte(reply, static_cast<int>(kSent.size()));
    AddByte(reply, static_cast<int>(kTaken.size()));
    reply.append(kSent.begin(), kSent.end());
    reply.append(kTaken.begin(), kTaken.end());
    m_output.SendMessage(client, reply);
    return true;
}

int CSwp08Door::RouteOf(int level, int output) const {
    const CHubState& state = m_hub.State();
    if (output < 0 || output >= state.Outputs()) {
        return -1;
    }
    return level == 0 ? state.VideoRoute(output) : level == 1 ? state.AudioRoute(output) : -1;
}

std::string CSwp08Door::Connected(bool extended, int matrix, int level, int dest,
                                  int source) const {
    std::string reply;
    if (extended) {
        reply = Start(kExtConnected);
        AddByte(reply, matrix);
        AddByte(reply, level);
        AddWord(reply, dest);
        AddWord(reply, source);
        AddByte(reply, 0);
    } else {
        reply = Start(kConnected);
        AddByte(reply, MatrixLevel(matrix, level));
        AddNumbers(reply, dest, source);
    }
    return reply;
}

bool CSwp08Door::Interrogate(ClientId client, Bytes body, bool extended) {
    if (body.size() != (extended ? 4u : 3u)) {
        return false;
    }
    const Point at =
        extended ? Point{At(body, 0), At(body, 1), Word(body, 2)}
                 : Point{At(body, 0) >> 4, At(body, 0) & 0x0F, DestOf(At(body, 1), At(body, 2))};
    const int source = RouteOf(at.level, at.dest);
    if (source < 0) {
        Note("interrogate",
             "an interrogate of a level, destination or route the switcher "
             "does not have (yet) was acknowledged only");
        return true;
    }
    std::string reply = Connected(extended, at.matrix, at.level, at.dest, source);
    reply[0] = static_cast<char>(extended ? kExtTally : kTally);
    m_output.SendMessage(client, reply);
    return true;
}

bool CSwp08Door::Connect(ClientId client, Bytes body, bool extended) {
    if (body.size() != (extended ? 6u : 4u)) {
        return false;
    }
    const Point at =
        extended ? Point{At(body, 0), At(body, 1), Word(body, 2), Word(body, 4)}
                 : Point{At(body, 0) >> 4, At(body, 0) & 0x0F, DestOf(At(body, 1), At(body, 2)),
                         OtherOf(At(body, 1), At(body, 3))};
    const CHubState& state = m_hub.State();
    if (at.level > 1 || at.dest >= state.Outputs() || at.other >= state.Inputs()) {
        Note("connect",
             "a connect of a level or port the switcher does not have was "
             "acknowledged only");
        return true;
    }
    const Route route{at.dest, at.other, at.level == 0 ? Level::Video : Level::Audio};
    if (m_hub.SubmitRoutes(client, {route}) == CHub::Result::Queued) {
        m_pending.emplace(at.dest, at.level);
        return true;
    }
    // Not switched (locked elsewhere, the switcher away, its queue full): the route it keeps.
    if (const int source = RouteOf(at.level, at.dest); source >= 0) {
        m_output.SendMessage(client, Connected(extended, at.matrix, at.level, at.dest, source));
    }
    return true;
}

bool CSwp08Door::TallyDump(ClientId client, Bytes body, bool extended) {
    if (body.size() != (extended ? 2u : 1u)) {
        return false;
    }
    const int matrix = extended ? At(body, 0) : At(body, 0) >> 4;
    const int level = extended ? At(body, 1) : At(body, 0) & 0x0F;
    const auto message = [&](int first, const std::vector<int>& sources) {
        std::string reply = Start(extended ? kExtTallyDumpReply : kTallyDumpWords);
        if (extended) {
            AddByte(reply, matrix);
            AddByte(reply, level);
        } else {
            AddByte(reply, MatrixLevel(matrix, level));
        }
        AddByte(reply, static_cast<int>(sources.size()));
        AddWord(reply, first);
        for (const int source : sources) {
            AddWord(reply, source);
        }
        m_output.SendMessage(client, reply);
    };
    // Runs of known routes, each message naming its first destination. A level with none
    // still gets its (empty) answer: clients wait for one per level they load.
    bool sent = false;
    std::vector<int> run;
    int first = 0;
    const auto flush = [&] {
        if (!run.empty()) {
            message(first, run);
            sent = true;
            run.clear();
        }
    };
    for (int output = 0; output < m_hub.State().Outputs(); ++output) {
        const int source = RouteOf(level, output);
        if (source < 0 || run.size() == kMaxTallies) {
            flush();
        }
        if (source >= 0) {
            if (run.empty()) {
                first = output;
            }
            run.push_back(source);
        }
    }
    flush();
    if (!sent) {
        message(0, {});
    }
    return true;
}

bool CSwp08Door::Names(ClientId client, std::uint8_t command, Bytes body) {
    const bool sources = command == kSourceNames || command == kSourceName ||
                         command == kExtSourceNames || command == kExtSourceName;
    const bool one = command == kSourceName || command == kDestName || command == kExtSourceName ||
                     command == kExtDestName;
    const bool extended = command >= 0x80;
    // The fields before the length: standard ones a matrix/level byte (old clients sent the
    // length alone to ask for all), extended ones the matrix, and the level for sources.
    std::size_t head = extended ? (sources ? 2 : 1) : 1;
    if (!one && !extended && body.size() == 1) {
        head = 0;
    }
    if (body.size() != head + 1 + (one ? 2 : 0)) {
        return false;
    }
    const int code = At(body, head);
    if (code >= static_cast<int>(kNameSizes.size())) {
        return false;
    }
    const NameSize size = kNameSizes[static_cast<std::size_t>(code)];
    const CHubState& state = m_hub.State();
    const int count = sources ? state.Inputs() : state.Outputs();
    int first = 0;
    int last = count;
    if (one) {
        first = Word(body, head + 1);
        last = first + 1;
        if (first >= count) {
            Note("name",
                 "a name of a port the switcher does not have was asked for and "
                 "acknowledged only");
            return true;
        }
    }
    std::string prefix = Start(extended ? (sources ? kExtSourceNamesReply : kExtDestNamesReply)
                                        : (sources ? kSourceNamesReply : kDestNamesReply));
    if (extended) {
        prefix += std::string(body.substr(0, head));
    } else {
        // Destination names belong to no level: level 0 of the matrix asked.
        const int matrixLevel = head == 0 ? 0 : At(body, 0);
        AddByte(prefix, sources ? matrixLevel : matrixLevel & 0xF0);
    }
    AddByte(prefix, code);
    for (int at = first; at < last; at += size.perMessage) {
        const int n = std::min(size.perMessage, last - at);
        std::string reply = prefix;
        AddWord(reply, at);
        AddByte(reply, n);
        for (int port = at; port < at + n; ++port) {
            reply += WireName(sources ? state.InputLabel(port) : state.OutputLabel(port),
                              size.characters);
        }
        m_output.SendMessage(client, reply);
    }
    return true;
}

std::pair<int, int> CSwp08Door::ProtectOf(int output) const {
    const ClientId owner = m_hub.State().LockOwner(output);
    if (owner == kNoClient) {
        return {0, 0};
    }
    const auto device = m_devices.find(output);
    if (m_clients.count(owner) != 0 && device != m_devices.end()) {
        return {1, device->second};
    }
    return {1, kOtherDevice};
}

std::string CSwp08Door::ProtectMessage(char command, const Point& at) const {
    const auto [state, device] = ProtectOf(at.dest);
    std::string reply(1, command);
    AddByte(reply, MatrixLevel(at.matrix, at.level));
    AddByte(reply, state);
    // A protect just released names the device that asked.
    AddNumbers(reply, at.dest, state == 0 && command != kProtectTally ? at.other : device);
    return reply;
}

bool CSwp08Door::ProtectInterrogate(ClientId client, Bytes body) {
    if (body.size() != 3) {
        return false;
    }
    const Point at{At(body, 0) >> 4, At(body, 0) & 0x0F, DestOf(At(body, 1), At(body, 2))};
    if (at.dest >= m_hub.State().Outputs()) {
        Note("protect",
             "a protect of a destination the switcher does not have was "
             "acknowledged only");
        return true;
    }
    m_output.SendMessage(client, ProtectMessage(static_cast<char>(kProtectTally), at));
    return true;
}

bool CSwp08Door::Protect(ClientId client, Bytes body, bool on) {
    if (body.size() != 4) {
        return false;
    }
    Point at{At(body, 0) >> 4, At(body, 0) & 0x0F, DestOf(At(body, 1), At(body, 2)),
             OtherOf(At(body, 1), At(body, 3))};
    if (at.dest >= m_hub.State().Outputs()) {
        Note("protect",
             "a protect of a destination the switcher does not have was "
             "acknowledged only");
        return true;
    }
    m_bOwnLockChange = true;
    const bool done = m_hub.ChangeLocks(
        client, {{at.dest, on ? CHub::LockAction::Lock : CHub::LockAction::Unlock}});
    m_bOwnLockChange = false;
    if (done) {
        if (on) {
            m_devices[at.dest] = at.other;
        } else {
            m_devices.erase(at.dest);
        }
    }
    // Every client hears the state that holds, also when it did not change.
    at.matrix = 0;
    SendToAll(ProtectMessage(static_cast<char>(on ? kProtectConnected : kProtectDisconnected), at));
    return true;
}

// A lock taken or released on another door, or a protect that ended with its connection.
void CSwp08Door::LocksChanged(const std::vector<int>& outputs) {
    if (m_bOwnLockChange) {
        return;  // Protect tells it, failed or not
    }
    for (const int output : outputs) {
        Point at{0, 0, output, 0};
        const bool released = ProtectOf(output).first == 0;
        if (released) {
            if (const auto device = m_devices.find(output); device != m_devices.end()) {
                at.other = device->second;
                m_devices.erase(device);
            }
        }
        SendToAll(ProtectMessage(
            static_cast<char>(released ? kProtectDisconnected : kProtectConnected), at));
    }
}

void CSwp08Door::SendToAll(const std::string& message) {
    for (const auto& [client, entry] : m_clients) {
        m_output.SendMessage(client, message);
    }
}

void CSwp08Door::Broadcast(int level, int output) {
    const int source = RouteOf(level, output);
    if (source < 0) {
        return;
    }
    const std::string standard = Connected(false, 0, level, output, source);
    const std::string extended = Connected(true, 0, level, output, source);
    for (const auto& [client, entry] : m_clients) {
        m_output.SendMessage(client, entry.extended ? extended : standard);
    }
}

void CSwp08Door::LevelsChanged(const std::vector<int>& video, const std::vector<int>& audio) {
    for (const int output : video) {
        m_pending.erase({output, 0});
        Broadcast(0, output);
    }
    for (const int output : audio) {
        m_pending.erase({output, 1});
        Broadcast(1, output);
    }
}

void CSwp08Door::RoutesHeard(const std::vector<std::pair<int, Level>>& heard) {
    for (const auto& [output, level] : heard) {
        for (const int swpLevel : {0, 1}) {
            const bool reported = level == Level::AV || (swpLevel == 0) == (level == Level::Video);
            if (reported && m_pending.erase({output, swpLevel}) != 0) {
                Broadcast(swpLevel, output);
            }
        }
    }
}
