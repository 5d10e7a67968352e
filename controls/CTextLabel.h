#pragma once

#include <QLabel>
#include <QString>

class QRect;

// A caption painted as white text in the top right of its box, with no background. Whatever
// alignment it was created with, it paints right-aligned; the caption drawn is the one given
// here, whatever the label's text is set to later. Screen readers see it as static text named
// by that caption.
class CTextLabel : public QLabel {
    Q_OBJECT
  public:
    CTextLabel(const QString& caption, Qt::Alignment alignment, const QRect& rect, QWidget* parent,
               int id);

    const QString& Caption() const { return m_strCaption; }

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    QString m_strCaption;
};
