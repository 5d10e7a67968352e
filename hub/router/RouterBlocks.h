#pragma once

#include <string>
#include <vector>

#include "hub/core/HubState.h"

// The text of the blocks the daemon sends to router-protocol clients. Every block ends with
// its blank line; nothing here knows about connections.

// What the device block tells about this server.
struct RouterIdentity {
    std::string model;
    std::string name;      // the friendly name
    std::string uniqueId;  // 12 hex digits
};

namespace RouterBlocks {

inline constexpr const char* kAck = "ACK\n\n";
inline constexpr const char* kNak = "NAK\n\n";

std::string Preamble();
// The device block, with "Device present: false" while no device is reachable.
std::string Device(const RouterIdentity& identity, const CHubState& state, bool present);
// Label, lock and routing blocks: every port, or only the ports listed (an update).
std::string InputLabels(const CHubState& state, const std::vector<int>* ports = nullptr);
std::string OutputLabels(const CHubState& state, const std::vector<int>* ports = nullptr);
// Locks as `viewer` sees them: O its own, L another's, U none.
std::string Locks(const CHubState& state, ClientId viewer, const std::vector<int>* ports = nullptr);
// Routes not learned yet are left out.
std::string Routing(const CHubState& state, const std::vector<int>* ports = nullptr);
std::string Configuration();
std::string EndPrelude();

// Everything after the preamble, for a present device, as `viewer` sees it.
std::string FullStatus(const RouterIdentity& identity, const CHubState& state, ClientId viewer);
// The same while the device is away: no routes, which are not known.
std::string AbsentStatus(const RouterIdentity& identity, const CHubState& state, ClientId viewer);

}  // namespace RouterBlocks
