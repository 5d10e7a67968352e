#include "app/CToolView.h"

#include <QImage>
#include <QPainter>

#include "controls/CIconButton.h"
#include "controls/ControlIcons.h"
#include "controls/DrawingFont.h"
#include "controls/OffscreenPainting.h"
#include "platform/qt/ControlId.h"

namespace {
const QColor kTop(0x77, 0x77, 0x77);
const QColor kBottom(0x11, 0x11, 0x11);
constexpr int kCaptionLeft = 20;
constexpr int kCaptionTop = 5;
constexpr int kCaptionBottomGap = 10;
}  // namespace

CToolView::CToolView(const QString& caption, const QRect& rect, QWidget* parent, int id)
    : QWidget(parent), m_strCaption(caption) {
    SetControlId(this, id);
    setWindowTitle(caption);
    // The caption is drawn in the system font, not the smaller one the keys need.
    setFont(SystemFont());
    setGeometry(rect);

    m_pToggle =
        new CIconButton(kIconTriangleUp, kIconTriangleDown, QString(),
                        QRect(0, 0, kToggleSize, kToggleSize), this, kToggleButtonId, false);
    // Disabled for good: it shows the up triangle and never reports a click.
    m_pToggle->setEnabled(false);
    m_pToggle->move(width() - kToggleRightGap, kToggleTop);
    if (parent != nullptr && parent->isVisible()) {
        show();
    }
}

void CToolView::paintEvent(QPaintEvent* /*event*/) {
    QImage image = OffscreenImage(*this);
    {
        QPainter p(&image);
        FillVerticalGradient(p, rect(), kTop, kBottom);

        // One line from (20, 5), cut off at half the strip's width.
        const QRect box(QPoint(kCaptionLeft, kCaptionTop),
                        QPoint(width() / 2 - 1, height() - kCaptionBottomGap - 1));
        p.setClipRect(box);
        p.setPen(Qt::white);
        p.setFont(font());
        p.drawText(box, Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine, m_strCaption);
    }
    QPainter(this).drawImage(0, 0, image);
}
