#include "tools/matrixctl/CtlCommands.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>

#include "platform/PlainText.h"

namespace {

constexpr int kMaxNumber = 99999;

bool IsNumber(std::string_view text) {
    return !text.empty() &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

void ExpectArgs(const CommandWords& command, std::size_t count, const std::string& form) {
    if (command.words.size() - 1 != count) {
        throw UsageError(command.where + "usage: " + form);
    }
}

// The words of one line of a command file; see ReadCommandFile.
CommandWords LineWords(std::string_view line, const std::string& where) {
    CommandWords command;
    command.where = where;
    std::size_t pos = 0;
    const auto skipBlanks = [&] {
        while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) {
            ++pos;
        }
    };
    for (skipBlanks(); pos < line.size(); skipBlanks()) {
        std::string word;
        if (command.words.size() == 1 && command.words.front() == "raw") {
            // The text exactly as written (blanks inside included), quotes around it taken off.
            std::string_view rest = line.substr(pos);
            while (!rest.empty() && (rest.back() == ' ' || rest.back() == '\t')) {
                rest.remove_suffix(1);
            }
            if (rest.size() >= 2 && rest.front() == '"' && rest.back() == '"') {
                rest = rest.substr(1, rest.size() - 2);
            }
            command.words.emplace_back(rest);
            break;
        }
        bool quoted = false;
        while (pos < line.size() && (quoted || (line[pos] != ' ' && line[pos] != '\t'))) {
            if (line[pos] == '"') {
                quoted = !quoted;
            } else {
                word += line[pos];
            }
            ++pos;
        }
        if (quoted) {
            throw UsageError(where + "a quote is not closed");
        }
        if (!TakeCommandArgument(word, command)) {
            throw UsageError(where + "option " + Quoted(word) +
                             " does not go in a command file (only --audio and --video do)");
        }
    }
    return command;
}

}  // namespace

int CtlNumber(std::string_view what, std::string_view text, int low, int high) {
    if (const std::optional<int> value = ReadDecimal(text, low, high)) {
        return *value;
    }
    throw UsageError("bad " + std::string(what) + " " + Quoted(text) + " (expected " +
                     std::to_string(low) + ".." + std::to_string(high) + ")");
}

bool TakeCommandArgument(const std::string& arg, CommandWords& command) {
    if (command.optionsEnd || arg.size() < 2 || arg[0] != '-') {
        command.words.push_back(arg);
    } else if (arg == "--") {
        command.optionsEnd = true;  // what follows is a command or its text, even with a dash
    } else if (arg == "--audio" || arg == "--video") {
        if (command.signal != 'B') {
            throw UsageError(command.where + "give --audio or --video once");
        }
        command.signal = arg == "--audio" ? 'A' : 'V';
    } else {
        return false;
    }
    return true;
}

