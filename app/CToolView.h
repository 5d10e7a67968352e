#pragma once

#include <QString>
#include <QWidget>

class CIconButton;
class QRect;

// The main window's header strip: a dark grey gradient with a white caption on the left and
// a disabled toggle icon near the right end. It takes no input of its own.
class CToolView : public QWidget {
    Q_OBJECT
  public:
    static constexpr int kToggleButtonId = 4100;
    static constexpr int kToggleSize = 30;
    static constexpr int kToggleRightGap = 50;  // its left edge is this far from the strip's end
    static constexpr int kToggleTop = 2;

    CToolView(const QString& caption, const QRect& rect, QWidget* parent, int id);

    const QString& Caption() const { return m_strCaption; }
    CIconButton* ToggleButton() const { return m_pToggle; }

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    QString m_strCaption;
    CIconButton* m_pToggle = nullptr;
};
