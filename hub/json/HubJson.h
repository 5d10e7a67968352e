#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "hub/core/CHub.h"
#include "hub/json/JsonWriter.h"

// The hub's state as the doors' clients read it in JSON (docs/api.md): numbers are counted
// from 1 here, as on the panel; the hub counts from 0.
namespace HubJson {

// What the state tells beside the hub's own.
struct Head {
    std::uint64_t version = 0;
    std::string name;  // the switcher's
    bool present = false;
    std::string link;  // how the switcher is reached
};

// Viewers of one state differ only in the `lock` values of the outputs they lock themselves:
// text written for nobody says "other" at every locked output, and a spot per such value
// tells where it is and whose lock it is.
struct LockSpot {
    std::size_t offset;  // of the value's opening quote
    ClientId owner;
};
using LockSpots = std::vector<LockSpot>;

// Text written for nobody, and where its viewers differ.
struct SharedText {
    std::string text;
    LockSpots locks;

    // True when `viewer` sees the text as it is: it locks none of its outputs.
    bool SameFor(ClientId viewer) const;
    // The text as `viewer` sees it: "mine" where it holds the lock.
    std::string SeenBy(ClientId viewer) const;
};

void Input(CJsonWriter& json, const CHubState& state, int port);
// `lock` as `viewer` sees it: none, mine or other. With `spots`, the `lock` value of a locked
// output is marked there.
void Output(CJsonWriter& json, const CHubState& state, int port, ClientId viewer,
            LockSpots* spots = nullptr);
void Salvo(CJsonWriter& json, const std::string& name, const std::vector<Route>& routes);
void Salvos(CJsonWriter& json, const SalvoBook& salvos);

// The whole state as `viewer` sees it; without `salvos` it leaves them out.
void State(CJsonWriter& json, const Head& head, const CHubState& state, const SalvoBook* salvos,
           ClientId viewer, LockSpots* spots = nullptr);

std::string SalvoText(const std::string& name, const std::vector<Route>& routes);
std::string SalvosText(const SalvoBook& salvos);

}  // namespace HubJson
