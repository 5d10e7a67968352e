#pragma once

#include <QPushButton>
#include <QString>

class QRect;

// A push button drawn as a vertical two-colour gradient with a black centred caption. The
// pointer resting on it turns its top green; the program lights it in one of four styles,
// and a lit button ignores the pointer. Pressed, focused and disabled buttons look idle.
class CGradientButton : public QPushButton {
    Q_OBJECT
  public:
    static constexpr int kFirstLitStyle = 1;
    static constexpr int kLastLitStyle = 4;

    // Created as a child of `parent` at `rect` with control id `id`; shown with its parent.
    // The caption drawn is this one, whatever the button's text is set to later.
    CGradientButton(const QString& caption, const QRect& rect, QWidget* parent, int id);

    // `colour` is kept for the callers' sake; it does not change the drawing.
    void SetLit(bool lit, int colour = 0);
    void SetLitStyle(bool lit, int style);
    bool IsLit() const { return m_bLit; }
    int GetLitStyle() const { return m_nLitStyle; }
    bool IsHovering() const { return m_bHovering; }
    const QString& Caption() const { return m_strCaption; }

  protected:
    void paintEvent(QPaintEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;

  private:
    QString m_strCaption;
    int m_nLitStyle = kFirstLitStyle;
    bool m_bLit = false;
    bool m_bHovering = false;
};
