#include "hub/web/ApiJson.h"

#include <QJsonArray>
#include <QJsonDocument>

namespace ApiJson {

namespace {

// The API's names of the levels; "av" is the default of a salvo's route and left out.
constexpr std::pair<const char*, Level> kLevels[] = {
    {"av", Level::AV}, {"video", Level::Video}, {"audio", Level::Audio}};

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
