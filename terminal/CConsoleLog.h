#pragma once

#include <QAbstractScrollArea>

#include <cstddef>
#include <vector>

#include "terminal/CConsoleHistory.h"

class QTimer;

// The operator's console log: paints the lines of a CConsoleHistory that are in view, and no
// others, so that a flood of replies costs the history's bookkeeping and not a text layout of
// every line. It catches up with the history at most about thirty times a second, and only
// while it is seen. Timestamps, the hexadecimal bytes of received lines and the echo of sent
// texts are ways of showing the history; long lines wrap at the window's width or scroll
// sideways. Find marks every match in view and steps through them.
class CConsoleLog : public QAbstractScrollArea {
    Q_OBJECT
  public:
    CConsoleLog(CConsoleHistory& history, QWidget* parent);

    // The history has grown or changed: shown at the next batch.
    void HistoryChanged();
    // Brings the widget up to the history now.
    void CatchUp();

    void SetViewOptions(const CConsoleHistory::ViewOptions& options);
    const CConsoleHistory::ViewOptions& ViewOptions() const { return m_options; }
    void SetWrap(bool wrap);

    // Marks every match of `text` (no case) and makes the next one after the current one
    // (before it, `backward`) current, wrapping around; the number of matches.
    int Find(const QString& text, bool backward = false);
    // The current match as shown (empty when there is none), and how many there are.
    QString CurrentMatch() const;
    int MatchCount() const { return m_nMatches; }

    // The shown lines, one per line of text, as they are painted.
    QString ShownText() const;
    // How many times the widget was brought up to the history (a flood costs a few a second).
    std::size_t CatchUps() const { return m_nCatchUps; }

  protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void showEvent(QShowEvent* event) override;
    // The log paints its lines and has no selection: its menu copies them all as shown.
    void contextMenuEvent(QContextMenuEvent* event) override;

  private:
    struct Match {
        std::size_t line = 0;
        int column = -1;  // -1: none
    };

    QString LineText(std::size_t number) const;
    int Rows(std::size_t number);
    void AddShown(std::size_t number);
    void Rebuild();
    void UpdateScrollBars();
    int Columns() const;
    void ScrollTo(std::size_t number);

    CConsoleHistory& m_history;
    CConsoleHistory::ViewOptions m_options;
    bool m_bWrap = true;
    QTimer* m_pBatch = nullptr;
    int m_nCharWidth = 8;
    int m_nLineHeight = 16;

    // The history's lines that are shown, and the first row of each (rows differ from lines
    // when long lines wrap); m_nRows rows in all.
    std::vector<std::size_t> m_shown;
    std::vector<int> m_rowStart;
    int m_nRows = 0;
    int m_nWidest = 0;  // characters of the longest line, for the sideways scroll bar
    std::size_t m_nShownFirst = 0;
    std::size_t m_nShownEnd = 0;
    bool m_bAfresh = true;
    std::size_t m_nCatchUps = 0;

    QString m_strFound;
    Match m_current;
    int m_nMatches = 0;
};
