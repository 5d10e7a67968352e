#pragma once

#include <QWidget>

#include <array>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "panel/CSwitchModel.h"
#include "panel/ISwitchEffects.h"
#include "panel/PanelLabels.h"

class CGradientButton;
class CTextLabel;
class QLineEdit;
class QRect;
class WindowTimers;

// The switching panel's window: builds the keys for the chosen counts (a crosspoint grid, two
// rows of keys or a keypad), paints the background, runs the panel's timers and hands every
// key press and timer to the switching model, whose effects it carries out.
class CStFunView : public QWidget, private ISwitchEffects {
    Q_OBJECT
  public:
    // What the panel needs from the rest of the program: the send path (text, reply route,
    // terminator flag) and the reply box, which belongs to another window. Any of them may
    // be empty; the panel then does without.
    struct Hooks {
        std::function<void(const std::string& text, ReplyRoute route, TerminatorFlag flag)> send;
        std::function<void(const std::string& text)> replaceReplyText;
        std::function<void(std::string_view text)> appendReplyText;
    };

    static constexpr int kInputCaptionId = 0;
    static constexpr int kOutputCaptionId = 1;
    static constexpr int kInputFieldId = 0;
    static constexpr int kOutputFieldId = 1;

    // Counts of at least 1 each (the model refuses anything else).
    CStFunView(int inputs, int outputs, const QRect& rect, QWidget* parent, int id, Hooks hooks);
    ~CStFunView() override;

    // Reply text for the panel, in chunks of any size: routes are shown on the keys, and
    // ShowReply also appends the text to the reply box.
    void ShowReply(std::string_view text);
    void FeedReply(std::string_view text);
    void ClearReplyBuffer();

    // A button-clicked command by control id, as the keys send it.
    void OnCommand(int id);
    // A timer message by id, as the window timers send it.
    void OnTimer(int id);

    // Names for inputs and outputs: tool tips and accessible names of the keys (captions and
    // pixels stay as they are).
    void SetLabels(PanelLabels labels);

    const CSwitchModel& Model() const { return m_model; }
    CGradientButton* Key(int id) const;  // nullptr when this panel has no such key
    QLineEdit* NumberFieldEdit(NumberField field) const;
    const WindowTimers& Timers() const { return *m_pTimers; }

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    // ISwitchEffects
    void LightKey(int key, bool on) override;
    void MarkKey(int key, bool on, int mark) override;
    int KeyMark(int key) const override;
    void SetFieldText(NumberField field, const std::string& text) override;
    std::string FieldText(NumberField field) const override;
    void FocusField(NumberField field) override;
    void ReplaceReplyText(const std::string& text) override;
    void AppendReplyText(std::string_view text) override;
    void StartTimer(int id, int ms) override;
    void StopTimer(int id) override;
    void SendToDevice(const std::string& text, ReplyRoute route, TerminatorFlag flag) override;

    void BuildFunctionKeys();
    void BuildGrid();
    void BuildTwoRow();
    void BuildKeypad();
    // `name` is what screen readers call the key; empty leaves it the caption.
    void NameMatrixKeys();
    void NameTypedNumbers();
    CGradientButton* AddKey(const QString& caption, const QRect& rect, int id,
                            const QString& name = QString());

    Hooks m_hooks;
    PanelLabels m_labels;
    CSwitchModel m_model;
    WindowTimers* m_pTimers = nullptr;
    std::array<CGradientButton*, kLastFunctionKey - kFirstFunctionKey + 1> m_functionKeys{};
    std::vector<std::vector<CGradientButton*>> m_matrixRows;
    CTextLabel* m_pInputCaption = nullptr;
    CTextLabel* m_pOutputCaption = nullptr;
    QLineEdit* m_pInputField = nullptr;
    QLineEdit* m_pOutputField = nullptr;
    CGradientButton* m_pEnterKey = nullptr;
};
