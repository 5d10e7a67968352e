#pragma once

#include <QWidget>

#include <functional>
#include <string_view>

#include "terminal/CConsoleHistory.h"
#include "terminal/LinkStatus.h"

class CAdFunView;
class CConsoleLog;
class QCheckBox;
class QLabel;
class QLineEdit;
class QTimer;

// The serial terminal view taken out of hiding for an operator who asked for it: an operator's
// console in a window of its own beside the main window. On top the very view the main window
// uses (port and line lists, sends); where its reply box was, the console's tools; below, a
// log that keeps everything (replies, status texts, what was sent) and takes the window's
// growth; at the bottom a status line with the link as it really is. Closing only hides it.
// Its size, place and tool settings are remembered in the user's configuration.
class CTerminalWindow : public QWidget {
    Q_OBJECT
  public:
    struct Hooks {
        std::function<LinkStatus()> linkStatus;  // the link now (counts and lock are added here)
        std::function<QRect()> panelOnScreen;    // the owner's switching panel, global
    };
    static constexpr int kControlsHeight = 205;  // the view's lists and buttons
    static constexpr int kStatusRefreshMs = 250;

    // Takes `view` into this window, enabled. `owner` is the main window: the two go together,
    // and its modal run does not block this one. `syncAsked`: --sync was given.
    CTerminalWindow(CAdFunView* view, QWidget* owner, Hooks hooks, bool syncAsked = false);
    ~CTerminalWindow() override;

    // The first time placed beside the owner (or where it was last time), later shown again
    // where it was closed; raised either way.
    void ShowBesideOwner();

    // A text the main window or the panel handed to the send path, terminator included.
    void EchoSent(std::string_view bytes);
    // "Status." is to be sent whenever the link comes up.
    bool SyncWanted() const;

    // Writes the received bytes exactly, or the log as shown (`asText`); false and a message
    // box when the file cannot be written.
    bool SaveLog(const QString& path, bool asText);
    // Asks for a file, then SaveLog.
    void OnSave(bool asText);
    void OnFind(bool backward);
    void RefreshStatus();

    CConsoleHistory& History() { return m_history; }
    CConsoleLog* ConsoleLog() const { return m_pLog; }
    QLabel* StatusLine() const { return m_pStatus; }
    QLineEdit* FindField() const { return m_pFind; }
    // The tool check boxes, by caption: "Time", "Hex", "Echo", "Wrap", "Sync".
    QCheckBox* Tool(const QString& caption) const;

  protected:
    // Enter runs the view's send here too, as it does in the main window (not in Find).
    void keyPressEvent(QKeyEvent* event) override;
    void hideEvent(QHideEvent* event) override;

  private:
    QWidget* BuildTools(QWidget* parent);
    void ApplyTools();
    void HistoryChanged();
    void SaveSettings() const;

    CAdFunView* m_pView;
    Hooks m_hooks;
    CConsoleHistory m_history;
    CConsoleLog* m_pLog = nullptr;
    QLabel* m_pStatus = nullptr;
    QLineEdit* m_pFind = nullptr;
    QWidget* m_pTools = nullptr;
    QTimer* m_pStatusTimer = nullptr;
    bool m_bPlaced = false;
    bool m_bSyncAsked = false;
};
