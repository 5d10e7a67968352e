#include "hub/router/RouterBlocks.h"

namespace {

template <class LineOf>
std::string Block(const char* header, int count, const std::vector<int>* ports, LineOf lineOf) {
    std::string text = header;
    text += '\n';
    const auto add = [&](int port) { lineOf(text, port); };
    if (ports == nullptr) {
        for (int port = 0; port < count; ++port) {
            add(port);
        }
    } else {
        for (int port : *ports) {
            add(port);
        }
    }
    text += '\n';
    return text;
}

void NumberedLine(std::string& text, int port, const std::string& value) {
    text += std::to_string(port);
    text += ' ';
    text += value;
    text += '\n';
}

}  // namespace

namespace RouterBlocks {

std::string Preamble() {
    return "PROTOCOL PREAMBLE:\nVersion: 2.8\n\n";
}

// The counts and names go out also while the switcher is away: they are known from the options,
// and a client given none would make up a router of its own.
std::string Device(const RouterIdentity& identity, const CHubState& state, bool present) {
    return std::string("VIDEOHUB DEVICE:\nDevice present: ") + (present ? "true" : "false") +
           "\nModel name: " + identity.model + "\nFriendly name: " + identity.name +
           "\nUnique ID: " + identity.uniqueId +
           "\nVideo inputs: " + std::to_string(state.Inputs()) +
           "\nVideo processing units: 0\nVideo outputs: " + std::to_string(state.Outputs()) +
           "\nVideo monitoring outputs: 0\nSerial ports: 0\n\n";
}

std::string InputLabels(const CHubState& state, const std::vector<int>* ports) {
    return Block("INPUT LABELS:", state.Inputs(), ports, [&](std::string& text, int port) {
        NumberedLine(text, port, state.InputLabel(port));
    });
}

std::string OutputLabels(const CHubState& state, const std::vector<int>* ports) {
    return Block("OUTPUT LABELS:", state.Outputs(), ports, [&](std::string& text, int port) {
        NumberedLine(text, port, state.OutputLabel(port));
    });
}

std::string Locks(const CHubState& state, ClientId viewer, const std::vector<int>* ports) {
    return Block("VIDEO OUTPUT LOCKS:", state.Outputs(), ports, [&](std::string& text, int port) {
        const ClientId owner = state.LockOwner(port);
        NumberedLine(text, port, owner == kNoClient ? "U" : owner == viewer ? "O" : "L");
    });
}

std::string Routing(const CHubState& state, const std::vector<int>* ports) {
    return Block("VIDEO OUTPUT ROUTING:", state.Outputs(), ports, [&](std::string& text, int port) {
        if (const int input = state.VideoRoute(port); input >= 0) {
            NumberedLine(text, port, std::to_string(input));
        }
    });
}

std::string Configuration() {
    return "CONFIGURATION:\nTake Mode: false\n\n";
}

std::string EndPrelude() {
    return "END PRELUDE:\n\n";
}

std::string FullStatus(const RouterIdentity& identity, const CHubState& state, ClientId viewer) {
    return Device(identity, state, true) + InputLabels(state) + OutputLabels(state) +
           Locks(state, viewer) + Routing(state) + Configuration() + EndPrelude();
}

std::string AbsentStatus(const RouterIdentity& identity, const CHubState& state, ClientId viewer) {
    return Device(identity, state, false) + InputLabels(state) + OutputLabels(state) +
           Locks(state, viewer) + Configuration() + EndPrelude();
}

}  // namespace RouterBlocks
