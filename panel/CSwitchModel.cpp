// Key presses and timers of the switching model.
#include "panel/CSwitchModel.h"

#include <stdexcept>

#include "platform/LeadingInt.h"

namespace {

constexpr const char* kModeBoth = "B";
constexpr const char* kModeAudio = "A";
constexpr const char* kModeVideo = "V";
constexpr const char* kModeAll = "All";
constexpr const char* kModeSave = "Save";
constexpr const char* kModeRecall = "Recall";
constexpr const char* kModeClear = "Clear";
constexpr const char* kRangeError = "Please input one number of 1 ~ 128!";
constexpr std::size_t kKeypadFieldDigits = 3;

bool IsPresetMode(const std::string& mode) {
    return mode == kModeSave || mode == kModeRecall || mode == kModeClear;
}

int CheckedCount(int count) {
    if (count < 1) {
        throw std::invalid_argument("a switcher has at least one input and one output");
    }
    return count;
}

}  // namespace

CSwitchModel::CSwitchModel(int inputs, int outputs, ISwitchEffects& effects)
    : m_nInputCount(CheckedCount(inputs)),
      m_nOutputCount(CheckedCount(outputs)),
      m_layout(LayoutFor(inputs, outputs)),
      m_effects(effects) {}

// ---- helpers over the effects ---------------------------------------------------------

void CSwitchModel::Light(int key, bool on) {
    if (key != 0) {
        m_effects.LightKey(key, on);
    }
}

void CSwitchModel::Mark(int key, bool on, int mark) {
    if (key != 0) {
        m_effects.MarkKey(key, on, mark);
    }
}

void CSwitchModel::SetLitKey(int id) {
    m_pLitKey = id;
    Light(id, true);
}

void CSwitchModel::DarkenLitKey() {
    if (m_pLitKey) {
        Light(*m_pLitKey, false);
        m_pLitKey.reset();
    }
}

void CSwitchModel::Send(const DeviceCommand& command) {
    // A partial reply line from before this command belongs to an older exchange.
    ClearReplyBuffer();
    m_effects.SendToDevice(command.text, command.route, command.flag);
}

void CSwitchModel::RestartHighlightTimer() {
    m_effects.StopTimer(kTimerHighlight);
    m_effects.StartTimer(kTimerHighlight, kHighlightTimeoutMs);
}

void CSwitchModel::ClearFields() {
    m_effects.SetFieldText(NumberField::Input, "");
    m_effects.SetFieldText(NumberField::Output, "");
}

void CSwitchModel::ReportRangeError(NumberField field) {
    m_effects.ReplaceReplyText(kRangeError);
    m_effects.FocusField(field);
}

bool CSwitchModel::IsSignalMode() const {
    return m_strMode == kModeBoth || m_strMode == kModeAudio || m_strMode == kModeVideo;
}

bool CSwitchModel::InKeypadRange(int number) {
    return number >= kKeypadMinNumber && number <= kKeypadMaxNumber;
}

int CSwitchModel::RouteSlot(const RouteTable& table, int output) {
    return output >= 1 && output < kGridRouteSlots ? table[static_cast<std::size_t>(output)] : 0;
}

// ---- function keys --------------------------------------------------------------------

void CSwitchModel::OnFunctionKey(int id) {
    if (id < kFirstFunctionKey || id > kLastFunctionKey) {
        return;
    }
    m_effects.StopTimer(kTimerHighlight);
    if (m_pLitKey) {
        Light(*m_pLitKey, false);  // the reference stays: Back may light it again
    }
    switch (id) {
        case kKeyAV:
            SignalModeKey(id, kModeBoth);
            break;
        case kKeyV:
            SignalModeKey(id, kModeVideo);
            break;
        case kKeyA:
            SignalModeKey(id, kModeAudio);
            break;
        case kKeyAll:
            AllKey();
            break;
        case kKeyThrough:
            ThroughKey();
            break;
        case kKeyBack:
            BackKey();
            break;
        case kKeyUndo:
            FlashCommand(id, "Undo", UndoCommand(), true);
            break;
        case kKeyDemo:
            FlashCommand(id, "Demo", DemoCommand(), true);
            break;
        case kKeySave:
            PresetModeKey(id, kModeSave);
            break;
        case kKeyRecall:
            PresetModeKey(id, kModeRecall);
            break;
        case kKeyClear:
            PresetModeKey(id, kModeClear);
            break;
        case kKeyLock:
            FlashCommand(id, "/%Lock", LockCommand(), false);
            break;
        case kKeyUnlock:
            FlashCommand(id, "/%Unlock", UnlockCommand(), false);
            break;
        default:
            break;
    }
    m_effects.StartTimer(kTimerHighlight, kHighlightTimeoutMs);
}

