#include "hub/core/CHub.h"

#include <algorithm>
#include <set>
#include <utility>

#include "access/LabelsFile.h"
#include "link/Terminator.h"
#include "panel/CommandGrammar.h"
#include "panel/CommandSet.h"
#include "panel/HubLines.h"
#include "panel/ReplyLine.h"
#include "platform/PlainText.h"

namespace {

std::string Wire(const DeviceCommand& command) {
    return command.text + std::string(SerialTerminator(command.flag));
}

}  // namespace

CHub::CHub(CHubState& state, IHubStore& store, CCommandQueue& queue, HubSettings settings)
    : m_state(state), m_store(store), m_queue(queue), m_settings(settings) {}

void CHub::RemoveListener(IHubListener* listener) {
    m_listeners.erase(std::remove(m_listeners.begin(), m_listeners.end(), listener),
                      m_listeners.end());
}

void CHub::Changed() {
    ++m_nVersion;
}

void CHub::SetDevice(Device device) {
    const bool wasPresent = m_device == Device::Present;
    if (device == m_device) {
        return;
    }
    m_device = device;
    Tell([&](IHubListener& listener) { listener.DeviceChanged(wasPresent); });
}

void CHub::SendRouteUpdates() {
    const std::vector<int> video = m_state.TakeChangedRoutes();
    const std::vector<int> audio = m_state.TakeChangedAudio();
    if (m_device == Device::Present && (!video.empty() || !audio.empty())) {
        Tell([&](IHubListener& listener) { listener.LevelsChanged(video, audio); });
    }
}

void CHub::LinkUp() {
    m_state.StartLearning();
    m_replies.Clear();
    m_queue.SubmitText(kHubClient, {Wire(StatusQuery(false))});
    SetDevice(Device::Learning);
}

void CHub::LinkDown() {
    SetDevice(Device::Absent);
}

void CHub::EndLearning() {
    if (m_device != Device::Learning) {
        return;
    }
    // Everything is news to the listeners now.
    m_state.TakeChangedRoutes();
    m_state.TakeChangedAudio();
    SetDevice(Device::Present);
}

void CHub::SwitcherBytes(std::string_view bytes) {
    m_replies.Feed(bytes, [&](std::string_view line, bool overlong) {
        if (overlong) {
            m_store.Log("switcher: a reply line over 4096 bytes was dropped");
            return;
        }
        ReplyLine(line);
    });
    if (m_device == Device::Learning && m_state.AllRoutesHeard()) {
        EndLearning();
    }
    SendRouteUpdates();
    TellHeard();
}

void CHub::NoteHeard(std::string_view line) {
    const ::ReplyLine reply = ReadReplyLine(line, m_state.Inputs(), m_state.Outputs());
    if (reply.kind != ReplyKind::Route) {
        return;
    }
    const Level level = reply.signal == "AV"  ? Level::AV
                        : reply.signal == "V" ? Level::Video
                        : reply.signal == "A" ? Level::Audio
                                              : Level::Default;
    if (level != Level::Default) {
        m_heard.emplace_back(reply.output - 1, level);
    }
}

void CHub::TellHeard() {
    const std::vector<std::pair<int, Level>> heard = std::exchange(m_heard, {});
    if (m_device != Device::Present || heard.empty()) {
        return;
    }
    for (IHubListener* listener : std::vector<IHubListener*>(m_listeners)) {
        listener->RoutesHeard(heard);
    }
}

void CHub::ReplyLine(std::string_view line) {
    if (line == kSwitcherLockedLine) {
        if (!FrontLocked()) {
            m_store.Log(
                "switcher: it answers \"System Locked!\" (its own lock); changes are "
                "refused as locked for " +
                std::to_string(kFrontLockHold.count()) + " s, then tried again");
        }
        m_bFrontLocked = true;
        m_frontLockedAt = std::chrono::steady_clock::now();
        return;
    }
    NoteHeard(line);
    if (const int off = m_state.ApplyReplyLine(line); off != 0) {
        m_store.Log("switcher: output " + std::to_string(off) +
                    " reported off; router clients keep seeing its last route");
    }
}

bool CHub::FrontLocked() const {
    return m_bFrontLocked && std::chrono::steady_clock::now() - m_frontLockedAt < kFrontLockHold;
}

void CHub::CommandSent(std::string_view command) {
    const auto read = ReadDeviceCommand(command);
    if (read && read->kind == CommandKind::Unlock) {
        m_bFrontLocked = false;
    }
    if (!m_settings.noEcho || m_device != Device::Present) {
        return;
    }
    if (const std::string echo = read ? EchoOf(*read) : std::string(); !echo.empty()) {
        m_state.ApplyReplyLine(echo);
        NoteHeard(echo);
        SendRouteUpdates();
        TellHeard();
    }
}

