#include "controls/CIconButton.h"

#include <QImage>
#include <QPainter>

#include "controls/ControlIcons.h"
#include "controls/DrawingFont.h"
#include "controls/OffscreenPainting.h"
#include "platform/qt/ControlId.h"

namespace {
const QColor kFill(20, 133, 127);
constexpr int kCaptionLeft = 25;
constexpr int kCaptionTop = 10;
}  // namespace

CIconButton::CIconButton(int unselectedIcon, int selectedIcon, const QString& caption,
                         const QRect& rect, QWidget* parent, int id, bool selected)
    : QPushButton(caption, parent),
      m_nUnselectedIcon(unselectedIcon),
      m_nSelectedIcon(selectedIcon),
      m_strCaption(caption),
      m_bSelected(selected),
      m_unselectedPixmap(LoadIcon(unselectedIcon)),
      m_selectedPixmap(LoadIcon(selectedIcon)) {
    SetControlId(this, id);
    setAutoDefault(false);
    setFont(DrawingFont());
    setGeometry(rect);
    if (parent != nullptr && parent->isVisible()) {
        show();
    }
}

void CIconButton::SetSelected(bool selected) {
    m_bSelected = selected;
    update();
}

void CIconButton::paintEvent(QPaintEvent* /*event*/) {
    QImage image = OffscreenImage(*this);
    {
        QPainter p(&image);
        p.fillRect(rect(), kFill);
        const QPixmap& icon = m_bSelected ? m_selectedPixmap : m_unselectedPixmap;
        if (!icon.isNull()) {
            p.drawPixmap(QRect(0, 0, kStandardIconSize, kStandardIconSize), icon);
        }
        p.setPen(Qt::white);
        p.setFont(font());
        p.drawText(rect().adjusted(kCaptionLeft, kCaptionTop, 0, 0),
                   Qt::AlignRight | Qt::AlignTop | Qt::TextSingleLine, m_strCaption);
    }
    QPainter(this).drawImage(0, 0, image);
}
