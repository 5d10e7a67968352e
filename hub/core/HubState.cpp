#include "hub/core/HubState.h"

#include <algorithm>

#include "panel/ReplyLine.h"

CHubState::CHubState(int inputs, int outputs, LabelNames labels)
    : m_nInputs(inputs),
      m_nOutputs(outputs),
      m_video(Index(outputs), -1),
      m_audio(Index(outputs), -1),
      m_locks(Index(outputs), kNoClient),
      m_off(Index(outputs), false),
      m_changed(Index(outputs), false),
      m_audioChanged(Index(outputs), false),
      m_heard(Index(outputs), false),
      m_labels(std::move(labels)) {}

void CHubState::SetVideoRoute(int output, int input) {
    const std::size_t o = Index(output);
    SetOff(output, false);
    if (m_video[o] != input) {
        m_video[o] = input;
        m_changed[o] = true;
    }
}

void CHubState::SetAudioRoute(int output, int input) {
    const std::size_t o = Index(output);
    if (m_audio[o] != input) {
        m_audio[o] = input;
        m_audioChanged[o] = true;
    }
}

void CHubState::SetOff(int output, bool off) {
    const std::size_t o = Index(output);
    if (m_off[o] != off) {
        m_off[o] = off;
        m_changed[o] = true;
    }
}

void CHubState::Heard(int output) {
    if (!m_heard[Index(output)]) {
        m_heard[Index(output)] = true;
        ++m_nHeard;
    }
}

int CHubState::ApplyReplyLine(std::string_view line) {
    const ReplyLine reply = ReadReplyLine(line, m_nInputs, m_nOutputs);
    switch (reply.kind) {
        case ReplyKind::Route: {
            const int output = reply.output - 1;
            const int input = reply.input - 1;
            if (reply.signal == "AV") {
                SetBoth(output, input);
            } else if (reply.signal == "V") {
                SetVideoRoute(output, input);
            } else if (reply.signal == "A") {
                SetAudioRoute(output, input);
            } else {
                break;  // a signal kind nobody shows
            }
            Heard(output);
            break;
        }
        case ReplyKind::AllThrough:
            for (int k = 0; k < std::min(m_nInputs, m_nOutputs); ++k) {
                SetBoth(k, k);
                Heard(k);
            }
            break;
        case ReplyKind::InputToAll:
            for (int o = 0; o < m_nOutputs; ++o) {
                SetBoth(o, reply.input - 1);
                Heard(o);
            }
            break;
        case ReplyKind::OutputOff:
            // The last video route stays for doors that cannot show an output without a
            // source; the others show it off.
            SetAudioRoute(reply.output - 1, -1);
            SetOff(reply.output - 1, true);
            Heard(reply.output - 1);
            return reply.output;
        default:
            break;
    }
    return 0;
}

namespace {

std::vector<int> TakeMarked(std::vector<bool>& marks) {
    std::vector<int> marked;
    for (std::size_t o = 0; o < marks.size(); ++o) {
        if (marks[o]) {
            marked.push_back(static_cast<int>(o));
            marks[o] = false;
        }
    }
    return marked;
}

}  // namespace

std::vector<int> CHubState::TakeChangedRoutes() {
    return TakeMarked(m_changed);
}

std::vector<int> CHubState::TakeChangedAudio() {
    return TakeMarked(m_audioChanged);
}

void CHubState::StartLearning() {
    std::fill(m_heard.begin(), m_heard.end(), false);
    m_nHeard = 0;
}

std::string CHubState::InputLabel(int input) const {
    const auto found = m_labels.inputs.find(input + 1);
    return found != m_labels.inputs.end() ? found->second : "Input " + std::to_string(input + 1);
}

std::string CHubState::OutputLabel(int output) const {
    const auto found = m_labels.outputs.find(output + 1);
    return found != m_labels.outputs.end() ? found->second : "Output " + std::to_string(output + 1);
}

std::vector<int> CHubState::ReleaseLocks(ClientId owner) {
    std::vector<int> released;
    for (int o = 0; o < m_nOutputs; ++o) {
        if (m_locks[Index(o)] == owner) {
            m_locks[Index(o)] = kNoClient;
            released.push_back(o);
        }
    }
    return released;
}
