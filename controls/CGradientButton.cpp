#include "controls/CGradientButton.h"

#include <QEnterEvent>
#include <QFocusEvent>
#include <QImage>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPen>

#include "controls/DrawingFont.h"
#include "controls/OffscreenPainting.h"
#include "platform/qt/ControlId.h"

namespace {

struct GradientColours {
    QColor top;
    QColor bottom;
};

const GradientColours kPlain{QColor(255, 255, 255), QColor(255, 255, 255)};
const GradientColours kHover{QColor(0, 255, 0), QColor(255, 255, 255)};
const GradientColours kLitStyles[] = {
    {QColor(102, 85, 68), QColor(255, 136, 0)},  // 1: dark brown-grey to orange
    {QColor(255, 255, 255), QColor(255, 0, 0)},  // 2: white to red
    {QColor(255, 255, 0), QColor(0, 0, 0)},      // 3: yellow to black
    {QColor(0, 255, 255), QColor(0, 0, 0)},      // 4: cyan to black
};

// The focus cue: the desktop's usual dotted black outline, this far inside every edge.
constexpr int kFocusInset = 3;

// Keys that move the focus between controls. QWidget takes Tab and Backtab before
// keyPressEvent; QPushButton passes the arrows on to focusNextPrevChild.
bool IsNavigationKey(int key) {
    switch (key) {
        case Qt::Key_Tab:
        case Qt::Key_Backtab:
        case Qt::Key_Left:
        case Qt::Key_Right:
        case Qt::Key_Up:
        case Qt::Key_Down:
            return true;
        default:
            return false;
    }
}

}  // namespace

CGradientButton::CGradientButton(const QString& caption, const QRect& rect, QWidget* parent, int id)
    : QPushButton(caption, parent), m_strCaption(caption) {
    SetControlId(this, id);
    // Inside a dialog a push button would otherwise take the Enter key for itself.
    setAutoDefault(false);
    // Screen readers and UI automation find the key by what the operator sees on it, even if
    // the button's text is changed later.
    setAccessibleName(caption);
    // Every paint covers the whole key, so nothing behind it needs painting first.
    setAttribute(Qt::WA_OpaquePaintEvent);
    setFont(DrawingFont());
    setGeometry(rect);
    if (parent != nullptr && parent->isVisible()) {
        show();
    }
}

void CGradientButton::SetLit(bool lit, int /*colour*/) {
    if (lit != m_bLit) {
        m_bLit = lit;
        update();
    }
}

void CGradientButton::SetLitStyle(bool lit, int style) {
    // Replies mark the same keys again and again: only a change of look costs a repaint.
    if (lit != m_bLit || style != m_nLitStyle) {
        m_bLit = lit;
        m_nLitStyle = style;
        update();
    }
}

void CGradientButton::paintEvent(QPaintEvent* /*event*/) {
    const GradientColours* colours = &kPlain;
    if (m_bLit) {
        // A style outside 1..4 draws as style 1 rather than with colours from nowhere.
        const bool known = m_nLitStyle >= kFirstLitStyle && m_nLitStyle <= kLastLitStyle;
        colours = &kLitStyles[known ? m_nLitStyle - kFirstLitStyle : 0];
    } else if (m_bHovering) {
        colours = &kHover;
    }

    QImage image = OffscreenImage(*this);
    {
        QPainter p(&image);
        FillVerticalGradient(p, rect(), colours->top, colours->bottom);
        p.setPen(Qt::black);
        p.setFont(font());
        p.drawText(rect(), Qt::AlignCenter | Qt::TextSingleLine, m_strCaption);
        if (m_bFocusCue) {
            p.setPen(QPen(Qt::black, 1, Qt::DotLine));
            p.setBrush(Qt::NoBrush);
            // An outline of a w x h rectangle covers w + 1 columns and h + 1 rows.
            p.drawRect(kFocusInset, kFocusInset, width() - 2 * kFocusInset - 1,
                       height() - 2 * kFocusInset - 1);
        }
    }
    QPainter(this).drawImage(0, 0, image);
}

void CGradientButton::enterEvent(QEnterEvent* event) {
    m_bHovering = true;
    update();
    QPushButton::enterEvent(event);
}

void CGradientButton::leaveEvent(QEvent* event) {
    m_bHovering = false;
    update();
    QPushButton::leaveEvent(event);
}

bool CGradientButton::event(QEvent* event) {
    const bool navigation =
        event->type() == QEvent::KeyPress && IsNavigationKey(static_cast<QKeyEvent*>(event)->key());
    const bool handled = QPushButton::event(event);
    // Tab or an arrow that finds no other control leaves the focus here, but the operator is
    // steering by keyboard all the same and needs to see where the focus is.
    if (navigation && hasFocus()) {
        ShowFocusCue(true);
    }
    return handled;
}

void CGradientButton::focusInEvent(QFocusEvent* event) {
    switch (event->reason()) {
        case Qt::TabFocusReason:
        case Qt::BacktabFocusReason:
        case Qt::ShortcutFocusReason:
            ShowFocusCue(true);
            break;
        case Qt::ActiveWindowFocusReason:
        case Qt::PopupFocusReason:
            // Back from another window or a popup: the key looks as it did when it lost focus.
            ShowFocusCue(m_bCueWhileAway);
            break;
        default:
            // The mouse, a menu bar or the program itself moved the focus: no cue.
            ShowFocusCue(false);
            break;
    }
    m_bCueWhileAway = false;
    QPushButton::focusInEvent(event);
}

void CGradientButton::focusOutEvent(QFocusEvent* event) {
    const Qt::FocusReason reason = event->reason();
    m_bCueWhileAway =
        m_bFocusCue && (reason == Qt::ActiveWindowFocusReason || reason == Qt::PopupFocusReason);
    ShowFocusCue(false);
    QPushButton::focusOutEvent(event);
}

void CGradientButton::mousePressEvent(QMouseEvent* event) {
    // The operator has gone back to the mouse: the focus stays on the key, the cue goes.
    ShowFocusCue(false);
    QPushButton::mousePressEvent(event);
}

void CGradientButton::ShowFocusCue(bool show) {
    if (show != m_bFocusCue) {
        m_bFocusCue = show;
        update();
    }
}