CtlCommand ReadCommand(const CommandWords& command, bool network, CCtlNames& names) {
    const std::vector<std::string>& words = command.words;
    const std::string& name = words.front();
    const auto number = [&](std::size_t i, const char* what, int low) {
        return CtlNumber(what, words[i], low, kMaxNumber);
    };
    // An input or output is its number or its name in the labels file.
    const auto input = [&](std::size_t i, int low) {
        return InputNo{IsNumber(words[i]) ? number(i, "input", low) : names.Input(words[i])};
    };
    const auto output = [&](std::size_t i) {
        return OutputNo{IsNumber(words[i]) ? number(i, "output", 1) : names.Output(words[i])};
    };
    if (command.signal != 'B' && name != "route") {
        throw UsageError(command.where + "--audio and --video go with route only");
    }
    try {
        if (name == "route") {
            ExpectArgs(command, 2, "route IN OUT [--audio|--video]");
            // Input 0 is allowed: the panel sends it when no input is chosen.
            return {RouteCommand(command.signal, input(1, 0), output(2))};
        }
        if (name == "all") {
            ExpectArgs(command, 1, "all IN");
            return {InputToAllCommand(input(1, 1))};
        }
        if (name == "off") {
            ExpectArgs(command, 1, "off OUT");
            return {AllToOutputCommand(output(1))};
        }
        if (name == "through") {
            ExpectArgs(command, 1, "through IN");
            return {InputThroughCommand(input(1, 1))};
        }
        for (const char* preset : {"save", "recall", "clear"}) {
            if (name == preset) {
                ExpectArgs(command, 1, name + " N");
                const char* mode = name == "save" ? "Save" : name == "recall" ? "Recall" : "Clear";
                return {PresetCommand(mode, number(1, "preset", 1))};
            }
        }
        if (name == "status") {
            if (words.size() == 1) {
                return {StatusQuery(network)};
            }
            ExpectArgs(command, 1, "status [OUT]");
            return {OutputStatusCommand(output(1))};
        }
        if (name == "raw") {
            ExpectArgs(command, 1, "raw TEXT");
            if (words[1].empty()) {
                throw UsageError("raw needs a text to send");
            }
            return {DeviceCommand{words[1], kRouteTerminal, kTermDot}, true};
        }
        if (name == "lock") {
            ExpectArgs(command, 0, name);
            return {LockCommand(), false, ReplyRefusal::Locked};
        }
    } catch (const UsageError& error) {
        const std::string text = error.what();
        throw UsageError(text.rfind(command.where, 0) == 0 ? text : command.where + text);
    }
    struct Plain {
        const char* name;
        DeviceCommand (*make)();
    };
    static constexpr Plain kPlain[] = {
        {"all-off", AllToAllCommand}, {"all-through", AllThroughCommand}, {"undo", UndoCommand},
        {"demo", DemoCommand},        {"unlock", UnlockCommand},          {"type", TypeQuery},
        {"version", VersionQuery},
    };
    for (const Plain& plain : kPlain) {
        if (name == plain.name) {
            ExpectArgs(command, 0, plain.name);
            return {plain.make()};
        }
    }
    if (name == "monitor") {
        throw UsageError(command.where + "monitor runs alone, not with other commands");
    }
    throw UsageError(command.where + "unknown command " + Quoted(name));
}

std::vector<CommandWords> ReadCommandFile(const std::string& path) {
    const bool standardInput = path == "-";
    const std::string name = standardInput ? "standard input" : path;
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> owned(
        standardInput ? nullptr : std::fopen(path.c_str(), "rb"), &std::fclose);
    std::FILE* file = standardInput ? stdin : owned.get();
    if (file == nullptr) {
        throw UsageError("cannot read " + name + ": " + std::strerror(errno));
    }
    std::string text(kMaxCommandFileBytes + 1, '\0');
    const std::size_t size = std::fread(text.data(), 1, text.size(), file);
    if (std::ferror(file)) {
        throw UsageError("cannot read " + name + ": " + std::strerror(errno));
    }
    if (size > kMaxCommandFileBytes) {
        throw UsageError(name + " is larger than " + std::to_string(kMaxCommandFileBytes) +
                         " bytes: not a command file");
    }
    text.resize(size);

    std::vector<CommandWords> commands;
    std::string_view rest = text;
    for (int number = 1; !rest.empty(); ++number) {
        const std::size_t end = std::min(rest.find('\n'), rest.size());
        std::string_view line = rest.substr(0, end);
        rest.remove_prefix(std::min(end + 1, rest.size()));
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        const std::size_t first = line.find_first_not_of(" \t");
        if (first == std::string_view::npos || line[first] == '#') {
            continue;
        }
        CommandWords command = LineWords(line, name + ":" + std::to_string(number) + ": ");
        if (command.words.empty()) {
            throw UsageError(command.where + "no command on the line");
        }
        commands.push_back(std::move(command));
    }
    if (commands.empty()) {
        throw UsageError(name + " holds no command");
    }
    return commands;
}
