#pragma once

#include <string>
#include <string_view>

#include "link/LinkTypes.h"
#include "panel/PanelLayout.h"

// Everything the switching model does to the world goes through this interface: the panel
// window carries the effects out on its buttons, fields and timers; tests record them.
// Keys are named by their control id.
class ISwitchEffects {
  public:
    virtual ~ISwitchEffects() = default;

    // Lit or dark; the key keeps its route mark.
    virtual void LightKey(int key, bool on) = 0;
    // Lit or dark together with the route mark (the lit style, 1..4).
    virtual void MarkKey(int key, bool on, int mark) = 0;
    virtual int KeyMark(int key) const = 0;

    // The keypad's number fields.
    virtual void SetFieldText(NumberField field, const std::string& text) = 0;
    virtual std::string FieldText(NumberField field) const = 0;
    virtual void FocusField(NumberField field) = 0;

    // The reply box: a status text replaces its content; reply text is appended and the box
    // scrolls to its last line.
    virtual void ReplaceReplyText(const std::string& text) = 0;
    virtual void AppendReplyText(std::string_view text) = 0;

    // One-shot timers; starting a running timer starts its period again.
    virtual void StartTimer(int id, int ms) = 0;
    virtual void StopTimer(int id) = 0;

    // The send path: the link current at this moment carries text + terminator.
    virtual void SendToDevice(const std::string& text, ReplyRoute route, TerminatorFlag flag) = 0;
};
