// The switching model driven the way its window drives it: key presses, Enter, expiries of the
// timers it started, buffer clears and reply text in chunks of any size, on the three layouts
// and their border sizes. Every effect is checked as it happens (keys that exist, marks 1..4,
// timers 3/4/5, sent texts without a terminator, a reply box holding exactly what was shown).
//
// A second model gets the same events, but its replies are cut into lines by a separate,
// plain line reader and fed one whole line at a time. Both must do exactly the same things:
// how the bytes were chunked never changes what the panel does.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <utility>

#include "fuzz/FuzzInput.h"
#include "panel/CSwitchModel.h"

namespace {

struct Size {
    int inputs;
    int outputs;
};
// The borders between the layouts and a common size of each.
constexpr Size kSizes[] = {{1, 1},   {4, 4},   {16, 16}, {16, 17},
                           {20, 20}, {32, 32}, {33, 2},  {64, 64}};

int MatrixKeyCount(int inputs, int outputs) {
    switch (LayoutFor(inputs, outputs)) {
        case PanelLayout::Grid:
            return (inputs + 1) * (outputs + 1);
        case PanelLayout::TwoRow:
            return inputs + outputs;
        case PanelLayout::Keypad:
            return 20;
    }
    return 0;
}

class CheckingEffects : public ISwitchEffects {
  public:
    CheckingEffects(int inputs, int outputs)
        : m_layout(LayoutFor(inputs, outputs)), m_matrixKeys(MatrixKeyCount(inputs, outputs)) {}

    bool KeyExists(int key) const {
        return (key >= kFirstFunctionKey && key <= kLastFunctionKey) ||
               (key >= kFirstMatrixKey && key < kFirstMatrixKey + m_matrixKeys) ||
               (key == kKeyEnter && m_layout == PanelLayout::Keypad);
    }

    void LightKey(int key, bool on) override {
        FUZZ_CHECK(KeyExists(key));
        Log('L', key, on);
    }
    void MarkKey(int key, bool on, int mark) override {
        FUZZ_CHECK(KeyExists(key));
        FUZZ_CHECK(mark >= kMarkPlain && mark <= kMark4);
        m_marks[key] = mark;
        Log('M', key, on, mark);
    }
    int KeyMark(int key) const override {
        FUZZ_CHECK(KeyExists(key));
        const auto it = m_marks.find(key);
        return it == m_marks.end() ? kMarkPlain : it->second;
    }
    void SetFieldText(NumberField field, const std::string& text) override {
        FUZZ_CHECK(m_layout == PanelLayout::Keypad);
        m_fields[field == NumberField::Input ? 0 : 1] = text;
        m_log += 'F' + text + '\n';
    }
    std::string FieldText(NumberField field) const override {
        FUZZ_CHECK(m_layout == PanelLayout::Keypad);
        return m_fields[field == NumberField::Input ? 0 : 1];
    }
    void FocusField(NumberField field) override {
        FUZZ_CHECK(m_layout == PanelLayout::Keypad);
        Log('f', field == NumberField::Input ? 0 : 1);
    }
    void ReplaceReplyText(const std::string& text) override {
        m_appended.clear();
        m_log += 'R' + text + '\n';
    }
    void AppendReplyText(std::string_view text) override { m_appended.append(text); }
    void StartTimer(int id, int ms) override {
        FUZZ_CHECK((id == kTimerHighlight && ms == kHighlightTimeoutMs) ||
                   ((id == kTimerAllThroughMark || id == kTimerRouteMark) && ms == kMarkTimeoutMs));
        m_running.insert(id);
        Log('T', id, true);
    }
    void StopTimer(int id) override {
        FUZZ_CHECK(id == kTimerHighlight || id == kTimerAllThroughMark || id == kTimerRouteMark);
        m_running.erase(id);
        Log('T', id, false);
    }
    void SendToDevice(const std::string& text, ReplyRoute route, TerminatorFlag flag) override {
        FUZZ_CHECK(!text.empty());
        FUZZ_CHECK(text.find_first_of(".;\r\n") == std::string::npos);
        ++m_sends;
        m_log += 'S' + text + ' ' + std::to_string(route) + ' ' + std::to_string(flag) + '\n';
    }

    // Reply text just shown: the box holds the last status text and every byte shown since,
    // so what was appended since the last look is exactly the text shown. (Comparing the
    // whole box each time made long inputs quadratic.)
    void Shown(std::string_view text) {
        FUZZ_CHECK(m_appended == text);
        m_appended.clear();
    }

    // A one-shot timer the window would fire now: the lowest running one at or after `pick`.
    int TakeRunningTimer(int pick) {
        if (m_running.empty()) {
            return 0;
        }
        auto it = m_running.lower_bound(pick);
        if (it == m_running.end()) {
            it = m_running.begin();
        }
        const int id = *it;
        m_running.erase(it);
        return id;
    }

    // What happened since the last call, one entry per effect.
    std::string TakeLog() { return std::exchange(m_log, {}); }
    unsigned Sends() const { return m_sends; }