void CSwitchModel::SignalModeKey(int id, const char* mode) {
    switch (m_layout) {
        case PanelLayout::Grid:
            Light(GridKey(m_nOutput, m_nInput), false);
            m_nInput = m_nOutput = 0;
            break;
        case PanelLayout::TwoRow:
            Light(InputKey(m_nInput), false);
            Light(OutputKey(m_nOutput), false);
            m_nInput = m_nOutput = 0;
            break;
        case PanelLayout::Keypad:
            ClearFields();  // the typed numbers themselves stay
            break;
    }
    m_strMode = mode;
    SetLitKey(id);
}

// A key whose whole action is one command: the key is lit (unless told not to) while the
// command goes out and its text stands as the mode meanwhile; afterwards nothing is pending.
void CSwitchModel::FlashCommand(int id, const char* mode, const DeviceCommand& command,
                                bool light) {
    m_strMode = mode;
    m_pLitKey = id;
    if (light) {
        Light(id, true);
    }
    Send(command);
    if (light) {
        Light(id, false);
    }
    m_pLitKey.reset();
    m_strMode.clear();
}

void CSwitchModel::PresetModeKey(int id, const char* mode) {
    m_strMode = mode;
    SetLitKey(id);
}

void CSwitchModel::AllKey() {
    // A lone output choice is dropped.
    switch (m_layout) {
        case PanelLayout::Grid:
            if (m_nInput == 0) {
                Light(GridKey(m_nOutput, 0), false);
                m_nInput = m_nOutput = 0;
            }
            break;
        case PanelLayout::TwoRow:
            if (m_nInput == 0) {
                Light(OutputKey(m_nOutput), false);
                m_nInput = m_nOutput = 0;
            }
            break;
        case PanelLayout::Keypad:
            ClearFields();
            break;
    }
    if (m_strMode == kModeBoth) {
        FlashCommand(kKeyAll, kModeAll, AllToAllCommand(), true);
        return;
    }
    m_strMode = kModeAll;
    SetLitKey(kKeyAll);
    if (m_nInput == 0) {
        return;  // "All" stays pending for an output pick or Through
    }
    DarkenLitKey();
    Send(InputToAllCommand(InputNo{m_nInput}));
    if (m_layout == PanelLayout::Grid) {
        Light(GridKey(0, m_nInput), false);
    } else if (m_layout == PanelLayout::TwoRow) {
        Light(InputKey(m_nInput), false);
    }
    m_strMode.clear();
    m_nInput = m_nOutput = 0;
}

void CSwitchModel::ThroughKey() {
    if (m_strMode == kModeAll) {
        Light(kKeyAll, false);
        m_strMode.clear();
        SetLitKey(kKeyThrough);
        Send(AllThroughCommand());
        Light(kKeyThrough, false);
        m_pLitKey.reset();
        return;
    }
    switch (m_layout) {
        case PanelLayout::Grid:
            if (m_nInput != 0) {
                Light(GridKey(m_nOutput, m_nInput), false);
            }
            break;
        case PanelLayout::TwoRow:
            if (m_nInput == 0) {
                return;  // the pending mode stays
            }
            Light(InputKey(m_nInput), true);
            break;
        case PanelLayout::Keypad:
            if (m_nInput == 0) {
                ClearFields();
            }
            break;
    }
    m_strMode.clear();
    SetLitKey(kKeyThrough);
    if (m_nInput != 0) {
        Send(InputThroughCommand(InputNo{m_nInput}));
    }
    if (m_layout == PanelLayout::Grid) {
        Light(GridKey(m_nOutput, m_nInput), false);
    } else if (m_layout == PanelLayout::TwoRow) {
        Light(InputKey(m_nInput), false);
    }
    m_nInput = m_nOutput = 0;
    Light(kKeyThrough, false);
    m_pLitKey.reset();
}