bool CHub::LockedForOthers(ClientId client, int output) const {
    const ClientId owner = m_state.LockOwner(output);
    return owner != kNoClient && owner != client;
}

bool CHub::AnyLockedForOthers(ClientId client) const {
    for (int output = 0; output < m_state.Outputs(); ++output) {
        if (LockedForOthers(client, output)) {
            return true;
        }
    }
    return false;
}

bool CHub::ChangesLocked(ClientId client, const std::string& command) const {
    const auto read = ReadDeviceCommand(command);
    if (!read) {
        // What the grammar cannot read ("2B3,4.") the switcher might still carry out.
        return AnyLockedForOthers(client);
    }
    const OutputsTouched touched = OutputsChangedBy(*read);
    if (touched.all) {
        return AnyLockedForOthers(client);
    }
    return std::any_of(touched.outputs.begin(), touched.outputs.end(), [&](int output) {
        return output >= 1 && output <= m_state.Outputs() && LockedForOthers(client, output - 1);
    });
}

bool CHub::ValidRoute(const Route& route) const {
    return route.output >= 0 && route.output < m_state.Outputs() && route.input >= 0 &&
           route.input < m_state.Inputs();
}

namespace {

// True when two routes switch the same level of one output (audio and video apart are two).
bool SwitchesALevelTwice(const std::vector<Route>& routes, char defaultLetter) {
    std::map<int, int> levels;  // output -> bits: 1 video, 2 audio
    for (const Route& route : routes) {
        const char letter =
            route.level == Level::Default ? defaultLetter : static_cast<char>(route.level);
        const int bits = letter == 'V' ? 1 : letter == 'A' ? 2 : 3;
        int& taken = levels[route.output];
        if ((taken & bits) != 0) {
            return true;
        }
        taken |= bits;
    }
    return false;
}

CHub::Result Submitted(CCommandQueue::Submitted submitted) {
    switch (submitted) {
        case CCommandQueue::Submitted::Queued:
            return CHub::Result::Queued;
        case CCommandQueue::Submitted::Full:
            return CHub::Result::Full;
        case CCommandQueue::Submitted::Absent:
            break;
    }
    return CHub::Result::Absent;
}

}  // namespace

char CHub::LevelLetter(Level level) const {
    return level == Level::Default ? m_settings.routeKind : static_cast<char>(level);
}

QueuedCommand CHub::RouteCommand(const Route& route) const {
    const char letter = LevelLetter(route.level);
    const DeviceCommand command =
        ::RouteCommand(letter, InputNo{route.input + 1}, OutputNo{route.output + 1});
    QueuedCommand queued(Wire(command));
    queued.output = route.output + 1;
    queued.level = letter;
    if (const auto read = ReadDeviceCommand(queued.text)) {
        queued.echo = EchoOf(*read);
    }
    return queued;
}

CHub::Result CHub::SubmitRoutes(ClientId client, const std::vector<Route>& routes) {
    if (!std::all_of(routes.begin(), routes.end(),
                     [this](const Route& route) { return ValidRoute(route); }) ||
        SwitchesALevelTwice(routes, m_settings.routeKind)) {
        return Result::Bad;
    }
    if (m_device != Device::Present) {
        return Result::Absent;
    }
    if (!routes.empty() && FrontLocked()) {
        return Result::Locked;
    }
    std::vector<QueuedCommand> commands;
    for (const Route& route : routes) {
        if (LockedForOthers(client, route.output)) {
            return Result::Locked;
        }
        commands.push_back(RouteCommand(route));
    }
    if (commands.empty()) {
        return Result::Queued;
    }
    const Result result = Submitted(m_queue.Submit(client, commands));
    if (result == Result::Full) {
        m_store.Log(
            "a routing request was refused: the client's earlier commands still wait for the "
            "switcher");
    }
    return result;
}

CHub::Result CHub::SubmitRaw(ClientId client, const std::string& command) {
    if (!m_queue.Present()) {
        return Result::Absent;
    }
    // No lock has an owner on the raw port: a command that would change a locked output is
    // not sent. (The switcher's own lock it answers itself.)
    if (ChangesLocked(client, command)) {
        return Result::Locked;
    }
    QueuedCommand queued(command);
    if (const auto read = ReadDeviceCommand(command)) {
        if (read->kind == CommandKind::Route) {
            queued.output = read->output;
            queued.level = read->routeKind;
            queued.echo = EchoOf(*read);
        }
    }
    return Submitted(m_queue.Submit(client, {queued}));
}

