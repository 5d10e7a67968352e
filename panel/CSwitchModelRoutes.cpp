// Route display of the switching model: marks only, never a command or a change of choice.
#include <algorithm>

#include "panel/CSwitchModel.h"

namespace {

// In the grid a crosspoint carrying audio only shows mark 4 and video only mark 3;
// two-row keys read the other way round.
constexpr int kGridAudioMark = kMark4;
constexpr int kGridVideoMark = kMark3;
constexpr int kTwoRowAudioMark = kMark3;
constexpr int kTwoRowVideoMark = kMark4;

}  // namespace

void CSwitchModel::ShowRouteBoth(OutputNo outputNo, InputNo inputNo) {
    const int output = outputNo.value;
    const int input = inputNo.value;
    if (output < 1 || output > m_nOutputCount || input < 1 || input > m_nInputCount) {
        return;
    }
    if (m_layout == PanelLayout::Grid) {
        GridRouteBoth(output, input);
    } else if (m_layout == PanelLayout::TwoRow) {
        Mark(InputKey(input), true, kMarkBoth);
        Mark(OutputKey(output), true, kMarkBoth);
        m_effects.StartTimer(kTimerRouteMark, kMarkTimeoutMs);
    }
}

// Numbers already checked. Kept lean: "All Through." and "n To All" run it for every output.
void CSwitchModel::GridRouteBoth(int output, int input) {
    const auto o = static_cast<std::size_t>(output);
    const int row = kFirstMatrixKey + output * (m_nInputCount + 1);
    if (m_nRouteAV[o] == input && m_nRouteA[o] == 0 && m_nRouteV[o] == 0) {
        m_effects.MarkKey(row + input, true, kMarkBoth);  // already shown: just refresh
        return;
    }
    if (m_nRouteAV[o] != 0) {
        m_effects.MarkKey(row + m_nRouteAV[o], false, kMarkPlain);
    }
    if (m_nRouteA[o] != 0) {
        m_effects.MarkKey(row + m_nRouteA[o], false, kMarkPlain);
    }
    if (m_nRouteV[o] != 0) {
        m_effects.MarkKey(row + m_nRouteV[o], false, kMarkPlain);
    }
    m_nRouteA[o] = 0;
    m_nRouteV[o] = 0;
    m_nRouteAV[o] = input;
    m_effects.MarkKey(row + input, true, kMarkBoth);
}

void CSwitchModel::ShowRouteAudio(OutputNo outputNo, InputNo inputNo) {
    const int output = outputNo.value;
    const int input = inputNo.value;
    if (output < 1 || output > m_nOutputCount || input < 1 || input > m_nInputCount) {
        return;
    }
    if (m_layout == PanelLayout::Grid) {
        GridRouteOneKind(output, input, m_nRouteA, m_nRouteV, kGridAudioMark, kGridVideoMark);
    } else if (m_layout == PanelLayout::TwoRow) {
        TwoRowRouteOneKind(output, input, kTwoRowVideoMark, kTwoRowAudioMark);
    }
}

void CSwitchModel::ShowRouteVideo(OutputNo outputNo, InputNo inputNo) {
    const int output = outputNo.value;
    const int input = inputNo.value;
    if (output < 1 || output > m_nOutputCount || input < 1 || input > m_nInputCount) {
        return;
    }
    if (m_layout == PanelLayout::Grid) {
        GridRouteOneKind(output, input, m_nRouteV, m_nRouteA, kGridVideoMark, kGridAudioMark);
    } else if (m_layout == PanelLayout::TwoRow) {
        TwoRowRouteOneKind(output, input, kTwoRowAudioMark, kTwoRowVideoMark);
    }
}

// One signal kind ("same") now comes from `input`; the other kind keeps its source. An
// audio-and-video route splits when only one of its kinds moves, and two single-kind routes
// from the same input merge into one.
void CSwitchModel::GridRouteOneKind(int output, int input, RouteTable& same, RouteTable& other,
                                    int sameMark, int otherMark) {
    const auto o = static_cast<std::size_t>(output);
    if (same[o] != 0) {
        Mark(GridKey(output, same[o]), false, kMarkPlain);
    }
    if (const int both = m_nRouteAV[o]; both != 0) {
        Mark(GridKey(output, both), false, kMarkPlain);
        if (both == input) {
            Mark(GridKey(output, input), true, kMarkBoth);
            return;
        }
        Mark(GridKey(output, both), true, otherMark);
        other[o] = both;
        m_nRouteAV[o] = 0;
        same[o] = input;
        Mark(GridKey(output, input), true, sameMark);
        return;
    }
    if (other[o] == input) {
        Mark(GridKey(output, input), true, kMarkBoth);
        m_nRouteAV[o] = input;
        same[o] = 0;
        other[o] = 0;
    } else {
        same[o] = input;
        Mark(GridKey(output, input), true, sameMark);
    }
}

// A key that already shows the other kind now carries both.
void CSwitchModel::TwoRowRouteOneKind(int output, int input, int partnerMark, int ownMark) {
    for (const int key : {InputKey(input), OutputKey(output)}) {
        Mark(key, true, m_effects.KeyMark(key) == partnerMark ? kMarkBoth : ownMark);
    }
    m_effects.StartTimer(kTimerRouteMark, kMarkTimeoutMs);
}

void CSwitchModel::MarkAllTwoRowKeys(bool on, int mark) {
    for (int i = 1; i <= m_nInputCount; ++i) {
        Mark(InputKey(i), on, mark);
    }
    for (int o = 1; o <= m_nOutputCount; ++o) {
        Mark(OutputKey(o), on, mark);
    }
}

void CSwitchModel::ShowAllThrough() {
    if (m_layout == PanelLayout::Keypad) {
        return;
    }
    if (m_layout == PanelLayout::TwoRow) {
        MarkAllTwoRowKeys(true, kMarkBoth);
        m_effects.StartTimer(kTimerAllThroughMark, kMarkTimeoutMs);
    }
    for (int k = 1; k <= std::min(m_nInputCount, m_nOutputCount); ++k) {
        ShowRouteBoth(OutputNo{k}, InputNo{k});
    }
}

void CSwitchModel::ShowInputToAll(int input) {
    if (m_layout == PanelLayout::Keypad || input < 1 || input > m_nInputCount) {
        return;
    }
    for (int o = 1; o <= m_nOutputCount; ++o) {
        if (m_layout == PanelLayout::Grid) {
            GridRouteBoth(o, input);
        } else {
            ShowRouteBoth(OutputNo{o}, InputNo{input});
        }
    }
}

// An output reported off: its routes go dark with the plain mark and are forgotten.
void CSwitchModel::ShowOutputOff(int output) {
    if (output < 1 || output > m_nOutputCount) {
        return;
    }
    if (m_layout == PanelLayout::Grid) {
        const auto o = static_cast<std::size_t>(output);
        for (RouteTable* table : {&m_nRouteAV, &m_nRouteA, &m_nRouteV}) {
            if ((*table)[o] != 0) {
                Mark(GridKey(output, (*table)[o]), false, kMarkPlain);
                (*table)[o] = 0;
            }
        }
    } else if (m_layout == PanelLayout::TwoRow) {
        Mark(OutputKey(output), false, kMarkPlain);
    }
}
