#include "hub/web/ApiJson.h"

#include <QJsonDocument>

namespace ApiJson {

QJsonObject Input(const CHubState& state, int port) {
    return {{"n", port + 1}, {"label", QString::fromStdString(state.InputLabel(port))}};
}

QJsonObject Output(const CHubState& state, int port, ClientId viewer) {
    const ClientId owner = state.LockOwner(port);
    const bool off = state.IsOff(port);
    const int input = off ? -1 : state.VideoRoute(port);
    const int audio = state.AudioRoute(port);
    QJsonObject output{{"n", port + 1},
                       {"label", QString::fromStdString(state.OutputLabel(port))},
                       {"input", input < 0 ? QJsonValue() : QJsonValue(input + 1)},
                       {"audio", audio < 0 ? QJsonValue() : QJsonValue(audio + 1)},
                       {"lock", owner == kNoClient ? "none"
                                : owner == viewer  ? "mine"
                                                   : "other"}};
    if (off) {
        output.insert("off", true);
    }
    return output;
}

namespace {

// The API's names of the levels; "av" is the default of a salvo's route and left out.
constexpr std::pair<const char*, Level> kLevels[] = {
    {"av", Level::AV}, {"video", Level::Video}, {"audio", Level::Audio}};

}  // namespace

QJsonObject Salvo(const std::string& name, const std::vector<Route>& routes) {
    QJsonArray list;
    for (const Route& route : routes) {
        QJsonObject item{{"output", route.output + 1}, {"input", route.input + 1}};
        for (const auto& [text, level] : kLevels) {
            if (route.level == level && level != Level::AV) {
                item.insert("level", text);
            }
        }
        list.append(item);
    }
    return {{"name", QString::fromStdString(name)}, {"routes", list}};
}

QJsonArray Salvos(const SalvoBook& salvos) {
    QJsonArray list;
    for (const auto& [name, routes] : salvos) {
        list.append(Salvo(name, routes));
    }
    return list;
}

QJsonObject State(const CHub& hub, const Switcher& switcher, ClientId viewer) {
    const CHubState& state = hub.State();
    QJsonArray inputs;
    for (int port = 0; port < state.Inputs(); ++port) {
        inputs.append(Input(state, port));
    }
    QJsonArray outputs;
    for (int port = 0; port < state.Outputs(); ++port) {
        outputs.append(Output(state, port, viewer));
    }
    return {{"version", static_cast<qint64>(hub.Version())},
            {"name", switcher.name},
            {"present", hub.Present()},
            {"link", switcher.link},
            {"inputs", inputs},
            {"outputs", outputs},
            {"salvos", Salvos(hub.Salvos())},
            {"presets", CHub::kMaxPreset}};
}

namespace {

// A port number as JSON gives it: a whole number from 1, else nothing.
std::optional<int> PortNumber(const QJsonValue& value) {
    const double number = value.toDouble(-1);
    if (!value.isDouble() || number < 1 || number > 100000 || number != static_cast<int>(number)) {
        return std::nullopt;
    }
    return static_cast<int>(number) - 1;
}

std::optional<Level> RouteLevel(const QJsonValue& value, Level unnamed) {
    if (value.isUndefined()) {
        return unnamed;
    }
    for (const auto& [text, level] : kLevels) {
        if (value == QJsonValue(text)) {
            return level;
        }
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::vector<Route>> ReadRoutes(const QJsonObject& body, QString* error,
                                             const QStringList& allowedKeys, Level unnamed) {
    for (auto key = body.begin(); key != body.end(); ++key) {
        if (key.key() != "routes" && !allowedKeys.contains(key.key())) {
            *error = "unknown key \"" + key.key().left(64) + "\"";
            return std::nullopt;
        }
    }
    if (!body.value("routes").isArray()) {
        *error = "\"routes\" must be a list of {\"output\": N, \"input\": N}";
        return std::nullopt;
    }
    std::vector<Route> routes;
    for (const QJsonValue& item : body.value("routes").toArray()) {
        const QJsonObject route = item.toObject();
        const auto output = PortNumber(route.value("output"));
        const auto input = PortNumber(route.value("input"));
        const auto level = RouteLevel(route.value("level"), unnamed);
        if (!item.isObject() || route.size() != 2 + (route.contains("level") ? 1 : 0) || !output ||
            !input || !level) {
            *error =
                "each route is {\"output\": N, \"input\": N} with whole numbers from 1, and "
                "may name its \"level\": \"av\", \"video\" or \"audio\"";
            return std::nullopt;
        }
        routes.push_back(Route{*output, *input, *level});
    }
    return routes;
}

QByteArray SalvosFile(const SalvoBook& salvos) {
    return QJsonDocument(QJsonObject{{"salvos", Salvos(salvos)}}).toJson(QJsonDocument::Indented);
}

std::optional<SalvosFileRead> ReadSalvosFile(const QByteArray& bytes, QString* error) {
    QJsonParseError parse{};
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &parse);
    if (parse.error != QJsonParseError::NoError) {
        *error = parse.errorString() + " at byte " + QString::number(parse.offset);
        return std::nullopt;
    }
    const QJsonValue list = document.object().value("salvos");
    if (!list.isArray()) {
        *error = "no \"salvos\" list";
        return std::nullopt;
    }
    SalvosFileRead read;
    for (const QJsonValue& item : list.toArray()) {
        const QJsonValue name = item.toObject().value("name");
        QString why;
        const auto routes = ReadRoutes(QJsonObject{{"routes", item.toObject().value("routes")}},
                                       &why, {}, Level::AV);
        if (!name.isString() || !routes) {
            read.unreadable.emplace_back(name.isString() ? name.toString() : "(no name)",
                                         routes ? "\"name\" must be text" : why);
            continue;
        }
        read.salvos.emplace_back(name.toString().toStdString(), *routes);
    }
    return read;
}

}  // namespace ApiJson