bool CHub::MayGo(ClientId client, const std::string& command) {
    if (client == kHubClient || !ChangesLocked(client, command)) {
        return true;
    }
    m_store.Log("a waiting command was not sent: an output it would change was locked meanwhile (" +
                Quoted(command, 32) + ")");
    return false;
}

CHub::Result CHub::TakeSalvo(ClientId client, const std::string& name) {
    const auto found = m_salvos.find(name);
    if (found == m_salvos.end()) {
        return Result::Bad;
    }
    // Ports beyond this switcher (a file edited by hand, a smaller switcher) are left out.
    std::vector<Route> routes;
    std::copy_if(found->second.begin(), found->second.end(), std::back_inserter(routes),
                 [&](const Route& route) { return ValidRoute(route); });
    return SubmitRoutes(client, routes);
}

CHub::Result CHub::SubmitPreset(ClientId client, bool save, int preset) {
    if (preset < 1 || preset > kMaxPreset) {
        return Result::Bad;
    }
    if (m_device != Device::Present) {
        return Result::Absent;
    }
    return SubmitRaw(client, Wire(PresetCommand(save ? "Save" : "Recall", preset)));
}

bool CHub::SetLabels(const std::vector<LabelChange>& changes) {
    LabelNames names = m_state.Labels();
    std::vector<LabelChange> cleaned;
    for (const LabelChange& change : changes) {
        const int count = change.input ? m_state.Inputs() : m_state.Outputs();
        if (change.number < 1 || change.number > count) {
            return false;
        }
        const std::string name = ClientLabel(change.name);
        if (name.empty() && change.name.find_first_not_of(" \t") != std::string::npos) {
            return false;  // not UTF-8
        }
        auto& side = change.input ? names.inputs : names.outputs;
        if (name.empty()) {
            side.erase(change.number);  // an empty name brings the default back
        } else {
            side[change.number] = name;
        }
        cleaned.push_back(LabelChange{change.input, change.number, name});
    }
    ShowLabels(std::move(names));
    m_store.LabelsChanged(cleaned);
    return true;
}

void CHub::AdoptFileLabels(const LabelNames& onFile) {
    ShowLabels(onFile);
}

void CHub::ShowLabels(LabelNames names) {
    std::vector<std::string> before[2];
    for (int port = 0; port < m_state.Inputs(); ++port) {
        before[0].push_back(m_state.InputLabel(port));
    }
    for (int port = 0; port < m_state.Outputs(); ++port) {
        before[1].push_back(m_state.OutputLabel(port));
    }
    m_state.SetLabels(std::move(names));
    std::vector<int> moved[2];
    for (int port = 0; port < m_state.Inputs(); ++port) {
        if (m_state.InputLabel(port) != before[0][static_cast<std::size_t>(port)]) {
            moved[0].push_back(port);
        }
    }
    for (int port = 0; port < m_state.Outputs(); ++port) {
        if (m_state.OutputLabel(port) != before[1][static_cast<std::size_t>(port)]) {
            moved[1].push_back(port);
        }
    }
    if (!moved[0].empty() || !moved[1].empty()) {
        Tell([&](IHubListener& listener) { listener.LabelsChanged(moved[0], moved[1]); });
    }
}

bool CHub::ChangeLocks(ClientId client, const std::vector<std::pair<int, LockAction>>& changes) {
    std::vector<std::pair<int, ClientId>> locks;  // output, new owner
    for (const auto& [output, action] : changes) {
        if (output < 0 || output >= m_state.Outputs()) {
            return false;
        }
        if (action != LockAction::Force && LockedForOthers(client, output)) {
            return false;
        }
        locks.emplace_back(output, action == LockAction::Lock ? client : kNoClient);
    }
    std::vector<int> changed;
    for (const auto& [output, owner] : locks) {
        if (m_state.LockOwner(output) != owner) {
            m_state.SetLockOwner(output, owner);
            changed.push_back(output);
        }
    }
    std::sort(changed.begin(), changed.end());
    changed.erase(std::unique(changed.begin(), changed.end()), changed.end());
    if (!changed.empty()) {
        Tell([&](IHubListener& listener) { listener.LocksChanged(changed); });
    }
    return true;
}

void CHub::ClientGone(ClientId client) {
    const std::vector<int> released = m_state.ReleaseLocks(client);
    if (!released.empty()) {
        Tell([&](IHubListener& listener) { listener.LocksChanged(released); });
    }
}

