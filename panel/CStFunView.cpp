#include "panel/CStFunView.h"

#include <QLineEdit>
#include <QPaintEvent>
#include <QPainter>

#include "controls/CGradientButton.h"
#include "controls/CTextLabel.h"
#include "controls/DrawingFont.h"
#include "platform/LeadingInt.h"
#include "platform/qt/ControlId.h"
#include "platform/qt/WindowTimers.h"

namespace {

const QColor kBackground(80, 133, 175);

struct FunctionKey {
    int id;
    const char* caption;
    bool shown;
};

// In id order; the shown ones stand in this order from x = 60 on.
constexpr FunctionKey kFunctionKeys[] = {
    {kKeyAV, "AV", true},
    {kKeyV, "V", false},
    {kKeyA, "A", false},
    {kKeyAll, "All", true},
    {kKeyThrough, "Through", true},
    {kKeyBack, "<-", true},
    {kKeyUndo, "Undo", true},
    {kKeyDemo, "Demo", false},
    {kKeySave, "Save", true},
    {kKeyRecall, "Recall", true},
    {kKeyClear, "Clear", true},
    {kKeyLock, "Lock", true},
    {kKeyUnlock, "Unlock", true},
};

// Function keys: 50 x 30 at y = 5, the k-th shown one (k = 1..10) at x = 5 + 55 k.
constexpr int kFunctionKeyWidth = 50;
constexpr int kFunctionKeyHeight = 30;
constexpr int kFunctionKeyTop = 5;
constexpr int kFunctionKeyStep = 55;
constexpr int kFunctionKeyLeft = 5;

// Grid: columns 40 apart from x = 30, rows 25 apart from y = 50; headers, labels and the
// corner 30 x 20, crosspoints 25 x 20.
constexpr int kGridLeft = 30;
constexpr int kGridTop = 50;
constexpr int kGridColumnStep = 40;
constexpr int kGridRowStep = 25;
constexpr int kGridWideKey = 30;
constexpr int kMatrixKeyWidth = 25;
constexpr int kMatrixKeyHeight = 20;

// Two rows: 16 keys to a line, 35 apart from x = 130, lines 40 apart.
constexpr int kTwoRowKeysPerLine = 16;
constexpr int kTwoRowLeft = 130;
constexpr int kTwoRowStep = 35;
constexpr int kTwoRowLineStep = 40;
constexpr int kTwoRowInputTop = 50;
constexpr int kTwoRowOutputTop = 150;

// Captions and number fields, 80 x 25.
constexpr int kCaptionLeft = 30;
constexpr int kBoxWidth = 80;
constexpr int kBoxHeight = 25;

// Keypad: ten digit keys 40 apart from x = 150; the fields and Enter at x = 590.
constexpr int kKeypadDigits = 10;
constexpr int kKeypadLeft = 150;
constexpr int kKeypadStep = 40;
constexpr int kKeypadInputTop = 80;
constexpr int kKeypadOutputTop = 160;
constexpr int kKeypadFieldLeft = 590;
constexpr int kEnterTop = 200;
constexpr int kEnterWidth = 50;

}  // namespace

CStFunView::CStFunView(int inputs, int outputs, const QRect& rect, QWidget* parent, int id,
                       Hooks hooks)
    : QWidget(parent), m_hooks(std::move(hooks)), m_model(inputs, outputs, *this) {
    SetControlId(this, id);
    setGeometry(rect);
    m_pTimers = new WindowTimers(this, [this](int timerId) { OnTimer(timerId); });

    BuildFunctionKeys();
    switch (m_model.Layout()) {
        case PanelLayout::Grid:
            BuildGrid();
            break;
        case PanelLayout::TwoRow:
            BuildTwoRow();
            break;
        case PanelLayout::Keypad:
            BuildKeypad();
            break;
    }
    NameMatrixKeys();
    if (parent != nullptr && parent->isVisible()) {
        show();
    }
}

CStFunView::~CStFunView() = default;

// ---- building the keys ------------------------------------------------------------------

CGradientButton* CStFunView::AddKey(const QString& caption, const QRect& rect, int id,
                                    const QString& name) {
    auto* key = new CGradientButton(caption, rect, this, id);
    if (!name.isEmpty()) {
        key->setAccessibleName(name);
    }
    connect(key, &QPushButton::clicked, this, [this, id] { OnCommand(id); });
    return key;
}