  private:
    // The log is only compared, never read: the numbers go in as their bytes, unformatted.
    void Log(char what, int a, int b = 0, int c = 0) {
        const int numbers[] = {a, b, c};
        m_log += what;
        m_log.append(reinterpret_cast<const char*>(numbers), sizeof numbers);
    }

    const PanelLayout m_layout;
    const int m_matrixKeys;
    std::map<int, int> m_marks;
    std::string m_fields[2];
    std::set<int> m_running;
    std::string m_appended;  // appended to the reply box since the last Shown
    std::string m_log;
    unsigned m_sends = 0;
};

// The reference reader: bytes up to a line feed make a line, a line of more than the model's
// limit (text and a CR) is ignored, and a line begun before a send or a clear is forgotten.
// Lines are found with memchr and a line that arrives whole is fed in place, so the reader
// costs little beside the model it checks.
class PlainLineReader {
  public:
    static constexpr std::size_t kMaxHeld = CSwitchModel::kMaxReplyLine + 1;

    explicit PlainLineReader(CSwitchModel& model) : m_model(model) {}
    void Feed(std::string_view bytes) {
        while (!bytes.empty()) {
            const void* found = std::memchr(bytes.data(), '\n', bytes.size());
            if (found == nullptr) {
                Keep(bytes);
                return;
            }
            const auto end =
                static_cast<std::size_t>(static_cast<const char*>(found) - bytes.data());
            if (m_line.empty() && !m_bOverlong) {
                if (end <= kMaxHeld) {
                    m_model.FeedReply(bytes.substr(0, end + 1));
                }
            } else {
                Keep(bytes.substr(0, end));
                if (!m_bOverlong) {
                    m_line += '\n';
                    m_model.FeedReply(m_line);
                }
            }
            Forget();
            bytes.remove_prefix(end + 1);
        }
    }
    void Forget() {
        m_line.clear();
        m_bOverlong = false;
    }

  private:
    // The start of a line; once it is too long only that fact is kept.
    void Keep(std::string_view part) {
        if (m_bOverlong || m_line.size() + part.size() > kMaxHeld) {
            m_line.clear();
            m_bOverlong = true;
        } else {
            m_line.append(part);
        }
    }

    CSwitchModel& m_model;
    std::string m_line;
    bool m_bOverlong = false;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput in(data, size);
    const Size panel = kSizes[in.Byte() % std::size(kSizes)];
    const int matrixKeys = MatrixKeyCount(panel.inputs, panel.outputs);

    CheckingEffects fx(panel.inputs, panel.outputs);
    CSwitchModel model(panel.inputs, panel.outputs, fx);
    CheckingEffects refFx(panel.inputs, panel.outputs);
    CSwitchModel ref(panel.inputs, panel.outputs, refFx);
    PlainLineReader refReader(ref);

    // Runs one event on both models; the reference forgets its partial line when the event
    // sent a command (the model drops its own then).
    const auto both = [&](auto&& event) {
        const unsigned sends = refFx.Sends();
        event(model);
        event(ref);
        if (refFx.Sends() != sends) {
            refReader.Forget();
        }
    };

    std::string repeated;  // one buffer for every long chunk of this input
    while (!in.Empty()) {
        switch (in.Byte() % 8) {
            case 0: {
                // Function keys, and ids just outside them.
                const int id =
                    kFirstFunctionKey - 1 + in.Byte() % (kLastFunctionKey - kFirstFunctionKey + 3);
                both([id](CSwitchModel& m) { m.OnFunctionKey(id); });
                break;
            }
            case 1:
            case 2: {
                // The matrix keys this layout has: the window delivers no others.
                const int id = kFirstMatrixKey + in.Word() % matrixKeys;
                both([id](CSwitchModel& m) { m.OnMatrixKey(id); });
                break;
            }
            case 3:
                both([](CSwitchModel& m) { m.OnEnter(); });
                break;
            case 4: {
                // The window fires only timers that run, and a one-shot timer stops as it fires.
                const int pick = in.Byte() % 6;
                const int id = fx.TakeRunningTimer(pick);
                FUZZ_CHECK(refFx.TakeRunningTimer(pick) == id);
                if (id == kTimerHighlight) {
                    both([](CSwitchModel& m) { m.OnHighlightTimeout(); });
                } else if (id != 0) {
                    both([](CSwitchModel& m) { m.OnMarkTimeout(); });
                }
                break;
            }
            case 5:
                model.ClearReplyBuffer();
                ref.ClearReplyBuffer();
                refReader.Forget();
                break;
            default: {
                std::string_view chunk = in.Bytes(in.Byte());
                if (in.Byte() % 16 == 0) {
                    // Now and then a long chunk, to reach the overlong-line path.
                    repeated.assign(CSwitchModel::kMaxReplyLine + in.Byte() % 8 - 4,
                                    chunk.empty() ? 'x' : chunk.front());
                    model.ShowReply(repeated);
                    fx.Shown(repeated);
                    refReader.Feed(repeated);
                }
                model.ShowReply(chunk);
                fx.Shown(chunk);
                refReader.Feed(chunk);
                break;
            }
        }
        FUZZ_CHECK(fx.TakeLog() == refFx.TakeLog());
    }
    return 0;
}