void CSwitchModel::BackKey() {
    if (m_nInput == 0 || m_nOutput != 0) {
        m_strMode.clear();
        DarkenLitKey();
        return;
    }
    // An input is chosen and no output: drop the input, keep the pending mode.
    switch (m_layout) {
        case PanelLayout::Grid:
            Light(GridKey(0, m_nInput), false);
            m_nInput = m_nOutput = 0;
            break;
        case PanelLayout::TwoRow:
            Light(InputKey(m_nInput), false);
            m_nInput = m_nOutput = 0;
            break;
        case PanelLayout::Keypad:
            m_effects.SetFieldText(NumberField::Input, "");
            m_nInput = 0;
            break;
    }
    if (m_pLitKey) {
        Light(*m_pLitKey, true);  // the common frame darkened it
    }
}

// ---- matrix keys ----------------------------------------------------------------------

void CSwitchModel::OnMatrixKey(int id) {
    if (id < kFirstMatrixKey || id > kLastMatrixKey) {
        return;
    }
    switch (m_layout) {
        case PanelLayout::Grid:
            GridKeyPressed(id);
            break;
        case PanelLayout::TwoRow:
            TwoRowKeyPressed(id);
            break;
        case PanelLayout::Keypad:
            KeypadDigit(id);
            break;
    }
}

void CSwitchModel::ExecuteMode() {
    if (m_strMode.empty() || m_strMode == kModeBoth || m_strMode == kModeAudio ||
        m_strMode == kModeVideo) {
        if (m_nOutput != 0) {
            const char kind = m_strMode.empty() ? 'B' : m_strMode[0];
            Send(RouteCommand(kind, InputNo{m_nInput}, OutputNo{m_nOutput}));
        }
    } else if (IsPresetMode(m_strMode)) {
        if (m_nInput == 0) {
            Send(PresetCommand(m_strMode, m_nOutput));
        }
    } else if (m_strMode == kModeAll) {
        if (m_nInput == 0 && m_nOutput != 0) {
            DarkenLitKey();
            m_strMode.clear();
            Send(AllToOutputCommand(OutputNo{m_nOutput}));
        }
    }
}

void CSwitchModel::GridKeyPressed(int id) {
    const int k = id - kFirstMatrixKey;
    const int output = k / (m_nInputCount + 1);
    const int input = k % (m_nInputCount + 1);
    if (k == 0 || output > m_nOutputCount) {
        return;  // the corner key, or no key of this panel
    }
    if (output == 0) {  // header: the operator picks an input
        DarkenGridChoice();
        m_nInput = input;
        if (!IsSignalMode() && m_pLitKey) {
            Light(*m_pLitKey, false);
        }
        m_effects.StopTimer(kTimerHighlight);
        Light(GridKey(0, input), true);
        m_effects.StartTimer(kTimerHighlight, kHighlightTimeoutMs);
    } else if (input == 0) {  // label: the operator picks an output
        m_nOutput = output;
        Light(GridKey(output, 0), true);
        if (m_strMode.empty()) {
            Send(OutputStatusCommand(OutputNo{output}));
            Light(GridKey(output, 0), false);
            m_nOutput = 0;
            return;
        }
    } else {  // crosspoint: input and output at once
        Light(GridKey(m_nOutput, m_nInput), false);
        m_nInput = input;
        m_nOutput = output;
        Light(GridKey(output, input), true);
    }
    if (m_nOutput == 0) {
        return;
    }
    ExecuteMode();
    if (IsSignalMode()) {
        // The input and the mode stay chosen: a further label switches it to one more output.
        DarkenGridChoice();
        Light(GridKey(0, m_nInput), true);
        m_nOutput = 0;
        RestartHighlightTimer();
        return;
    }
    m_strMode.clear();
    DarkenLitKey();
    DarkenGridChoice();
    m_nInput = m_nOutput = 0;
}

