#include "controls/CGradientButton.h"

#include <QEnterEvent>
#include <QImage>
#include <QMouseEvent>
#include <QPainter>

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

}  // namespace

CGradientButton::CGradientButton(const QString& caption, const QRect& rect, QWidget* parent, int id)
    : QPushButton(caption, parent), m_strCaption(caption) {
    SetControlId(this, id);
    // Inside a dialog a push button would otherwise take the Enter key for itself.
    setAutoDefault(false);
    setFont(DrawingFont());
    setGeometry(rect);
    if (parent != nullptr && parent->isVisible()) {
        show();
    }
}

void CGradientButton::SetLit(bool lit, int /*colour*/) {
    m_bLit = lit;
    update();
}

void CGradientButton::SetLitStyle(bool lit, int style) {
    m_bLit = lit;
    m_nLitStyle = style;
    update();
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

void CGradientButton::mouseDoubleClickEvent(QMouseEvent* event) {
    // The second press of a double-click is a double-click, not another click: no key acts
    // twice for it (QPushButton would treat it as a fresh press and click again).
    event->accept();
}
