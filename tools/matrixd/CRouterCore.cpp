#include "tools/matrixd/CRouterCore.h"

#include <algorithm>
#include <optional>
#include <utility>

#include "link/Terminator.h"
#include "panel/CommandGrammar.h"
#include "panel/CommandSet.h"
#include "platform/PlainText.h"

namespace {

// "<index> <value>", the shape of every change line. The index is plain decimal below `count`.
struct ChangeLine {
    int index = 0;
    std::string_view value;
};

std::optional<ChangeLine> ReadChangeLine(std::string_view line, int count) {
    const std::size_t space = line.find(' ');
    if (space == std::string_view::npos) {
        return std::nullopt;
    }
    const auto index = ReadDecimal(line.substr(0, space), 0, count - 1);
    if (!index) {
        return std::nullopt;
    }
    return ChangeLine{*index, line.substr(space + 1)};
}

const char* FaultText(RouterRequest::Fault fault) {
    return fault == RouterRequest::Fault::LineTooLong ? "a line over 4096 bytes"
                                                      : "a block over its size limit";
}

}  // namespace

CRouterCore::CRouterCore(CRouterState& state, IRouterOutput& output, CCommandQueue& queue,
                         RouterSettings settings)
    : m_state(state), m_output(output), m_queue(queue), m_settings(std::move(settings)) {}

void CRouterCore::ClientConnected(ClientId client) {
    if (m_device == Device::Learning) {
        m_clients[client] = ClientStage::Held;
        return;
    }
    m_clients[client] = ClientStage::Served;
    Serve(client, true);
}

void CRouterCore::ClientGone(ClientId client) {
    m_clients.erase(client);
    const std::vector<int> released = m_state.ReleaseLocks(client);
    if (!released.empty()) {
        BroadcastLocks(released);
    }
}

bool CRouterCore::Holding(ClientId client) const {
    const auto found = m_clients.find(client);
    return found != m_clients.end() && found->second == ClientStage::Held;
}

void CRouterCore::Serve(ClientId client, bool withPreamble) {
    std::string text = withPreamble ? RouterBlocks::Preamble() : std::string();
    if (m_device == Device::Present) {
        text += RouterBlocks::FullStatus(m_settings.identity, m_state, client);
    } else {
        text += RouterBlocks::Device(m_settings.identity, m_state, false);
    }
    m_output.SendToClient(client, text);
}

void CRouterCore::Broadcast(const std::string& bytes) {
    for (const auto& [client, stage] : m_clients) {
        if (stage == ClientStage::Served) {
            m_output.SendToClient(client, bytes);
        }
    }
}

void CRouterCore::BroadcastLocks(const std::vector<int>& outputs) {
    for (const auto& [client, stage] : m_clients) {
        if (stage == ClientStage::Served) {
            m_output.SendToClient(client, RouterBlocks::Locks(m_state, client, &outputs));
        }
    }
}

void CRouterCore::SendRouteUpdates() {
    const std::vector<int> changed = m_state.TakeChangedRoutes();
    if (!changed.empty() && m_device == Device::Present) {
        Broadcast(RouterBlocks::Routing(m_state, &changed));
    }
}

void CRouterCore::LinkUp() {
    m_device = Device::Learning;
    m_state.StartLearning();
    m_replies.Clear();
    const DeviceCommand status = StatusQuery(false);
    m_queue.Submit(kHubClient, {status.text + std::string(SerialTerminator(status.flag))});
}

void CRouterCore::LinkDown() {
    const Device before = m_device;
    m_device = Device::Absent;
    if (before == Device::Present) {
        Broadcast(RouterBlocks::Device(m_settings.identity, m_state, false));
    }
    for (auto& [client, stage] : m_clients) {
        if (stage == ClientStage::Held) {
            stage = ClientStage::Served;
            Serve(client, true);
            m_output.ResumeClient(client);
        }
    }
}

void CRouterCore::EndLearning() {
    if (m_device != Device::Learning) {
        return;
    }
    m_device = Device::Present;
    m_state.TakeChangedRoutes();  // the full status below holds them
    std::vector<ClientId> held;
    for (auto& [client, stage] : m_clients) {
        const bool wasHeld = stage == ClientStage::Held;
        stage = ClientStage::Served;
        Serve(client, wasHeld);
        if (wasHeld) {
            held.push_back(client);
        }
    }
    for (ClientId client : held) {
        m_output.ResumeClient(client);
    }
}

