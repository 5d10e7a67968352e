#include "hub/mqtt/MqttTopics.h"

#include <algorithm>
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

std::optional<Command> ReadCommand(std::string_view base, std::string_view topic) {
    if (topic.size() <= base.size() + 1 || topic.substr(0, base.size()) != base ||
        topic[base.size()] != '/') {
        return std::nullopt;
    }
    const std::vector<std::string_view> levels = Levels(topic.substr(base.size() + 1));
    Command command;
    if (levels.size() == 3 && levels[0] == "salvo" && levels[2] == "take") {
        const auto name = DecodeLevel(levels[1]);
        if (!name || name->empty()) {
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
    } else if (!command.input && levels[2] == "input") {
        command.kind = Command::Kind::Route;
    } else if (!command.input && levels[2] == "lock") {
        command.kind = Command::Kind::Lock;
    } else {
        return std::nullopt;
    }
    return command;
}

std::vector<std::string> CommandFilters(const std::string& base) {
    return {base + "/output/+/input/set", base + "/output/+/lock/set", base + "/output/+/label/set",
            base + "/input/+/label/set", base + "/salvo/+/take"};
}

std::vector<std::string> InputChoices(const CHubState& state) {
    std::vector<std::string> choices;
    std::map<std::string, int> uses;
    for (int port = 0; port < state.Inputs(); ++port) {
        choices.push_back(state.InputLabel(port));
        ++uses[choices.back()];
    }
    for (int port = 0; port < state.Inputs(); ++port) {
        std::string& choice = choices[static_cast<std::size_t>(port)];
        if (uses[choice] > 1) {
            choice += " (" + std::to_string(port + 1) + ")";
        }
    }
    return choices;
}

std::optional<int> ReadInput(const CHubState& state, std::string_view payload, std::string* error) {
    const std::string_view text = Trim(payload);
    if (!text.empty() &&
        std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        if (const auto number = ReadDecimal(text, 1, state.Inputs())) {
            return *number - 1;
        }
        *error = "no input " + std::string(text.substr(0, 16)) + " (1.." +
                 std::to_string(state.Inputs()) + ")";
        return std::nullopt;
    }
    const std::vector<std::string> choices = InputChoices(state);
    const auto found = std::find(choices.begin(), choices.end(), text);
    if (found != choices.end()) {
        return static_cast<int>(found - choices.begin());
    }
    *error = std::count_if(choices.begin(), choices.end(),
                           [&](const std::string& choice) {
                               return choice.rfind(std::string(text) + " (", 0) == 0;
                           }) > 1
                 ? "more than one input is labelled \"" + std::string(text) +
                       "\": add its number, as in \"" + std::string(text) + " (2)\""
                 : "no input is labelled \"" + std::string(text.substr(0, 64)) + "\"";
    return std::nullopt;
}

}  // namespace MqttTopics
