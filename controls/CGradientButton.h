#pragma once

#include <QPushButton>
#include <QString>

class QRect;

// A push button drawn as a vertical two-colour gradient with a black centred caption. The
// pointer resting on it turns its top green; the program lights it in one of four styles,
// and a lit button ignores the pointer. Pressed and disabled buttons look idle, and so does a
// focused one unless the keyboard brought the focus there: then a dotted rectangle 3 px
// inside the edge shows where the keyboard acts. Its accessible name is the caption drawn.
// Every press counts: the second press of a double-click clicks again (Qt hands a double-click
// to the press handler), so "1 0 0" typed quickly on the keypad is still one hundred.
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
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
    bool event(QEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;

  private:
    void ShowFocusCue(bool show);

    QString m_strCaption;
    int m_nLitStyle = kFirstLitStyle;
    bool m_bLit = false;
    bool m_bHovering = false;
    bool m_bFocusCue = false;  // the keyboard brought the focus here; drawn while it stays
    // The cue the key had when its window lost activation or a popup took the focus; the
    // focus comes back to the key with the same reason and the cue with it.
    bool m_bCueWhileAway = false;
};