void CRouterCore::SwitcherBytes(std::string_view bytes) {
    m_replies.Feed(bytes, [&](std::string_view line, bool overlong) {
        if (overlong) {
            m_output.Log("switcher: a reply line over 4096 bytes was dropped");
            return;
        }
        if (const int off = m_state.ApplyReplyLine(line); off != 0) {
            m_output.Log("switcher: output " + std::to_string(off) +
                         " reported off; clients keep seeing its last route");
        }
    });
    if (m_device == Device::Learning && m_state.AllRoutesHeard()) {
        EndLearning();
    }
    SendRouteUpdates();
}

void CRouterCore::CommandSent(std::string_view command) {
    if (!m_settings.noEcho || m_device != Device::Present) {
        return;
    }
    const auto read = ReadDeviceCommand(command);
    if (const std::string echo = read ? EchoOf(*read) : std::string(); !echo.empty()) {
        m_state.ApplyReplyLine(echo);
        SendRouteUpdates();
    }
}

CRouterCore::RawResult CRouterCore::SubmitRaw(ClientId client, const std::string& command) {
    if (!m_queue.Present()) {
        return RawResult::Absent;
    }
    // A command that would change an output a router client has locked is the switcher's
    // own "locked" case: the command is not sent.
    if (const auto read = ReadDeviceCommand(command)) {
        const OutputsTouched touched = OutputsChangedBy(*read);
        for (int output = 0; output < m_state.Outputs(); ++output) {
            const bool named = std::find(touched.outputs.begin(), touched.outputs.end(),
                                         output + 1) != touched.outputs.end();
            if ((touched.all || named) && m_state.LockOwner(output) != kNoClient) {
                return RawResult::Locked;
            }
        }
    }
    switch (m_queue.Submit(client, {command})) {
        case CCommandQueue::Submitted::Queued:
            return RawResult::Queued;
        case CCommandQueue::Submitted::Full:
            return RawResult::Full;
        case CCommandQueue::Submitted::Absent:
            break;
    }
    return RawResult::Absent;
}

void CRouterCore::Request(ClientId client, const RouterRequest& request) {
    if (request.fault != RouterRequest::Fault::None) {
        m_output.Log("router client: refused " + std::string(FaultText(request.fault)));
        m_output.SendToClient(client, RouterBlocks::kNak);
        return;
    }
    const std::string& header = request.header;
    bool done = false;
    if (header == "PING:") {
        done = true;
    } else if (request.lines.empty()) {
        if (Dump(client, header)) {
            return;
        }
    } else if (header == "VIDEO OUTPUT ROUTING:") {
        done = ChangeRoutes(client, request.lines);
    } else if (header == "INPUT LABELS:" || header == "OUTPUT LABELS:") {
        const bool inputs = header == "INPUT LABELS:";
        if (ChangeLabels(client, inputs, request.lines)) {
            return;  // acknowledged before the update went out
        }
    } else if (header == "VIDEO OUTPUT LOCKS:") {
        if (ChangeLocks(client, request.lines)) {
            return;
        }
    } else if (header == "CONFIGURATION:") {
        // Take mode is the one setting there is, and this router has none to turn on.
        done = std::all_of(request.lines.begin(), request.lines.end(),
                           [](const std::string& line) { return line == "Take Mode: false"; });
    }
    if (!done) {
        m_output.Log("router client: refused a " + Quoted(header, 64) + " block");
    }
    m_output.SendToClient(client, done ? RouterBlocks::kAck : RouterBlocks::kNak);
    if (done) {
        SendRouteUpdates();  // a route done at once (no echo) shows after the ACK
    }
}

// A header alone asks for that block as it stands.
bool CRouterCore::Dump(ClientId client, const std::string& header) {
    std::string block;
    const bool present = m_device == Device::Present;
    if (header == "PROTOCOL PREAMBLE:") {
        block = RouterBlocks::Preamble();
    } else if (header == "VIDEOHUB DEVICE:") {
        block = RouterBlocks::Device(m_settings.identity, m_state, present);
    } else if (!present) {
        return false;  // with no device there is nothing more to tell
    } else if (header == "INPUT LABELS:") {
        block = RouterBlocks::InputLabels(m_state);
    } else if (header == "OUTPUT LABELS:") {
        block = RouterBlocks::OutputLabels(m_state);
    } else if (header == "VIDEO OUTPUT LOCKS:") {
        block = RouterBlocks::Locks(m_state, client);
    } else if (header == "VIDEO OUTPUT ROUTING:") {
        block = RouterBlocks::Routing(m_state);
    } else if (header == "CONFIGURATION:") {
        block = RouterBlocks::Configuration();
    } else {
        return false;
    }
    m_output.SendToClient(client, RouterBlocks::kAck + block);
    return true;
}

