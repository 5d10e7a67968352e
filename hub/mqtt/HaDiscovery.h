#pragma once

#include <QByteArray>
#include <string>
#include <vector>

#include "hub/core/HubState.h"

// Home Assistant's MQTT discovery: the config messages that make one device of a switcher,
// with a source picker per output (and one for its audio alone, where asked), a button per
// salvo and a link sensor.
namespace HaDiscovery {

struct Device {
    std::string prefix;    // "homeassistant"
    std::string base;      // the switcher's topic
    std::string uniqueId;  // twelve hex digits, the same from run to run
    std::string name;
    std::string model;
    std::string version;
};

struct Config {
    std::string topic;
    QByteArray payload;
};

// Every config under the prefix, with or without a node id in its topic.
std::vector<std::string> ConfigFilters(const Device& device);
// A retained config that stands for this device: one of its own topics, or one a matrixd made
// for the same base topic under another identifier (the switcher was reached another way, or
// an older version named the device otherwise). Configs other programs made are never its.
bool IsThisDevices(const Device& device, const std::string& topic, const std::string& payload);
// A picker for `output` (0-based) offering `choices` (InputChoices), showing
// "<base>/output/N/source"; an output switched off shows there as "off", which the picker
// takes as no choice.
Config Select(const Device& device, const CHubState& state, int output,
              const std::vector<std::string>& choices);
// The same for the output's audio alone, showing "<base>/output/N/audio/source" and sending
// to ".../audio/set".
Config AudioSelect(const Device& device, const CHubState& state, int output,
                   const std::vector<std::string>& choices);
Config Button(const Device& device, const std::string& salvo);
Config Connectivity(const Device& device);

}  // namespace HaDiscovery
