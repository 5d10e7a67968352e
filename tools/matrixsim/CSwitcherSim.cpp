#include "tools/matrixsim/CSwitcherSim.h"

#include <algorithm>
#include <optional>

#include "platform/PlainText.h"

namespace {

constexpr std::size_t kUndoDepth = 16;
constexpr int kPresets = 128;
constexpr const char* kEnd = "\r\n";
constexpr const char* kCommandError = "Command Error!\r\n";
constexpr const char* kLockedReply = "System Locked!\r\n";

// A plain decimal number making up the whole text; anything past six digits is no number a
// switcher takes.
std::optional<int> Number(std::string_view text) {
    return ReadDecimal(text, 0, 999'999);
}

std::string Route(const char* kind, int input, int output) {
    std::string line =
        std::string(kind) + ":" + std::to_string(input) + "->" + std::to_string(output);
    if (input == 0) {
        line += " OFF";
    }
    return line + kEnd;
}

bool StartsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

}  // namespace

CSwitcherSim::CSwitcherSim(int inputs, int outputs)
    : m_nInputs(inputs),
      m_nOutputs(outputs),
      m_audio(static_cast<std::size_t>(outputs) + 1, 0),
      m_video(static_cast<std::size_t>(outputs) + 1, 0) {
    for (int o = 1; o <= outputs; ++o) {
        m_audio[static_cast<std::size_t>(o)] = m_video[static_cast<std::size_t>(o)] =
            std::min(o, inputs);
    }
}

std::string CSwitcherSim::Answer(std::string_view command) {
    if (StartsWith(command, "AT")) {
        return Module(command);
    }
    if (command.empty()) {
        return kCommandError;
    }
    const char terminator = command.back();
    const std::string_view text = command.substr(0, command.size() - 1);
    if (terminator == ';') {
        if (text == "/*Type") {
            return "HDMI matrix " + std::to_string(m_nInputs) + "x" + std::to_string(m_nOutputs) +
                   kEnd;
        }
        if (text == "/^Version") {
            return std::string("Version: matrixsim 1.0") + kEnd;
        }
        if (text == "/%Lock") {
            m_bLocked = true;
            return kLockedReply;
        }
        if (text == "/%Unlock") {
            m_bLocked = false;
            return std::string("System Unlocked!") + kEnd;
        }
        return kCommandError;
    }
    if (terminator != '.') {
        return kCommandError;
    }
    if (text == "Status") {
        return AllStatus();
    }
    if (StartsWith(text, "Status")) {
        const auto output = Number(text.substr(6));
        return output && ValidOutput(*output) ? StatusLine(*output) : kCommandError;
    }
    if (m_bLocked) {
        return kLockedReply;
    }
    return Switch(text);
}

std::string CSwitcherSim::Switch(std::string_view text) {
    using Handler = std::string (CSwitcherSim::*)(std::string_view);
    struct Shape {
        bool (*matches)(std::string_view text);
        Handler handle;
    };
    // Tried in this order: the fixed words, then the numbered shapes.
    static constexpr Shape kShapes[] = {
        {[](std::string_view t) { return t == "Demo"; }, &CSwitcherSim::ToggleDemo},
        {[](std::string_view t) { return t == "Undo"; }, &CSwitcherSim::Undo},
        {[](std::string_view t) {
             return StartsWith(t, "Save") || StartsWith(t, "Recall") || StartsWith(t, "Clear");
         },
         &CSwitcherSim::Preset},
        {[](std::string_view t) { return t == "All#"; }, &CSwitcherSim::AllThrough},
        {[](std::string_view t) { return t == "All$"; }, &CSwitcherSim::AllOff},
        {[](std::string_view t) { return t.size() > 3 && t.substr(t.size() - 3) == "All"; },
         &CSwitcherSim::InputToAll},
        {[](std::string_view t) { return !t.empty() && (t.back() == '$' || t.back() == '#'); },
         &CSwitcherSim::OneOutput},
        {[](std::string_view t) { return t.find_first_of("BAV") != std::string_view::npos; },
         &CSwitcherSim::RouteOne},
    };
    for (const Shape& shape : kShapes) {
        if (shape.matches(text)) {
            return (this->*shape.handle)(text);
        }
    }
    return kCommandError;
}

std::string CSwitcherSim::ToggleDemo(std::string_view) {
    m_bDemo = !m_bDemo;
    return std::string(m_bDemo ? "Demo Mode" : "Normal Mode") + kEnd;
}

std::string CSwitcherSim::Undo(std::string_view) {
    if (m_undo.empty()) {
        return std::string("Nothing to undo") + kEnd;
    }
    m_audio = m_undo.back().audio;
    m_video = m_undo.back().video;
    m_undo.pop_back();
    return AllStatus();
}

// "Save3", "Recall3", "Clear3".
std::string CSwitcherSim::Preset(std::string_view text) {
    const char action = text[0];
    const std::size_t word = action == 'R' ? 6 : action == 'C' ? 5 : 4;
    const auto preset = Number(text.substr(word));
    if (!preset || *preset < 1 || *preset > kPresets) {
        return kCommandError;
    }
    const std::string name = std::to_string(*preset);
    if (action == 'S') {
        m_presets[*preset] = Routes{m_audio, m_video};
        return "Save To F" + name + kEnd;
    }
    if (action == 'C') {
        m_presets.erase(*preset);
        return "Clear F" + name + kEnd;
    }
    const auto found = m_presets.find(*preset);
    if (found == m_presets.end()) {
        return "F" + name + " Is Empty" + kEnd;
    }
    Remember();
    m_audio = found->second.audio;
    m_video = found->second.video;
    return "Recall From F" + name + kEnd + AllStatus();
}

std::string CSwitcherSim::AllThrough(std::string_view) {
    Remember();
    for (int o = 1; o <= m_nOutputs; ++o) {
        const int input = o <= m_nInputs ? o : 0;
        m_audio[static_cast<std::size_t>(o)] = m_video[static_cast<std::size_t>(o)] = input;
    }
    return std::string("All Through.") + kEnd;
}

std::string CSwitcherSim::AllOff(std::string_view) {
    Remember();
    std::string replies;
    for (int o = 1; o <= m_nOutputs; ++o) {
        m_audio[static_cast<std::size_t>(o)] = m_video[static_cast<std::size_t>(o)] = 0;
        replies += Route("AV", 0, o);
    }
    return replies;
}

// "3All": input 3 to every output.
std::string CSwitcherSim::InputToAll(std::string_view text) {
    const auto input = Number(text.substr(0, text.size() - 3));
    if (!input || !ValidInput(*input)) {
        return kCommandError;
    }
    Remember();
    std::fill(m_audio.begin() + 1, m_audio.end(), *input);
    std::fill(m_video.begin() + 1, m_video.end(), *input);
    return std::to_string(*input) + " To All" + kEnd;
}

// "o$" turns output o off; "i#" passes input i straight through to output i.
std::string CSwitcherSim::OneOutput(std::string_view text) {
    const auto number = Number(text.substr(0, text.size() - 1));
    const bool off = text.back() == '$';
    if (!number || !ValidOutput(*number) || (!off && !ValidInput(*number))) {
        return kCommandError;
    }
    Remember();
    const int input = off ? 0 : *number;
    m_audio[static_cast<std::size_t>(*number)] = m_video[static_cast<std::size_t>(*number)] = input;
    return Route("AV", input, *number);
}

// "3B5", "3A5", "3V5": input 3 to output 5 in both, audio or video; input 0 turns it off.
std::string CSwitcherSim::RouteOne(std::string_view text) {
    const std::size_t kindAt = text.find_first_of("BAV");
    const auto input = Number(text.substr(0, kindAt));
    const auto output = Number(text.substr(kindAt + 1));
    if (!input || !output || !ValidOutput(*output) || (*input != 0 && !ValidInput(*input))) {
        return kCommandError;
    }
    Remember();
    const char kind = text[kindAt];
    const auto o = static_cast<std::size_t>(*output);
    if (kind != 'V') {
        m_audio[o] = *input;
    }
    if (kind != 'A') {
        m_video[o] = *input;
    }
    return Route(kind == 'B' ? "AV" : kind == 'A' ? "A" : "V", *input, *output);
}

std::string CSwitcherSim::Module(std::string_view text) {
    static constexpr std::string_view kPrefix = "AT + C1_";
    if (!StartsWith(text, kPrefix)) {
        return std::string("ERROR") + kEnd;
    }
    const std::string_view rest = text.substr(kPrefix.size());
    const std::size_t equals = rest.find(" = ");
    if (equals == std::string_view::npos) {
        return std::string("ERROR") + kEnd;
    }
    const std::string_view name = rest.substr(0, equals);
    const std::string_view value = rest.substr(equals + 3);
    bool ok = false;
    if (name == "BAUD") {
        const auto rate = Number(value);
        ok = rate && (*rate == 1200 || *rate == 2400 || *rate == 4800 || *rate == 9600 ||
                      *rate == 19200 || *rate == 38400 || *rate == 57600 || *rate == 115200);
    } else if (name == "PARITY") {
        ok = value.size() == 1 && value[0] >= '0' && value[0] <= '4';
    } else if (name == "DATAB") {
        ok = value.size() == 1 && value[0] >= '5' && value[0] <= '8';
    } else if (name == "STOPB") {
        ok = value == "1" || value == "1.5" || value == "2";
    }
    return std::string(ok ? "OK" : "ERROR") + kEnd;
}

std::string CSwitcherSim::StatusLine(int output) const {
    const int audio = Audio(output);
    const int video = Video(output);
    if (audio == video) {
        return Route("AV", audio, output);
    }
    return Route("A", audio, output) + Route("V", video, output);
}

std::string CSwitcherSim::AllStatus() const {
    std::string lines;
    for (int o = 1; o <= m_nOutputs; ++o) {
        lines += StatusLine(o);
    }
    return lines;
}

void CSwitcherSim::Remember() {
    m_undo.push_back(Routes{m_audio, m_video});
    if (m_undo.size() > kUndoDepth) {
        m_undo.pop_front();
    }
}