// Every line is checked before anything goes out: a block is queued whole or not at all.
bool CRouterCore::ChangeRoutes(ClientId client, const std::vector<std::string>& lines) {
    if (m_device != Device::Present) {
        return false;
    }
    std::vector<std::string> commands;
    for (const std::string& line : lines) {
        const auto change = ReadChangeLine(line, m_state.Outputs());
        const auto input =
            change ? ReadDecimal(change->value, 0, m_state.Inputs() - 1) : std::nullopt;
        if (!input) {
            return false;
        }
        if (const ClientId owner = m_state.LockOwner(change->index);
            owner != kNoClient && owner != client) {
            return false;
        }
        const DeviceCommand command =
            RouteCommand(m_settings.routeKind, InputNo{*input + 1}, OutputNo{change->index + 1});
        commands.push_back(command.text + std::string(SerialTerminator(command.flag)));
    }
    const CCommandQueue::Submitted submitted = m_queue.Submit(client, commands);
    if (submitted == CCommandQueue::Submitted::Full) {
        m_output.Log(
            "router client: a routing block was refused: the client's earlier routes "
            "still wait for the switcher");
    }
    if (submitted != CCommandQueue::Submitted::Queued) {
        return false;
    }
    return true;
}

// Labels are shown at once; the labels file is written behind (a flood of renames costs one
// write now and then, not one each).
bool CRouterCore::ChangeLabels(ClientId client, bool inputs,
                               const std::vector<std::string>& lines) {
    LabelNames names = m_state.Labels();
    auto& side = inputs ? names.inputs : names.outputs;
    std::vector<LabelChange> changes;
    for (const std::string& line : lines) {
        const auto change = ReadChangeLine(line, inputs ? m_state.Inputs() : m_state.Outputs());
        if (!change) {
            return false;
        }
        const std::string name = ClientLabel(change->value);
        if (name.empty()) {
            if (change->value.find_first_not_of(" \t") != std::string_view::npos) {
                return false;  // not UTF-8
            }
            side.erase(change->index + 1);  // an empty name brings the default back
        } else {
            side[change->index + 1] = name;
        }
        changes.push_back(LabelChange{inputs, change->index + 1, name});
    }
    m_output.SendToClient(client, RouterBlocks::kAck);
    ShowLabels(std::move(names));
    m_output.LabelsChanged(changes);
    return true;
}

void CRouterCore::AdoptFileLabels(const LabelNames& onFile) {
    ShowLabels(onFile);
}

void CRouterCore::ShowLabels(LabelNames names) {
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
    if (!moved[0].empty()) {
        Broadcast(RouterBlocks::InputLabels(m_state, &moved[0]));
    }
    if (!moved[1].empty()) {
        Broadcast(RouterBlocks::OutputLabels(m_state, &moved[1]));
    }
}

// O takes a free lock (or keeps one's own), U gives one's own back, F opens any lock.
bool CRouterCore::ChangeLocks(ClientId client, const std::vector<std::string>& lines) {
    std::vector<std::pair<int, ClientId>> locks;  // output, new owner
    for (const std::string& line : lines) {
        const auto change = ReadChangeLine(line, m_state.Outputs());
        if (!change) {
            return false;
        }
        const ClientId owner = m_state.LockOwner(change->index);
        const bool othersLock = owner != kNoClient && owner != client;
        if (change->value == "O" && !othersLock) {
            locks.emplace_back(change->index, client);
        } else if (change->value == "U" && !othersLock) {
            locks.emplace_back(change->index, kNoClient);
        } else if (change->value == "F") {
            locks.emplace_back(change->index, kNoClient);
        } else {
            return false;
        }
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
    m_output.SendToClient(client, RouterBlocks::kAck);
    if (!changed.empty()) {
        BroadcastLocks(changed);
    }
    return true;
}
