#pragma once

#include <deque>
#include <map>
#include <string>
#include <string_view>
#include <vector>

// A switcher with N inputs and M outputs: audio and video routes per output (0 = off),
// presets, lock and demonstration mode. Answer() takes one command with its terminator (or a
// module "AT + C1_..." command) and returns the reply lines, each ended by CR LF.
class CSwitcherSim {
  public:
    CSwitcherSim(int inputs, int outputs);

    std::string Answer(std::string_view command);

    int Audio(int output) const { return m_audio.at(static_cast<std::size_t>(output)); }
    int Video(int output) const { return m_video.at(static_cast<std::size_t>(output)); }
    bool Locked() const { return m_bLocked; }
    bool Demo() const { return m_bDemo; }

  private:
    struct Routes {
        std::vector<int> audio;
        std::vector<int> video;
    };

    // A switching command (terminator taken off), by its shape; each handler answers one.
    std::string Switch(std::string_view text);
    std::string ToggleDemo(std::string_view text);
    std::string Undo(std::string_view text);
    std::string Preset(std::string_view text);
    std::string AllThrough(std::string_view text);
    std::string AllOff(std::string_view text);
    std::string InputToAll(std::string_view text);
    std::string OneOutput(std::string_view text);
    std::string RouteOne(std::string_view text);
    std::string Module(std::string_view text);
    std::string StatusLine(int output) const;
    std::string AllStatus() const;
    void Remember();
    bool ValidInput(int input) const { return input >= 1 && input <= m_nInputs; }
    bool ValidOutput(int output) const { return output >= 1 && output <= m_nOutputs; }

    int m_nInputs;
    int m_nOutputs;
    std::vector<int> m_audio;  // by output, index 0 unused
    std::vector<int> m_video;
    std::map<int, Routes> m_presets;
    std::deque<Routes> m_undo;  // the last states before a change, newest last
    bool m_bLocked = false;
    bool m_bDemo = false;
};
