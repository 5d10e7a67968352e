#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "access/LabelsFile.h"

// A client of any door, as the hub knows it (for locks and turns). 0 is nobody.
using ClientId = std::uint64_t;
inline constexpr ClientId kNoClient = 0;

// An id never given before in this process. Every door's clients share one count, so that an
// id names one client in the whole daemon (the command queue serves them in turn, locks name
// their owner). The event loop's thread only.
inline ClientId NewClientId() {
    static ClientId last = kNoClient;
    return ++last;
}

// What the daemon knows of the switcher: the video and the audio route of every output (a
// door that knows one level only shows the video route), whether an output was switched off,
// the labels and the locks. Ports are counted from 0 here, as the protocol counts
// them; the switcher and the labels file count from 1. Routes not learned yet are -1 and are left
// out of what clients see.
class CHubState {
  public:
    CHubState(int inputs, int outputs, LabelNames labels);

    int Inputs() const { return m_nInputs; }
    int Outputs() const { return m_nOutputs; }

    int VideoRoute(int output) const { return m_video[Index(output)]; }
    int AudioRoute(int output) const { return m_audio[Index(output)]; }
    // The switcher reported the output switched off ("5$."), and no video route to it came
    // since. Its last route stays in VideoRoute for doors that have no word for "off".
    bool IsOff(int output) const { return m_off[Index(output)]; }
    // Sets the video route; marks the output changed when it moved.
    void SetVideoRoute(int output, int input);
    // Sets the audio route; marks the output's audio changed when it moved.
    void SetAudioRoute(int output, int input);

    // Reads one reply line of the switcher by the panel's rules and learns what it says.
    // Returns the output a line reported off (1-based, as the line says it), else 0.
    int ApplyReplyLine(std::string_view line);

    // The outputs whose video route (or being off) changed since the last call, in order, then
    // forgets them.
    std::vector<int> TakeChangedRoutes();
    // The same for the audio routes.
    std::vector<int> TakeChangedAudio();
    // Learning starts over when the link comes back: every route is to be heard anew.
    void StartLearning();
    // True once every output's route was heard since StartLearning.
    bool AllRoutesHeard() const { return m_nHeard == m_nOutputs; }

    const LabelNames& Labels() const { return m_labels; }
    void SetLabels(LabelNames labels) { m_labels = std::move(labels); }
    // The label a client sees: the file's name, else "Input 3" / "Output 3".
    std::string InputLabel(int input) const;
    std::string OutputLabel(int output) const;

    ClientId LockOwner(int output) const { return m_locks[Index(output)]; }
    void SetLockOwner(int output, ClientId owner) { m_locks[Index(output)] = owner; }
    // Releases every lock `owner` holds; returns the outputs released.
    std::vector<int> ReleaseLocks(ClientId owner);

  private:
    static std::size_t Index(int port) { return static_cast<std::size_t>(port); }
    void Heard(int output);
    void SetBoth(int output, int input) {
        SetVideoRoute(output, input);
        SetAudioRoute(output, input);
    }
    void SetOff(int output, bool off);

    int m_nInputs;
    int m_nOutputs;
    std::vector<int> m_video;
    std::vector<int> m_audio;
    std::vector<ClientId> m_locks;
    std::vector<bool> m_off;
    std::vector<bool> m_changed;
    std::vector<bool> m_audioChanged;
    std::vector<bool> m_heard;
    int m_nHeard = 0;
    LabelNames m_labels;
};
