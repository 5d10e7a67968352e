#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "link/LinkTypes.h"
#include "link/Terminator.h"
#include "panel/CSwitchModel.h"

// Plays the panel window for the model: keeps every key's look, the number fields, the reply
// box and the timers, and records what was sent.
class RecordingEffects : public ISwitchEffects {
  public:
    struct KeyLook {
        bool lit = false;
        int mark = kMarkPlain;
        bool operator==(const KeyLook&) const = default;
    };

    void LightKey(int key, bool on) override { m_keys[key].lit = on; }
    void MarkKey(int key, bool on, int mark) override { m_keys[key] = KeyLook{on, mark}; }
    int KeyMark(int key) const override { return Look(key).mark; }

    void SetFieldText(NumberField field, const std::string& text) override {
        m_fields[field] = text;
    }
    std::string FieldText(NumberField field) const override {
        const auto it = m_fields.find(field);
        return it == m_fields.end() ? std::string{} : it->second;
    }
    void FocusField(NumberField field) override { m_focus = field; }

    void ReplaceReplyText(const std::string& text) override { m_replyBox = text; }
    void AppendReplyText(std::string_view text) override { m_replyBox.append(text); }

    void StartTimer(int id, int ms) override {
        m_timers[id] = ms;
        m_timerStarts.push_back(id);
    }
    void StopTimer(int id) override { m_timers.erase(id); }

    void SendToDevice(const std::string& text, ReplyRoute route, TerminatorFlag flag) override {
        m_sent.push_back(DeviceCommand{text, route, flag});
    }

    KeyLook Look(int key) const {
        const auto it = m_keys.find(key);
        return it == m_keys.end() ? KeyLook{} : it->second;
    }
    bool IsLit(int key) const { return Look(key).lit; }
    bool TimerRuns(int id) const { return m_timers.count(id) != 0; }
    int TimerPeriod(int id) const {
        const auto it = m_timers.find(id);
        return it == m_timers.end() ? -1 : it->second;
    }

    // Every key that is lit now, in id order.
    std::vector<int> LitKeys() const {
        std::vector<int> lit;
        for (const auto& [key, look] : m_keys) {
            if (look.lit) {
                lit.push_back(key);
            }
        }
        return lit;
    }

    // The bytes the serial link would write for everything sent so far.
    std::string SerialWire() const {
        std::string wire;
        for (const DeviceCommand& c : m_sent) {
            wire += c.text;
            wire += SerialTerminator(c.flag);
        }
        return wire;
    }

    // The texts sent, each with the terminator the network link adds.
    std::vector<std::string> NetWire() const {
        std::vector<std::string> wire;
        for (const DeviceCommand& c : m_sent) {
            wire.push_back(c.text + std::string(NetTerminator(c.route, c.flag)));
        }
        return wire;
    }

    std::map<int, KeyLook> m_keys;
    std::map<NumberField, std::string> m_fields;
    std::optional<NumberField> m_focus;
    std::string m_replyBox;
    std::map<int, int> m_timers;
    std::vector<int> m_timerStarts;
    std::vector<DeviceCommand> m_sent;
};

// A model with its recorder, and the key presses of each layout by number.
struct PanelUnderTest {
    PanelUnderTest(int inputs, int outputs) : model(inputs, outputs, fx) {}

    void Press(int functionKey) { model.OnFunctionKey(functionKey); }
    void Crosspoint(int output, int input) { model.OnMatrixKey(model.GridKey(output, input)); }
    void Header(int input) { Crosspoint(0, input); }
    void Label(int output) { Crosspoint(output, 0); }
    void InputKey(int input) { model.OnMatrixKey(model.InputKey(input)); }
    void OutputKey(int output) { model.OnMatrixKey(model.OutputKey(output)); }
    // Keypad digits typed into the input or output field ("10" presses 1 then 0).
    void TypeInput(const std::string& digits) { Type(digits, kFirstMatrixKey); }
    void TypeOutput(const std::string& digits) { Type(digits, kKeypadOutputDigitBase); }
    void Enter() { model.OnEnter(); }

    // Picks input i and output o the way the layout offers it.
    void PickInput(int input) {
        model.Layout() == PanelLayout::Grid ? Header(input) : InputKey(input);
    }
    void PickOutput(int output) {
        model.Layout() == PanelLayout::Grid ? Label(output) : OutputKey(output);
    }

    std::vector<std::string> SentTexts() const {
        std::vector<std::string> texts;
        for (const DeviceCommand& c : fx.m_sent) {
            texts.push_back(c.text);
        }
        return texts;
    }

    RecordingEffects fx;
    CSwitchModel model;

  private:
    void Type(const std::string& digits, int base) {
        for (const char d : digits) {
            // Keys run 1..9 then 0.
            const int offset = d == '0' ? 9 : d - '1';
            model.OnMatrixKey(base + offset);
        }
    }
};
