#pragma once

#include <QPixmap>
#include <QPushButton>
#include <QString>

class QRect;

// A push button drawn as an icon on a teal fill with a white caption to its right. It shows
// its selected icon while selected; a click reports itself like any button but changes
// nothing here: the owner decides what is selected. The second press of a double-click is a
// click of its own.
class CIconButton : public QPushButton {
    Q_OBJECT
  public:
    CIconButton(int unselectedIcon, int selectedIcon, const QString& caption, const QRect& rect,
                QWidget* parent, int id, bool selected);

    void SetSelected(bool selected);
    bool IsSelected() const { return m_bSelected; }
    int UnselectedIcon() const { return m_nUnselectedIcon; }
    int SelectedIcon() const { return m_nSelectedIcon; }
    const QString& Caption() const { return m_strCaption; }

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    int m_nUnselectedIcon;
    int m_nSelectedIcon;
    QString m_strCaption;
    bool m_bSelected;
    QPixmap m_unselectedPixmap;
    QPixmap m_selectedPixmap;
};
