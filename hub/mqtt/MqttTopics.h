#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "hub/core/CHub.h"
#include "hub/core/HubState.h"

// How the switcher's parts are named in topics under the base topic, and what a command's
// topic and payload ask for. No Qt, no broker.
namespace MqttTopics {

// A salvo name as one topic level: '%', '+', '#' and '/' cannot stand in a topic one
// publishes to, so they are written %25, %2B, %23, %2F.
std::string EncodeLevel(std::string_view name);
// The other way; nothing for a broken escape.
std::optional<std::string> DecodeLevel(std::string_view level);

struct Command {
    enum class Kind { Route, Lock, Label, TakeSalvo };
    Kind kind = Kind::Route;
    bool input = false;            // a label: of an input, not an output
    int number = 0;                // 1-based port, as in the topic
    Level level = Level::Default;  // a route's: input/set the default, audio/set, video/set
    std::string salvo;
};

// "<base>/output/5/input/set" (audio/set, video/set for one level) and the other command topics;
// nothing for any other topic, and in `why` what is wrong with it where that is more than "no such
// input or output". Port numbers are not checked against the switcher here.
std::optional<Command> ReadCommand(std::string_view base, std::string_view topic,
                                   std::string* why = nullptr);

// The commands' topics to subscribe to.
std::vector<std::string> CommandFilters(const std::string& base);

// What a picker offers for each input: its label, unless a command would read it as something
// else (a number, "none" or "off" in any case) or another choice is the same text; those get
// the input's number ("3 (6)", "None (7)", "Camera (8)") until every choice names one input.
std::vector<std::string> InputChoices(const CHubState& state);

// An input as a command names it: one of InputChoices, else its number. 0-based; nothing (and
// why) for anything else.
std::optional<int> ReadInput(const CHubState& state, std::string_view payload, std::string* error);

}  // namespace MqttTopics