void CSwitchModel::DarkenGridChoice() {
    Light(GridKey(0, m_nInput), false);
    Light(GridKey(m_nOutput, 0), false);
    Light(GridKey(m_nOutput, m_nInput), false);
}

void CSwitchModel::TwoRowKeyPressed(int id) {
    const int k = id - kFirstMatrixKey;
    if (k < m_nInputCount) {  // an input key
        const int input = k + 1;
        Light(InputKey(m_nInput), false);
        Light(OutputKey(m_nOutput), false);
        m_nInput = input;
        m_effects.StopTimer(kTimerHighlight);
        Light(InputKey(input), true);
        m_effects.StartTimer(kTimerHighlight, kHighlightTimeoutMs);
    } else if (k < m_nInputCount + m_nOutputCount) {  // an output key
        const int output = k - m_nInputCount + 1;
        Light(OutputKey(m_nOutput), false);
        m_nOutput = output;
        Light(OutputKey(output), true);
        if (m_nInput == 0 && m_strMode.empty()) {
            Send(OutputStatusCommand(OutputNo{output}));
            m_strMode.clear();
            DarkenLitKey();
            Light(OutputKey(output), false);
            m_nOutput = 0;
            return;
        }
    } else {
        return;  // no key of this panel
    }
    if (m_nOutput == 0) {
        return;
    }
    ExecuteMode();
    if (IsSignalMode()) {
        Light(OutputKey(m_nOutput), false);
        m_nOutput = 0;
        RestartHighlightTimer();
        return;
    }
    m_strMode.clear();
    DarkenLitKey();
    Light(InputKey(m_nInput), false);
    Light(OutputKey(m_nOutput), false);
    m_nInput = m_nOutput = 0;
}

void CSwitchModel::KeypadDigit(int id) {
    const int k = id - kFirstMatrixKey;
    if (k >= 2 * 10) {
        return;  // no key of this panel
    }
    const char digit = static_cast<char>('0' + (id - kFirstMatrixKey + 1) % 10);
    const NumberField field =
        id < kKeypadOutputDigitBase ? NumberField::Input : NumberField::Output;
    std::string text = m_effects.FieldText(field);
    if (text.size() < kKeypadFieldDigits) {
        text += digit;
        m_effects.SetFieldText(field, text);
    }
    (field == NumberField::Input ? m_nInput : m_nOutput) = LeadingInt(text);
}

void CSwitchModel::OnEnter() {
    if (m_layout != PanelLayout::Keypad) {
        return;
    }
    ClearFields();
    if (m_strMode.empty() && m_nInput == 0) {
        Send(OutputStatusCommand(OutputNo{m_nOutput}));
        m_nInput = m_nOutput = 0;
        return;
    }
    if (IsSignalMode()) {
        if (!InKeypadRange(m_nInput)) {
            ReportRangeError(NumberField::Input);
            return;
        }
        if (!InKeypadRange(m_nOutput)) {
            ReportRangeError(NumberField::Output);
            return;
        }
    }
    if (IsPresetMode(m_strMode) && !InKeypadRange(m_nOutput)) {
        ReportRangeError(NumberField::Output);
        return;
    }
    if (m_strMode == kModeAll) {
        if (!InKeypadRange(m_nOutput)) {
            ReportRangeError(NumberField::Output);
            return;
        }
        ExecuteMode();
        m_nInput = m_nOutput = 0;
        return;
    }
    ExecuteMode();  // the mode stays pending for the next Enter
    m_nInput = m_nOutput = 0;
    ClearFields();
}

// ---- timers ---------------------------------------------------------------------------

void CSwitchModel::OnHighlightTimeout() {
    // Only the highlights go; the mode and the choice stay for a later pick.
    DarkenLitKey();
    if (m_layout == PanelLayout::Grid) {
        Light(GridKey(0, m_nInput), false);
    } else if (m_layout == PanelLayout::TwoRow) {
        Light(InputKey(m_nInput), false);
    }
}

void CSwitchModel::OnMarkTimeout() {
    if (m_layout == PanelLayout::TwoRow) {
        MarkAllTwoRowKeys(false, kMarkPlain);
    }
}
