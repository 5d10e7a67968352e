#include "hub/mqtt/HaDiscovery.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>
#include <cstdio>

#include "hub/mqtt/MqttTopics.h"

namespace HaDiscovery {

namespace {

QString Text(const std::string& text) {
    return QString::fromStdString(text);
}

std::string NodeId(const Device& device) {
    return "matrixd_" + device.uniqueId;
}

std::string ConfigTopic(const Device& device, const char* component, const std::string& object) {
    return device.prefix + "/" + component + "/" + NodeId(device) + "/" + object + "/config";
}

// What every entity of the device shares: the device itself, and being there only while the
// daemon is (and, for what drives the switcher, while the switcher answers).
QJsonObject Entity(const Device& device, const std::string& object, const QString& name,
                   bool needsSwitcher) {
    QJsonArray availability{QJsonObject{{"topic", Text(device.base + "/status")},
                                        {"payload_available", "online"},
                                        {"payload_not_available", "offline"}}};
    if (needsSwitcher) {
        availability.append(QJsonObject{{"topic", Text(device.base + "/switcher")},
                                        {"payload_available", "present"},
                                        {"payload_not_available", "absent"}});
    }
    return {{"name", name},
            {"unique_id", Text(NodeId(device) + "_" + object)},
            {"availability", availability},
            {"availability_mode", "all"},
            {"qos", 1},
            {"device", QJsonObject{{"identifiers", QJsonArray{Text(NodeId(device))}},
                                   {"name", Text(device.name)},
                                   {"manufacturer", "matrixpanel"},
                                   {"model", Text(device.model)},
                                   {"sw_version", Text(device.version)}}}};
}

QByteArray Compact(const QJsonObject& object) {
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

// A salvo's object id: its name may hold anything but '/', ids only [a-z0-9_-].
std::string SalvoObject(const std::string& salvo) {
    std::uint32_t hash = 2166136261u;  // FNV-1a
    for (const char c : salvo) {
        hash = (hash ^ static_cast<unsigned char>(c)) * 16777619u;
    }
    char text[16];
    std::snprintf(text, sizeof text, "%08x", static_cast<unsigned>(hash));
    return "salvo_" + std::string(text);
}

}  // namespace

std::vector<std::string> ConfigFilters(const Device& device) {
    return {device.prefix + "/+/+/config", device.prefix + "/+/+/+/config"};
}

bool IsThisDevices(const Device& device, const std::string& topic, const std::string& payload) {
    const std::string ownTopics = device.prefix + "/";
    const std::size_t component = topic.find('/', ownTopics.size());
    if (component != std::string::npos &&
        topic.compare(component + 1, NodeId(device).size() + 1, NodeId(device) + "/") == 0) {
        return true;
    }
    const QJsonObject config = QJsonDocument::fromJson(QByteArray::fromStdString(payload)).object();
    if (!config.value("unique_id").toString().startsWith("matrixd_")) {
        return false;
    }
    const QString base = Text(device.base);
    auto underBase = [&base](const QJsonValue& value) {
        const QString named = value.toString();
        return named == base || named.startsWith(base + '/');
    };
    const QJsonArray availability = config.value("availability").toArray();
    return underBase(config.value("state_topic")) || underBase(config.value("command_topic")) ||
           std::any_of(availability.begin(), availability.end(), [&](const QJsonValue& entry) {
               return underBase(entry.toObject().value("topic"));
           });
}

namespace {

// What a picker shows and where it sends: the video (or both) route's or the audio route's.
struct Picker {
    std::string object;   // "output_5", "output_5_audio"
    std::string name;     // the entity's
    std::string command;  // under the output's topic
    std::string state;
    const char* icon;
};

Config SelectOf(const Device& device, const Picker& picker,
                const std::vector<std::string>& choices) {
    QJsonObject config = Entity(device, picker.object, Text(picker.name), /*needsSwitcher=*/true);
    QJsonArray options;
    for (const std::string& choice : choices) {
        options.append(Text(choice));
    }
    config.insert("options", options);
    config.insert("command_topic", Text(picker.command));
    config.insert("state_topic", Text(picker.state));
    // No choice for an output switched off: the picker then reads "unknown". None of the choices
    // is "off" (InputChoices numbers such a label).
    config.insert("value_template", "{{ 'None' if value == 'off' else value }}");
    config.insert("icon", picker.icon);
    return {ConfigTopic(device, "select", picker.object), Compact(config)};
}

std::string OutputTopic(const Device& device, int output) {
    return device.base + "/output/" + std::to_string(output + 1);
}

}  // namespace

Config Select(const Device& device, const CHubState& state, int output,
              const std::vector<std::string>& choices) {
    const std::string topic = OutputTopic(device, output);
    return SelectOf(device,
                    {"output_" + std::to_string(output + 1), state.OutputLabel(output),
                     topic + "/input/set", topic + "/source", "mdi:video-input-hdmi"},
                    choices);
}

Config AudioSelect(const Device& device, const CHubState& state, int output,
                   const std::vector<std::string>& choices) {
    const std::string topic = OutputTopic(device, output);
    return SelectOf(
        device,
        {"output_" + std::to_string(output + 1) + "_audio", state.OutputLabel(output) + " audio",
         topic + "/audio/set", topic + "/audio/source", "mdi:volume-high"},
        choices);
}

Config Button(const Device& device, const std::string& salvo) {
    const std::string object = SalvoObject(salvo);
    QJsonObject config = Entity(device, object, Text(salvo), /*needsSwitcher=*/true);
    config.insert("command_topic",
                  Text(device.base + "/salvo/" + MqttTopics::EncodeLevel(salvo) + "/take"));
    config.insert("payload_press", "PRESS");
    config.insert("icon", "mdi:playlist-play");
    return {ConfigTopic(device, "button", object), Compact(config)};
}

Config Connectivity(const Device& device) {
    QJsonObject config = Entity(device, "switcher", "Switcher link", /*needsSwitcher=*/false);
    config.insert("device_class", "connectivity");
    config.insert("entity_category", "diagnostic");
    config.insert("state_topic", Text(device.base + "/switcher"));
    config.insert("payload_on", "present");
    config.insert("payload_off", "absent");
    return {ConfigTopic(device, "binary_sensor", "switcher"), Compact(config)};
}

}  // namespace HaDiscovery