void CStFunView::BuildFunctionKeys() {
    int shown = 0;
    for (const FunctionKey& f : kFunctionKeys) {
        QRect place(0, 0, kFunctionKeyWidth, kFunctionKeyHeight);
        if (f.shown) {
            ++shown;
            place.moveTo(kFunctionKeyLeft + kFunctionKeyStep * shown, kFunctionKeyTop);
        }
        CGradientButton* key = AddKey(QString::fromLatin1(f.caption), place, f.id);
        if (!f.shown) {
            key->setEnabled(false);
            key->setHidden(true);
        }
        m_functionKeys[static_cast<std::size_t>(f.id - kFirstFunctionKey)] = key;
    }
}

void CStFunView::BuildGrid() {
    const int n = m_model.InputCount();
    const int m = m_model.OutputCount();
    m_matrixRows.assign(static_cast<std::size_t>(m) + 1, {});
    for (int o = 0; o <= m; ++o) {
        auto& row = m_matrixRows[static_cast<std::size_t>(o)];
        row.reserve(static_cast<std::size_t>(n) + 1);
        for (int i = 0; i <= n; ++i) {
            QString caption;
            int width = kMatrixKeyWidth;
            if (o == 0 && i == 0) {
                caption = QStringLiteral("O\\I");
                width = kGridWideKey;
            } else if (o == 0) {
                caption = QString::number(i);
                width = kGridWideKey;
            } else if (i == 0) {
                caption = QString::number(o);
                width = kGridWideKey;
            }
            const QRect place(kGridColumnStep * i + kGridLeft, kGridRowStep * o + kGridTop, width,
                              kMatrixKeyHeight);
            row.push_back(AddKey(caption, place, m_model.GridKey(o, i)));
        }
    }
}

void CStFunView::BuildTwoRow() {
    const int n = m_model.InputCount();
    const int m = m_model.OutputCount();
    m_pInputCaption = new CTextLabel(QStringLiteral("Inputs:"), Qt::AlignRight,
                                     QRect(kCaptionLeft, kTwoRowInputTop, kBoxWidth, kBoxHeight),
                                     this, kInputCaptionId);
    m_pOutputCaption = new CTextLabel(QStringLiteral("Outputs:"), Qt::AlignRight,
                                      QRect(kCaptionLeft, kTwoRowOutputTop, kBoxWidth, kBoxHeight),
                                      this, kOutputCaptionId);
    const auto place = [](int j, int top) {
        return QRect(kTwoRowLeft + kTwoRowStep * ((j - 1) % kTwoRowKeysPerLine),
                     top + kTwoRowLineStep * ((j - 1) / kTwoRowKeysPerLine), kMatrixKeyWidth,
                     kMatrixKeyHeight);
    };
    m_matrixRows.assign(2, {});
    for (int j = 1; j <= n; ++j) {
        m_matrixRows[0].push_back(
            AddKey(QString::number(j), place(j, kTwoRowInputTop), m_model.InputKey(j)));
    }
    for (int j = 1; j <= m; ++j) {
        m_matrixRows[1].push_back(
            AddKey(QString::number(j), place(j, kTwoRowOutputTop), m_model.OutputKey(j)));
    }
}

void CStFunView::BuildKeypad() {
    m_pInputCaption = new CTextLabel(QStringLiteral("Inputs:"), Qt::AlignRight,
                                     QRect(kCaptionLeft, kKeypadInputTop, kBoxWidth, kBoxHeight),
                                     this, kInputCaptionId);
    m_pOutputCaption = new CTextLabel(QStringLiteral("Outputs:"), Qt::AlignRight,
                                      QRect(kCaptionLeft, kKeypadOutputTop, kBoxWidth, kBoxHeight),
                                      this, kOutputCaptionId);
    const auto makeField = [this](int top, int id, const QString& name) {
        auto* field = new QLineEdit(this);
        SetControlId(field, id);
        field->setAccessibleName(name);
        // Only the digit keys and the model write the numbers.
        field->setReadOnly(true);
        field->setGeometry(kKeypadFieldLeft, top, kBoxWidth, kBoxHeight);
        connect(field, &QLineEdit::textChanged, this, [this] { NameTypedNumbers(); });
        return field;
    };
    m_pInputField = makeField(kKeypadInputTop, kInputFieldId, QStringLiteral("Input number"));
    m_pOutputField = makeField(kKeypadOutputTop, kOutputFieldId, QStringLiteral("Output number"));

    m_matrixRows.assign(2, {});
    for (int row = 0; row < 2; ++row) {
        const int top = row == 0 ? kKeypadInputTop : kKeypadOutputTop;
        const int firstId = row == 0 ? kFirstMatrixKey : kKeypadOutputDigitBase;
        const QString nameFormat =
            row == 0 ? QStringLiteral("Input digit %1") : QStringLiteral("Output digit %1");
        for (int k = 0; k < kKeypadDigits; ++k) {
            const QRect place(kKeypadLeft + kKeypadStep * k, top, kMatrixKeyWidth,
                              kMatrixKeyHeight);
            const int digit = (k + 1) % kKeypadDigits;
            m_matrixRows[static_cast<std::size_t>(row)].push_back(
                AddKey(QString::number(digit), place, firstId + k, nameFormat.arg(digit)));
        }
    }
    m_pEnterKey =
        AddKey(QStringLiteral("Enter"),
               QRect(kKeypadFieldLeft, kEnterTop, kEnterWidth, kMatrixKeyHeight), kKeyEnter);
}

