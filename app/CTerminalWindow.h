#pragma once

#include <QWidget>

class CAdFunView;

// The serial terminal view taken out of hiding for an operator who asked for it: a window of
// its own beside the main window, holding the very view the main window uses, so its reply box
// shows every status text and reply. Closing the window only hides it.
class CTerminalWindow : public QWidget {
    Q_OBJECT
  public:
    // Takes `view` into this window, enabled, at its own size. `owner` is the main window: the
    // two go together, and its modal run does not block this one.
    CTerminalWindow(CAdFunView* view, QWidget* owner);

    // Shows the window to the right of the owner's frame.
    void ShowBesideOwner();

  protected:
    // Enter runs the view's send here too, as it does in the main window.
    void keyPressEvent(QKeyEvent* event) override;

  private:
    CAdFunView* m_pView;
};
