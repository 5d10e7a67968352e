#include "hub/mqtt/MqttTopics.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <map>

#include "platform/PlainText.h"

namespace MqttTopics {

namespace {

constexpr std::string_view kEscaped = "%+#/";
constexpr char kHex[] = "0123456789ABCDEF";

std::vector<std::string_view> Levels(std::string_view topic) {
    std::vector<std::string_view> levels;
    for (std::size_t start = 0;;) {
        const std::size_t slash = topic.find('/', start);
        levels.push_back(topic.substr(start, slash - start));
        if (slash == std::string_view::npos) {
            return levels;
        }
        start = slash + 1;
    }
}

// What a route topic's level switches: "input" what the daemon switches by default.
std::optional<Level> RouteLevel(std::string_view name) {
    if (name == "input") {
        return Level::Default;
    }
    if (name == "audio") {
        return Level::Audio;
    }
    if (name == "video") {
        return Level::Video;
    }
    return std::nullopt;
}

}  // namespace

std::string EncodeLevel(std::string_view name) {
    std::string level;
    for (const char c : name) {
        if (kEscaped.find(c) == std::string_view::npos) {
            level += c;
        } else {
            level += '%';
            level += kHex[static_cast<unsigned char>(c) >> 4];
            level += kHex[static_cast<unsigned char>(c) & 15];
        }
    }
    return level;
}

std::optional<std::string> DecodeLevel(std::string_view level) {
    std::string name;
    for (std::size_t i = 0; i < level.size(); ++i) {
        if (level[i] != '%') {
            name += level[i];
            continue;
        }
        unsigned value = 0;
        const char* digits = level.data() + i + 1;
        if (i + 2 >= level.size() || digits[0] == '-' || digits[1] == '-' ||
            std::from_chars(digits, digits + 2, value, 16).ptr != digits + 2) {
            return std::nullopt;
        }
        name += static_cast<char>(value);
        i += 2;
    }
    return name;
}

std::optional<Command> ReadCommand(std::string_view base, std::string_view topic,
                                   std::string* why) {
    if (topic.size() <= base.size() + 1 || topic.substr(0, base.size()) != base ||
        topic[base.size()] != '/') {
        return std::nullopt;
    }
    const std::vector<std::string_view> levels = Levels(topic.substr(base.size() + 1));
    Command command;
    if (levels.size() == 3 && levels[0] == "salvo" && levels[2] == "take") {
        const auto name = DecodeLevel(levels[1]);
        if (!name || name->empty()) {
            if (why != nullptr) {
                *why = !name ? "the salvo name holds a % not followed by two hex digits (a % "
                               "itself is written %25)"
                             : "no salvo name";
            }
            return std::nullopt;
        }
        command.kind = Command::Kind::TakeSalvo;
        command.salvo = *name;
        return command;
    }
    if (levels.size() != 4 || levels[3] != "set" ||
        (levels[0] != "output" && levels[0] != "input")) {
        return std::nullopt;
    }
    const std::optional<int> number = ReadDecimal(levels[1], 1, 1024);
    if (!number) {
        return std::nullopt;
    }
    command.input = levels[0] == "input";
    command.number = *number;
    if (levels[2] == "label") {
        command.kind = Command::Kind::Label;
    } else if (const auto level = RouteLevel(levels[2]); !command.input && level) {
        command.kind = Command::Kind::Route;
        command.level = *level;
    } else if (!command.input && levels[2] == "lock") {
        command.kind = Command::Kind::Lock;
    } else {
        return std::nullopt;
    }
    return command;
}

std::vector<std::string> CommandFilters(const std::string& base) {
    return {base + "/output/+/input/set", base + "/output/+/audio/set",
            base + "/output/+/video/set", base + "/output/+/lock/set",
            base + "/output/+/label/set", base + "/input/+/label/set",
            base + "/salvo/+/take"};
}

namespace {

bool EqualsNoCase(std::string_view text, std::string_view lower) {
    return text.size() == lower.size() &&
           std::equal(text.begin(), text.end(), lower.begin(), [](char a, char b) {
               return std::tolower(static_cast<unsigned char>(a)) == b;
           });
}

// A label a command or Home Assistant would take for something else: a number is read as the
// input of that number, "None" as no choice at all, "off" as what an output switched off shows.
bool ReadsAsSomethingElse(std::string_view label) {
    const bool digits =
        std::all_of(label.begin(), label.end(), [](char c) { return c >= '0' && c <= '9'; });
    return digits || EqualsNoCase(label, "none") || EqualsNoCase(label, "off");
}

std::string Numbered(const std::string& label, int port) {
    return label + " (" + std::to_string(port + 1) + ")";
}

}  // namespace

std::vector<std::string> InputChoices(const CHubState& state) {
    std::vector<std::string> choices;
    std::vector<bool> numbered;
    for (int port = 0; port < state.Inputs(); ++port) {
        std::string label(Trim(state.InputLabel(port)));
        if (label.empty()) {
            label = "Input " + std::to_string(port + 1);
        }
        numbered.push_back(ReadsAsSomethingElse(label));
        choices.push_back(numbered.back() ? Numbered(label, port) : label);
    }
    // Choices that carry their number differ among themselves (the number ends them), so each
    // round numbers at least one more, and the rounds end.
    for (bool again = true; again;) {
        again = false;
        std::map<std::string, int> uses;
        for (const std::string& choice : choices) {
            ++uses[choice];
        }
        for (std::size_t port = 0; port < choices.size(); ++port) {
            if (!numbered[port] && uses[choices[port]] > 1) {
                choices[port] = Numbered(choices[port], static_cast<int>(port));
                numbered[port] = true;
                again = true;
            }
        }
    }
    return choices;
}

std::optional<int> ReadInput(const CHubState& state, std::string_view payload, std::string* error) {
    const std::string text(Trim(payload));
    const std::vector<std::string> choices = InputChoices(state);
    const auto found = std::find(choices.begin(), choices.end(), text);
    if (found != choices.end()) {
        return static_cast<int>(found - choices.begin());
    }
    if (!text.empty() &&
        std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        if (const auto number = ReadDecimal(text, 1, state.Inputs())) {
            return *number - 1;
        }
        *error = "no input " + text.substr(0, 16) + " (1.." + std::to_string(state.Inputs()) + ")";
        return std::nullopt;
    }
    std::vector<std::string> numberedAlike;
    for (const std::string& choice : choices) {
        if (choice.rfind(text + " (", 0) == 0) {
            numberedAlike.push_back(choice);
        }
    }
    const std::string quoted = "\"" + text.substr(0, 64) + "\"";
    if (numberedAlike.size() > 1) {
        *error = "more than one input is labelled " + quoted + ": add its number, as in \"" +
                 numberedAlike.front() + "\"";
    } else if (numberedAlike.size() == 1) {
        *error =
            "the input labelled " + quoted + " is named \"" + numberedAlike.front() + "\" here";
    } else {
        *error = "no input is labelled " + quoted;
    }
    return std::nullopt;
}

}  // namespace MqttTopics