// ---- names -------------------------------------------------------------------------------

namespace {

// "Input 3" or "Input 3 Camera", for accessible names.
QString Named(const char* kind, int number, const QString& name) {
    const QString plain = QStringLiteral("%1 %2").arg(QLatin1String(kind)).arg(number);
    return name.isEmpty() ? plain : plain + u' ' + name;
}

// "Input 3 — Camera" when there is a name, else no tool tip.
QString EndTip(const char* kind, int number, const QString& name) {
    return name.isEmpty()
               ? QString()
               : QStringLiteral("%1 %2 \u2014 %3").arg(QLatin1String(kind)).arg(number).arg(name);
}

}  // namespace

void CStFunView::SetLabels(PanelLabels labels) {
    m_labels = std::move(labels);
    NameMatrixKeys();
    NameTypedNumbers();
}

void CStFunView::NameMatrixKeys() {
    // The captions are only numbers whose meaning comes from the key's place; a screen reader
    // cannot see that place, so the accessible names spell it out, with the operator's names
    // for inputs and outputs where there are any.
    const auto name = [](CGradientButton* key, const QString& accessible, const QString& tip) {
        key->setAccessibleName(accessible);
        key->setToolTip(tip);
    };
    switch (m_model.Layout()) {
        case PanelLayout::Grid:
            for (int o = 0; o < static_cast<int>(m_matrixRows.size()); ++o) {
                const auto& row = m_matrixRows[static_cast<std::size_t>(o)];
                for (int i = 0; i < static_cast<int>(row.size()); ++i) {
                    CGradientButton* key = row[static_cast<std::size_t>(i)];
                    const QString in = m_labels.Input(i);
                    const QString out = m_labels.Output(o);
                    if (o == 0 && i == 0) {
                        name(key, QStringLiteral("Outputs by inputs"), QString());
                    } else if (o == 0) {
                        name(key, Named("Input", i, in), EndTip("Input", i, in));
                    } else if (i == 0) {
                        name(key, Named("Output", o, out), EndTip("Output", o, out));
                    } else {
                        const QString tip =
                            in.isEmpty() && out.isEmpty()
                                ? QString()
                                : (in.isEmpty() ? Named("Input", i, {}) : in) +
                                      QStringLiteral(" \u2192 ") +
                                      (out.isEmpty() ? Named("Output", o, {}) : out);
                        name(key,
                             Named("Output", o, out) + QStringLiteral(", ") + Named("input", i, in),
                             tip);
                    }
                }
            }
            break;
        case PanelLayout::TwoRow:
            for (std::size_t j = 0; j < m_matrixRows[0].size(); ++j) {
                const int number = static_cast<int>(j) + 1;
                const QString in = m_labels.Input(number);
                name(m_matrixRows[0][j], Named("Input", number, in), EndTip("Input", number, in));
            }
            for (std::size_t j = 0; j < m_matrixRows[1].size(); ++j) {
                const int number = static_cast<int>(j) + 1;
                const QString out = m_labels.Output(number);
                name(m_matrixRows[1][j], Named("Output", number, out),
                     EndTip("Output", number, out));
            }
            break;
        case PanelLayout::Keypad:
            break;  // digit keys are digits, not inputs or outputs
    }
}

void CStFunView::NameTypedNumbers() {
    // On a keypad the operator types numbers: the fields tell whose they are.
    if (m_pInputField != nullptr) {
        m_pInputField->setToolTip(m_labels.Input(LeadingInt(m_pInputField->text().toStdString())));
    }
    if (m_pOutputField != nullptr) {
        m_pOutputField->setToolTip(
            m_labels.Output(LeadingInt(m_pOutputField->text().toStdString())));
    }
}

