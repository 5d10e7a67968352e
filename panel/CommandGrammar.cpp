#include "panel/CommandGrammar.h"

#include <algorithm>

#include "platform/PlainText.h"

namespace {

constexpr int kMaxNumber = 99999;  // five digits: more than any port or preset

std::optional<int> Number(std::string_view text) {
    // Leading zeros are read as the switcher reads them ("03B5." is input 3), so a client
    // cannot slip past a lock by spelling a number differently.
    while (text.size() > 1 && text.front() == '0') {
        text.remove_prefix(1);
    }
    return ReadDecimal(text, 0, kMaxNumber);
}

char Upper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

// Letters in any case: a switcher that reads "2b4." as "2B4." must not let it past a lock.
bool SameWord(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [](char x, char y) { return Upper(x) == Upper(y); });
}

bool StartsWith(std::string_view text, std::string_view prefix) {
    return SameWord(text.substr(0, prefix.size()), prefix);
}

bool EndsWith(std::string_view text, std::string_view suffix) {
    return text.size() >= suffix.size() &&
           SameWord(text.substr(text.size() - suffix.size()), suffix);
}

// Commands that are one fixed word.
struct Word {
    std::string_view text;
    char terminator;
    CommandKind kind;
};
constexpr Word kWords[] = {
    {"All$", '.', CommandKind::AllToAll}, {"All#", '.', CommandKind::AllThrough},
    {"Undo", '.', CommandKind::Undo},     {"Demo", '.', CommandKind::Demo},
    {"/%Lock", ';', CommandKind::Lock},   {"/%Unlock", ';', CommandKind::Unlock},
    {"/*Type", ';', CommandKind::Type},   {"/^Version", ';', CommandKind::Version},
    {"Status", '.', CommandKind::Status},
};

// Commands that are a word and a number.
struct Numbered {
    std::string_view prefix;
    std::string_view suffix;
    CommandKind kind;
};
constexpr Numbered kNumbered[] = {
    {"Save", "", CommandKind::Save},      {"Recall", "", CommandKind::Recall},
    {"Clear", "", CommandKind::Clear},    {"Status", "", CommandKind::OutputStatus},
    {"", "All", CommandKind::InputToAll}, {"", "$", CommandKind::AllToOutput},
    {"", "#", CommandKind::InputThrough},
};

}  // namespace

std::optional<ReadCommand> ReadDeviceCommand(std::string_view command) {
    command = Trim(command);
    if (command.empty()) {
        return std::nullopt;
    }
    const char terminator = command.back();
    const std::string_view text = command.substr(0, command.size() - 1);
    for (const Word& word : kWords) {
        if (SameWord(text, word.text) && terminator == word.terminator) {
            return ReadCommand{word.kind};
        }
    }
    if (terminator != '.') {
        return std::nullopt;
    }
    for (const Numbered& shape : kNumbered) {
        if (StartsWith(text, shape.prefix) && EndsWith(text, shape.suffix) &&
            text.size() > shape.prefix.size() + shape.suffix.size()) {
            const auto number = Number(text.substr(
                shape.prefix.size(), text.size() - shape.prefix.size() - shape.suffix.size()));
            if (!number) {
                continue;
            }
            ReadCommand read{shape.kind};
            switch (shape.kind) {
                case CommandKind::InputToAll:
                    read.input = *number;
                    break;
                case CommandKind::InputThrough:
                    read.input = read.output = *number;
                    break;
                case CommandKind::AllToOutput:
                case CommandKind::OutputStatus:
                    read.output = *number;
                    break;
                default:
                    read.preset = *number;
            }
            return read;
        }
    }
    const std::size_t kindAt = text.find_first_of("BAVbav");
    if (kindAt == std::string_view::npos) {
        return std::nullopt;
    }
    const auto input = Number(text.substr(0, kindAt));
    const auto output = Number(text.substr(kindAt + 1));
    if (!input || !output) {
        return std::nullopt;
    }
    ReadCommand read{CommandKind::Route};
    read.routeKind = Upper(text[kindAt]);
    read.input = *input;
    read.output = *output;
    return read;
}

std::string EchoOf(const ReadCommand& command) {
    switch (command.kind) {
        case CommandKind::Route: {
            const char* signal = command.routeKind == 'B'   ? "AV:"
                                 : command.routeKind == 'A' ? "A:"
                                                            : "V:";
            return signal + std::to_string(command.input) + "->" + std::to_string(command.output);
        }
        case CommandKind::InputToAll:
            return std::to_string(command.input) + " To All";
        case CommandKind::AllThrough:
            return "All Through.";
        default:
            return {};
    }
}

OutputsTouched OutputsChangedBy(const ReadCommand& command) {
    switch (command.kind) {
        case CommandKind::Route:
        case CommandKind::AllToOutput:
        case CommandKind::InputThrough:
            return OutputsTouched{false, {command.output}};
        case CommandKind::InputToAll:
        case CommandKind::AllToAll:
        case CommandKind::AllThrough:
        case CommandKind::Undo:
        case CommandKind::Recall:
        case CommandKind::Demo:
            return OutputsTouched{true, {}};
        default:
            return {};
    }
}