namespace {

// U+FDD0..U+FDEF and the last two code points of every plane: Unicode keeps them for a
// program's inside, never for interchange. `text` is valid UTF-8.
bool HoldsNonCharacter(std::string_view text) {
    for (std::size_t at = 0; at < text.size();) {
        const auto lead = static_cast<unsigned char>(text[at]);
        const std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        char32_t code = length == 1 ? lead : lead & (0x3Fu >> (length - 1));
        for (std::size_t i = 1; i < length && at + i < text.size(); ++i) {
            code = (code << 6) | (static_cast<unsigned char>(text[at + i]) & 0x3Fu);
        }
        if ((code >= 0xFDD0 && code <= 0xFDEF) || (code & 0xFFFE) == 0xFFFE) {
            return true;
        }
        at += length;
    }
    return false;
}

// The rules of a salvo that do not depend on the switcher's size.
CHub::SalvoPut SalvoShape(const std::string& name, const std::vector<Route>& routes) {
    if (!CHub::IsSalvoName(name)) {
        return CHub::SalvoPut::BadName;
    }
    if (routes.size() > CHub::kMaxSalvoRoutes) {
        return CHub::SalvoPut::TooManyRoutes;
    }
    const bool negative = std::any_of(routes.begin(), routes.end(), [](const Route& route) {
        return route.output < 0 || route.input < 0;
    });
    if (negative || SwitchesALevelTwice(routes, 'B')) {
        return CHub::SalvoPut::BadRoute;
    }
    return CHub::SalvoPut::Stored;
}

void SortByOutput(std::vector<Route>& routes) {
    std::sort(routes.begin(), routes.end(), [](const Route& a, const Route& b) {
        return std::pair(a.output, a.level) < std::pair(b.output, b.level);
    });
}

}  // namespace

bool CHub::IsSalvoName(std::string_view name) {
    // A cleaned label equal to the name is valid UTF-8 of at most kMaxSalvoName characters
    // (longer ones are cut), printable, with no blanks at either end. The byte bound spares
    // looking through a long text. "." and ".." cannot be named in a URL path: browsers fold
    // them away.
    constexpr std::size_t kMaxBytes = 4 * kMaxSalvoName;
    return !name.empty() && name.size() <= kMaxBytes && name != "." && name != ".." &&
           name.find('/') == std::string_view::npos && ClientLabel(name) == name &&
           !HoldsNonCharacter(name);
}

std::string CHub::SalvoRefusal(SalvoPut why) {
    switch (why) {
        case SalvoPut::Stored:
            break;
        case SalvoPut::BadName:
            return "a salvo name is 1 to " + std::to_string(kMaxSalvoName) +
                   " characters of text, without \"/\", control characters, Unicode "
                   "non-characters or blanks at either end, and neither \".\" nor \"..\"";
        case SalvoPut::BadRoute:
            return "a port out of range, or an output named twice";
        case SalvoPut::TooManyRoutes:
            return "too many routes: a salvo holds at most " + std::to_string(kMaxSalvoRoutes);
        case SalvoPut::TooManySalvos:
            return "too many salvos: at most " + std::to_string(kMaxSalvos) + " are kept";
    }
    return {};
}

CHub::SalvoPut CHub::PutSalvo(const std::string& name, std::vector<Route> routes) {
    if (const SalvoPut shape = SalvoShape(name, routes); shape != SalvoPut::Stored) {
        return shape;
    }
    if (!std::all_of(routes.begin(), routes.end(),
                     [this](const Route& route) { return ValidRoute(route); })) {
        return SalvoPut::BadRoute;
    }
    if (m_salvos.size() >= kMaxSalvos && m_salvos.count(name) == 0) {
        return SalvoPut::TooManySalvos;
    }
    SortByOutput(routes);
    m_salvos[name] = std::move(routes);
    m_store.SalvosChanged(m_salvos);
    Tell([](IHubListener& listener) { listener.SalvosChanged(); });
    return SalvoPut::Stored;
}

std::vector<std::pair<std::string, CHub::SalvoPut>> CHub::LoadSalvos(
    std::vector<NamedRoutes> salvos) {
    std::vector<std::pair<std::string, SalvoPut>> leftOut;
    m_salvos.clear();
    for (auto& [name, routes] : salvos) {
        SalvoPut why = SalvoShape(name, routes);
        if (why == SalvoPut::Stored && m_salvos.size() >= kMaxSalvos && m_salvos.count(name) == 0) {
            why = SalvoPut::TooManySalvos;
        }
        if (why != SalvoPut::Stored) {
            leftOut.emplace_back(std::move(name), why);
            continue;
        }
        SortByOutput(routes);
        m_salvos[name] = std::move(routes);  // of two with one name, the later counts
    }
    return leftOut;
}

bool CHub::DeleteSalvo(const std::string& name) {
    if (m_salvos.erase(name) == 0) {
        return false;
    }
    m_store.SalvosChanged(m_salvos);
    Tell([](IHubListener& listener) { listener.SalvosChanged(); });
    return true;
}