// ---- finding keys ------------------------------------------------------------------------

CGradientButton* CStFunView::Key(int id) const {
    if (id >= kFirstFunctionKey && id <= kLastFunctionKey) {
        return m_functionKeys[static_cast<std::size_t>(id - kFirstFunctionKey)];
    }
    if (id == kKeyEnter) {
        return m_pEnterKey;
    }
    if (id < kFirstMatrixKey || id > kLastMatrixKey) {
        return nullptr;
    }
    // Matrix keys are numbered from the first one, row after row, in creation order.
    int index = id - kFirstMatrixKey;
    for (const auto& row : m_matrixRows) {
        if (index < static_cast<int>(row.size())) {
            return row[static_cast<std::size_t>(index)];
        }
        index -= static_cast<int>(row.size());
    }
    return nullptr;
}

QLineEdit* CStFunView::NumberFieldEdit(NumberField field) const {
    return field == NumberField::Input ? m_pInputField : m_pOutputField;
}

// ---- input from the keys and timers ------------------------------------------------------

void CStFunView::OnCommand(int id) {
    if (id == kKeyEnter) {
        m_model.OnEnter();
    } else if (id >= kFirstFunctionKey && id <= kLastFunctionKey) {
        m_model.OnFunctionKey(id);
    } else if (id >= kFirstMatrixKey && id <= kLastMatrixKey) {
        m_model.OnMatrixKey(id);
    }
}

void CStFunView::OnTimer(int id) {
    // All three are one-shot.
    m_pTimers->Stop(id);
    if (id == kTimerHighlight) {
        m_model.OnHighlightTimeout();
    } else if (id == kTimerAllThroughMark || id == kTimerRouteMark) {
        m_model.OnMarkTimeout();
    }
}

void CStFunView::ShowReply(std::string_view text) {
    m_model.ShowReply(text);
}

void CStFunView::FeedReply(std::string_view text) {
    m_model.FeedReply(text);
}

void CStFunView::ClearReplyBuffer() {
    m_model.ClearReplyBuffer();
}

// ---- painting ----------------------------------------------------------------------------

void CStFunView::paintEvent(QPaintEvent* event) {
    // Only what was exposed: a key that changes repaints itself (keys cover their whole
    // rectangle), so a reply that lights one key does not cost the whole panel. The backing
    // store already brings the result to the screen in one step.
    QPainter(this).fillRect(event->rect(), kBackground);
}

// ---- the model's effects -----------------------------------------------------------------

void CStFunView::LightKey(int key, bool on) {
    if (CGradientButton* button = Key(key)) {
        button->SetLit(on);
    }
}

void CStFunView::MarkKey(int key, bool on, int mark) {
    if (CGradientButton* button = Key(key)) {
        button->SetLitStyle(on, mark);
    }
}

int CStFunView::KeyMark(int key) const {
    const CGradientButton* button = Key(key);
    return button != nullptr ? button->GetLitStyle() : kMarkPlain;
}

void CStFunView::SetFieldText(NumberField field, const std::string& text) {
    if (QLineEdit* edit = NumberFieldEdit(field)) {
        edit->setText(QString::fromStdString(text));
    }
}

std::string CStFunView::FieldText(NumberField field) const {
    const QLineEdit* edit = NumberFieldEdit(field);
    return edit != nullptr ? edit->text().toStdString() : std::string();
}

void CStFunView::FocusField(NumberField field) {
    if (QLineEdit* edit = NumberFieldEdit(field)) {
        edit->setFocus(Qt::OtherFocusReason);
    }
}

void CStFunView::ReplaceReplyText(const std::string& text) {
    if (m_hooks.replaceReplyText) {
        m_hooks.replaceReplyText(text);
    }
}

void CStFunView::AppendReplyText(std::string_view text) {
    if (m_hooks.appendReplyText) {
        m_hooks.appendReplyText(text);
    }
}

void CStFunView::StartTimer(int id, int ms) {
    m_pTimers->Start(id, ms);
}

void CStFunView::StopTimer(int id) {
    m_pTimers->Stop(id);
}

void CStFunView::SendToDevice(const std::string& text, ReplyRoute route, TerminatorFlag flag) {
    if (m_hooks.send) {
        m_hooks.send(text, route, flag);
    }
}
