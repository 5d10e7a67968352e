#include "hub/router/CRouterDoor.h"

#include <algorithm>
#include <optional>
#include <utility>

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

CRouterDoor::CRouterDoor(CHub& hub, IRouterOutput& output, RouterIdentity identity,
                         bool closeWhenAbsent)
    : m_hub(hub),
      m_output(output),
      m_identity(std::move(identity)),
      m_bCloseWhenAbsent(closeWhenAbsent) {
    m_hub.AddListener(this);
}

CRouterDoor::~CRouterDoor() {
    m_hub.RemoveListener(this);
}

void CRouterDoor::ClientConnected(ClientId client) {
    if (m_bCloseWhenAbsent && m_hub.DeviceState() == CHub::Device::Absent) {
        m_output.CloseClient(client, "refused: the switcher is absent (--router-absent close)");
        return;
    }
    if (m_hub.DeviceState() == CHub::Device::Learning) {
        m_clients[client] = ClientStage::Held;
        return;
    }
    m_clients[client] = ClientStage::Served;
    Serve(client, true);
}

void CRouterDoor::ClientGone(ClientId client) {
    m_clients.erase(client);
    m_hub.ClientGone(client);
}

bool CRouterDoor::Holding(ClientId client) const {
    const auto found = m_clients.find(client);
    return found != m_clients.end() && found->second == ClientStage::Held;
}

void CRouterDoor::Serve(ClientId client, bool withPreamble) {
    std::string text = withPreamble ? RouterBlocks::Preamble() : std::string();
    text += m_hub.Present() ? RouterBlocks::FullStatus(m_identity, m_hub.State(), client)
                            : RouterBlocks::AbsentStatus(m_identity, m_hub.State(), client);
    m_output.SendToClient(client, text);
}

void CRouterDoor::Send(ClientId client, const SharedBytes& bytes) {
    if (m_bAnswering) {
        m_deferred.emplace_back(client, bytes);
    } else {
        m_output.SendShared(client, bytes);
    }
}

void CRouterDoor::Broadcast(std::string bytes) {
    const SharedBytes shared = ShareBytes(std::move(bytes));
    for (const auto& [client, stage] : m_clients) {
        if (stage == ClientStage::Served) {
            Send(client, shared);
        }
    }
}

void CRouterDoor::RoutesChanged(const std::vector<int>& outputs) {
    Broadcast(RouterBlocks::Routing(m_hub.State(), &outputs));
}

void CRouterDoor::LabelsChanged(const std::vector<int>& inputs, const std::vector<int>& outputs) {
    if (!inputs.empty()) {
        Broadcast(RouterBlocks::InputLabels(m_hub.State(), &inputs));
    }
    if (!outputs.empty()) {
        Broadcast(RouterBlocks::OutputLabels(m_hub.State(), &outputs));
    }
}

void CRouterDoor::LocksChanged(const std::vector<int>& outputs) {
    for (const auto& [client, stage] : m_clients) {
        if (stage == ClientStage::Served) {
            Send(client, ShareBytes(RouterBlocks::Locks(m_hub.State(), client, &outputs)));
        }
    }
}

// Learning ended: held clients get their first dump, the others the full status again. The
// switcher went: clients are told, and held ones are served what there is.
void CRouterDoor::DeviceChanged(bool wasPresent) {
    const CHub::Device device = m_hub.DeviceState();
    if (device == CHub::Device::Learning) {
        return;
    }
    if (device == CHub::Device::Absent && m_bCloseWhenAbsent) {
        // Surfaces that do not read "Device present" see their connection fail instead of
        // old routes that look live.
        std::vector<ClientId> clients;
        for (const auto& [client, stage] : m_clients) {
            clients.push_back(client);
        }
        for (ClientId client : clients) {
            m_output.CloseClient(client, "closed: the switcher is absent (--router-absent close)");
        }
        return;
    }
    if (device == CHub::Device::Absent && wasPresent) {
        Broadcast(RouterBlocks::Device(m_identity, m_hub.State(), false));
    }
    std::vector<ClientId> held;
    for (auto& [client, stage] : m_clients) {
        const bool wasHeld = stage == ClientStage::Held;
        stage = ClientStage::Served;
        if (wasHeld || device == CHub::Device::Present) {
            Serve(client, wasHeld);
        }
        if (wasHeld) {
            held.push_back(client);
        }
    }
    for (ClientId client : held) {
        m_output.ResumeClient(client);
    }
}

