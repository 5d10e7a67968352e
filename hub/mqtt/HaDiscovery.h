#pragma once

#include <QByteArray>
#include <string>
#include <vector>

#include "hub/core/HubState.h"

// Home Assistant's MQTT discovery: the config messages that make one device of a switcher,
// with a source picker per output, a button per salvo and a link sensor.
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

// The topics of this device's configs all match this filter.
std::string ConfigFilter(const Device& device);
// A picker for `output` (0-based) offering `choices` (InputChoices), showing
// "<base>/output/N/source".
Config Select(const Device& device, const CHubState& state, int output,
              const std::vector<std::string>& choices);
Config Button(const Device& device, const std::string& salvo);
Config Connectivity(const Device& device);

}  // namespace HaDiscovery
