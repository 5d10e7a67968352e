#include "controls/CTextLabel.h"

#include <QPainter>

#include "controls/DrawingFont.h"
#include "platform/qt/ControlId.h"

CTextLabel::CTextLabel(const QString& caption, Qt::Alignment alignment, const QRect& rect,
                       QWidget* parent, int id)
    : QLabel(caption, parent), m_strCaption(caption) {
    SetControlId(this, id);
    setAlignment(alignment);
    // Read out as the caption drawn, whatever the label's text becomes later.
    setAccessibleName(caption);
    setFont(DrawingFont());
    setGeometry(rect);
    if (parent != nullptr && parent->isVisible()) {
        show();
    }
}

void CTextLabel::paintEvent(QPaintEvent* /*event*/) {
    QPainter p(this);
    p.setPen(Qt::white);
    p.setFont(font());
    p.drawText(rect(), Qt::AlignRight | Qt::AlignTop | Qt::TextSingleLine, m_strCaption);
}
