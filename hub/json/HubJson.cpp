#include "hub/json/HubJson.h"

#include <algorithm>
#include <string_view>

namespace HubJson {

namespace {

constexpr std::string_view kOther = "\"other\"";
constexpr std::string_view kMine = "\"mine\"";

// The levels' names; "av" is the default of a salvo's route and left out.
constexpr std::pair<const char*, Level> kNamedLevels[] = {{"video", Level::Video},
                                                          {"audio", Level::Audio}};

// A route's port, counted from 1, or null while it is not known.
void Port(CJsonWriter& json, int port) {
    if (port < 0) {
        json.Null();
    } else {
        json.Int(port + 1);
    }
}

}  // namespace

bool SharedText::SameFor(ClientId viewer) const {
    return viewer == kNoClient || std::none_of(locks.begin(), locks.end(), [&](const LockSpot& s) {
               return s.owner == viewer;
           });
}

std::string SharedText::SeenBy(ClientId viewer) const {
    std::string seen;
    seen.reserve(text.size());
    std::size_t from = 0;
    for (const LockSpot& spot : locks) {
        if (spot.owner == viewer) {
            seen.append(text, from, spot.offset - from);
            seen += kMine;
            from = spot.offset + kOther.size();
        }
    }
    seen.append(text, from);
    return seen;
}

// Keys in sorted order, as everywhere here.
void Input(CJsonWriter& json, const CHubState& state, int port) {
    json.Object().Key("label").String(state.InputLabel(port)).Key("n").Int(port + 1).End();
}

void Output(CJsonWriter& json, const CHubState& state, int port, ClientId viewer,
            LockSpots* spots) {
    const ClientId owner = state.LockOwner(port);
    const bool off = state.IsOff(port);
    json.Object().Key("audio");
    Port(json, state.AudioRoute(port));
    json.Key("input");
    Port(json, off ? -1 : state.VideoRoute(port));
    json.Key("label").String(state.OutputLabel(port)).Key("lock");
    if (spots != nullptr && owner != kNoClient) {
        spots->push_back(LockSpot{json.Size(), owner});
    }
    json.String(owner == kNoClient ? "none" : owner == viewer ? "mine" : "other");
    json.Key("n").Int(port + 1);
    if (off) {
        json.Key("off").Bool(true);
    }
    json.End();
}

void Salvo(CJsonWriter& json, const std::string& name, const std::vector<Route>& routes) {
    json.Object().Key("name").String(name).Key("routes").Array();
    for (const Route& route : routes) {
        json.Object().Key("input").Int(route.input + 1);
        for (const auto& [text, level] : kNamedLevels) {
            if (route.level == level) {
                json.Key("level").String(text);
            }
        }
        json.Key("output").Int(route.output + 1).End();
    }
    json.End().End();
}

void Salvos(CJsonWriter& json, const SalvoBook& salvos) {
    json.Array();
    for (const auto& [name, routes] : salvos) {
        Salvo(json, name, routes);
    }
    json.End();
}

void State(CJsonWriter& json, const Head& head, const CHubState& state, const SalvoBook* salvos,
           ClientId viewer, LockSpots* spots) {
    json.Object().Key("inputs").Array();
    for (int port = 0; port < state.Inputs(); ++port) {
        Input(json, state, port);
    }
    json.End().Key("link").String(head.link).Key("name").String(head.name).Key("outputs").Array();
    for (int port = 0; port < state.Outputs(); ++port) {
        Output(json, state, port, viewer, spots);
    }
    json.End().Key("present").Bool(head.present).Key("presets").Int(CHub::kMaxPreset);
    if (salvos != nullptr) {
        json.Key("salvos");
        Salvos(json, *salvos);
    }
    json.Key("version").Int(static_cast<std::int64_t>(head.version)).End();
}

std::string SalvoText(const std::string& name, const std::vector<Route>& routes) {
    std::string text;
    CJsonWriter json(text);
    Salvo(json, name, routes);
    return text;
}

std::string SalvosText(const SalvoBook& salvos) {
    std::string text;
    CJsonWriter json(text);
    Salvos(json, salvos);
    return text;
}

}  // namespace HubJson
