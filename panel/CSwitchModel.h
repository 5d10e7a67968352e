#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

#include "panel/CommandSet.h"
#include "panel/ISwitchEffects.h"
#include "panel/PanelLayout.h"
#include "panel/ReplyLineReader.h"

// The switching panel without its window: takes key presses, timer expiries and reply text,
// keeps the pending mode and the operator's choice, and acts only through ISwitchEffects.
// Runs on the thread that owns the panel window; not thread-safe.
class CSwitchModel {
  public:
    static constexpr std::size_t kMaxReplyLine = ReplyLineReader::kMaxLine;
    static constexpr int kGridRouteSlots = kGridMaxCount + 1;  // outputs 1..16, slot 0 unused

    CSwitchModel(int inputs, int outputs, ISwitchEffects& effects);

    // Operator input.
    void OnFunctionKey(int id);
    void OnMatrixKey(int id);
    void OnEnter();

    // Timers: 5 is the highlight time-out, 3 and 4 end two-row route marks.
    void OnHighlightTimeout();
    void OnMarkTimeout();

    // Route display for what a reply line said.
    void ShowRouteBoth(OutputNo output, InputNo input);
    void ShowRouteAudio(OutputNo output, InputNo input);
    void ShowRouteVideo(OutputNo output, InputNo input);
    void ShowAllThrough();
    void ShowInputToAll(int input);
    void ShowOutputOff(int output);

    // Reply text, in chunks of any size.
    void ShowReply(std::string_view text);  // FeedReply, then append to the reply box
    void FeedReply(std::string_view text);
    void ClearReplyBuffer();

    // Key ids of this panel; 0 where the layout has no such key. Inline: the route display
    // asks for them for every key it marks.
    int GridKey(int output, int input) const {
        if (m_layout != PanelLayout::Grid || output < 0 || output > m_nOutputCount || input < 0 ||
            input > m_nInputCount) {
            return 0;
        }
        return kFirstMatrixKey + output * (m_nInputCount + 1) + input;
    }
    int InputKey(int input) const {
        if (m_layout != PanelLayout::TwoRow || input < 1 || input > m_nInputCount) {
            return 0;
        }
        return kFirstMatrixKey + input - 1;
    }
    int OutputKey(int output) const {
        if (m_layout != PanelLayout::TwoRow || output < 1 || output > m_nOutputCount) {
            return 0;
        }
        return kFirstMatrixKey + m_nInputCount + output - 1;
    }

    PanelLayout Layout() const { return m_layout; }
    int InputCount() const { return m_nInputCount; }
    int OutputCount() const { return m_nOutputCount; }
    const std::string& Mode() const { return m_strMode; }
    int Input() const { return m_nInput; }
    int Output() const { return m_nOutput; }
    std::optional<int> LitKey() const { return m_pLitKey; }
    int LastRouteInput() const { return m_nLastIn; }
    int LastRouteOutput() const { return m_nLastOut; }
    const std::string& PendingReply() const { return m_replyReader.Pending(); }
    int RouteAV(int output) const { return RouteSlot(m_nRouteAV, output); }
    int RouteA(int output) const { return RouteSlot(m_nRouteA, output); }
    int RouteV(int output) const { return RouteSlot(m_nRouteV, output); }

  private:
    using RouteTable = std::array<int, kGridRouteSlots>;

    // Function keys.
    void SignalModeKey(int id, const char* mode);
    void AllKey();
    void ThroughKey();
    void BackKey();
    void FlashCommand(int id, const char* mode, const DeviceCommand& command, bool light);
    void PresetModeKey(int id, const char* mode);

    // Matrix keys by layout.
    void GridKeyPressed(int id);
    void DarkenGridChoice();  // header, label and crosspoint of the current choice
    void TwoRowKeyPressed(int id);
    void KeypadDigit(int id);
    void ExecuteMode();

    // Route display pieces.
    void GridRouteBoth(int output, int input);
    void GridRouteOneKind(int output, int input, RouteTable& same, RouteTable& other, int sameMark,
                          int otherMark);
    void TwoRowRouteOneKind(int output, int input, int partnerMark, int ownMark);
    void MarkAllTwoRowKeys(bool on, int mark);
    void ParseReplyLine(std::string_view line);
    void ShowRoute(std::string_view kind, int output, int input);

    // Small helpers over the effects.
    void Light(int key, bool on);
    void Mark(int key, bool on, int mark);
    void SetLitKey(int id);  // remember and light
    void DarkenLitKey();     // darken and forget
    void Send(const DeviceCommand& command);
    void RestartHighlightTimer();
    void ClearFields();
    void ReportRangeError(NumberField field);
    bool IsSignalMode() const;
    static bool InKeypadRange(int number);
    static int RouteSlot(const RouteTable& table, int output);

    const int m_nInputCount;
    const int m_nOutputCount;
    const PanelLayout m_layout;
    ISwitchEffects& m_effects;

    std::string m_strMode;
    int m_nInput = 0;
    int m_nOutput = 0;
    ReplyLineReader m_replyReader;
    int m_nLastIn = 0;
    int m_nLastOut = 0;
    RouteTable m_nRouteAV{};
    RouteTable m_nRouteA{};
    RouteTable m_nRouteV{};
    std::optional<int> m_pLitKey;
};