void CRouterDoor::Request(ClientId client, const RouterRequest& request) {
    m_bAnswering = true;
    const bool done = Answer(client, request);
    m_bAnswering = false;
    if (!done) {
        m_output.Log(request.fault != RouterRequest::Fault::None
                         ? "router client: refused " + std::string(FaultText(request.fault))
                         : "router client: refused a " + Quoted(request.header, 64) + " block");
        m_output.SendToClient(client, RouterBlocks::kNak);
    }
    for (auto& [to, bytes] : std::exchange(m_deferred, {})) {
        m_output.SendShared(to, bytes);
    }
}

// True when the request was carried out and answered; false leaves the NAK to the caller.
bool CRouterDoor::Answer(ClientId client, const RouterRequest& request) {
    if (request.fault != RouterRequest::Fault::None) {
        return false;
    }
    const std::string& header = request.header;
    bool done = false;
    if (header == "PING:") {
        done = true;
    } else if (request.lines.empty()) {
        return Dump(client, header);
    } else if (header == "VIDEO OUTPUT ROUTING:") {
        done = ChangeRoutes(client, request.lines);
    } else if (header == "INPUT LABELS:" || header == "OUTPUT LABELS:") {
        done = ChangeLabels(header == "INPUT LABELS:", request.lines);
    } else if (header == "VIDEO OUTPUT LOCKS:") {
        done = ChangeLocks(client, request.lines);
    } else if (header == "CONFIGURATION:") {
        // Take mode is the one setting there is, and this router has none to turn on.
        done = std::all_of(request.lines.begin(), request.lines.end(),
                           [](const std::string& line) { return line == "Take Mode: false"; });
    }
    if (done) {
        m_output.SendToClient(client, RouterBlocks::kAck);
    }
    return done;
}

// A header alone asks for that block as it stands.
bool CRouterDoor::Dump(ClientId client, const std::string& header) {
    std::string block;
    const bool present = m_hub.Present();
    const CHubState& state = m_hub.State();
    if (header == "PROTOCOL PREAMBLE:") {
        block = RouterBlocks::Preamble();
    } else if (header == "VIDEOHUB DEVICE:") {
        block = RouterBlocks::Device(m_identity, state, present);
    } else if (header == "INPUT LABELS:") {
        block = RouterBlocks::InputLabels(state);
    } else if (header == "OUTPUT LABELS:") {
        block = RouterBlocks::OutputLabels(state);
    } else if (header == "VIDEO OUTPUT LOCKS:") {
        block = RouterBlocks::Locks(state, client);
    } else if (!present) {
        return false;  // the routes are not known while the device is away
    } else if (header == "VIDEO OUTPUT ROUTING:") {
        block = RouterBlocks::Routing(state);
    } else if (header == "CONFIGURATION:") {
        block = RouterBlocks::Configuration();
    } else {
        return false;
    }
    m_output.SendToClient(client, RouterBlocks::kAck + block);
    return true;
}

bool CRouterDoor::ChangeRoutes(ClientId client, const std::vector<std::string>& lines) {
    std::vector<Route> routes;
    for (const std::string& line : lines) {
        const auto change = ReadChangeLine(line, m_hub.State().Outputs());
        const auto input =
            change ? ReadDecimal(change->value, 0, m_hub.State().Inputs() - 1) : std::nullopt;
        if (!input) {
            return false;
        }
        routes.push_back(Route{change->index, *input});
    }
    return m_hub.SubmitRoutes(client, routes) == CHub::Result::Queued;
}

bool CRouterDoor::ChangeLabels(bool inputs, const std::vector<std::string>& lines) {
    std::vector<LabelChange> changes;
    const CHubState& state = m_hub.State();
    for (const std::string& line : lines) {
        const auto change = ReadChangeLine(line, inputs ? state.Inputs() : state.Outputs());
        if (!change) {
            return false;
        }
        changes.push_back(LabelChange{inputs, change->index + 1, std::string(change->value)});
    }
    return m_hub.SetLabels(changes);
}

bool CRouterDoor::ChangeLocks(ClientId client, const std::vector<std::string>& lines) {
    std::vector<std::pair<int, CHub::LockAction>> changes;
    for (const std::string& line : lines) {
        const auto change = ReadChangeLine(line, m_hub.State().Outputs());
        if (!change) {
            return false;
        }
        if (change->value == "O") {
            changes.emplace_back(change->index, CHub::LockAction::Lock);
        } else if (change->value == "U") {
            changes.emplace_back(change->index, CHub::LockAction::Unlock);
        } else if (change->value == "F") {
            changes.emplace_back(change->index, CHub::LockAction::Force);
        } else {
            return false;
        }
    }
    return m_hub.ChangeLocks(client, changes);
}
