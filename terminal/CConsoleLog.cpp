#include "terminal/CConsoleLog.h"

#include <QClipboard>
#include <QContextMenuEvent>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QMenu>
#include <QPainter>
#include <QScrollBar>
#include <QStringDecoder>
#include <QTimer>

#include <algorithm>
#include <string>
#include <utility>

namespace {

// About thirty batches a second, as the reply box does.
constexpr int kBatchMs = 33;
constexpr int kMargin = 4;
const QColor kMatch(255, 230, 0);
const QColor kCurrentMatch(255, 150, 0);

QString FromShown(const std::string& text) {
    // Rendered text is valid UTF-8; a byte order mark in it is a character to show.
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless |
                                                     QStringDecoder::Flag::ConvertInitialBom);
    return decoder.decode(QByteArrayView(text.data(), static_cast<qsizetype>(text.size())));
}

}  // namespace

CConsoleLog::CConsoleLog(CConsoleHistory& history, QWidget* parent)
    : QAbstractScrollArea(parent), m_history(history) {
    setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    m_nCharWidth = std::max(1, fontMetrics().horizontalAdvance(QLatin1Char('M')));
    m_nLineHeight = std::max(1, fontMetrics().lineSpacing());
    viewport()->setAutoFillBackground(true);
    viewport()->setBackgroundRole(QPalette::Base);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    m_pBatch = new QTimer(this);
    m_pBatch->setSingleShot(true);
    m_pBatch->setInterval(kBatchMs);
    connect(m_pBatch, &QTimer::timeout, this, [this] { CatchUp(); });
}

void CConsoleLog::HistoryChanged() {
    if (isVisible() && !m_pBatch->isActive()) {
        m_pBatch->start();
    }
}

void CConsoleLog::showEvent(QShowEvent* event) {
    QAbstractScrollArea::showEvent(event);
    CatchUp();
}

void CConsoleLog::contextMenuEvent(QContextMenuEvent* event) {
    QMenu menu(this);
    connect(menu.addAction("Copy All"), &QAction::triggered, this,
            [this] { QGuiApplication::clipboard()->setText(ShownText()); });
    menu.exec(event->globalPos());
}

void CConsoleLog::resizeEvent(QResizeEvent* event) {
    QAbstractScrollArea::resizeEvent(event);
    if (m_bWrap) {
        m_bAfresh = true;  // the rows of every line change with the width
        CatchUp();
    } else {
        UpdateScrollBars();
    }
}

void CConsoleLog::SetViewOptions(const CConsoleHistory::ViewOptions& options) {
    m_options = options;
    m_bAfresh = true;
    CatchUp();
    if (!m_strFound.isEmpty()) {
        // The lines read differently now: the search starts again.
        const QString found = std::exchange(m_strFound, QString());
        Find(found);
    }
}

void CConsoleLog::SetWrap(bool wrap) {
    m_bWrap = wrap;
    setHorizontalScrollBarPolicy(wrap ? Qt::ScrollBarAlwaysOff : Qt::ScrollBarAsNeeded);
    m_bAfresh = true;
    CatchUp();
}

int CConsoleLog::Columns() const {
    return std::max(1, (viewport()->width() - 2 * kMargin) / m_nCharWidth);
}

QString CConsoleLog::LineText(std::size_t number) const {
    return FromShown(CConsoleHistory::Render(m_history.At(number), m_options));
}

int CConsoleLog::Rows(std::size_t number) {
    int length = CConsoleHistory::AsciiRenderedLength(m_history.At(number), m_options);
    if (length < 0) {
        length = static_cast<int>(LineText(number).size());
    }
    m_nWidest = std::max(m_nWidest, length);
    return m_bWrap ? std::max(1, (length + Columns() - 1) / Columns()) : 1;
}

void CConsoleLog::AddShown(std::size_t number) {
    if (!CConsoleHistory::Shown(m_history.At(number), m_options)) {
        return;
    }
    m_shown.push_back(number);
    m_rowStart.push_back(m_nRows);
    m_nRows += Rows(number);
}

void CConsoleLog::Rebuild() {
    m_bAfresh = false;
    m_shown.clear();
    m_rowStart.clear();
    m_nRows = 0;
    m_nWidest = 0;
    m_nShownFirst = m_history.FirstNumber();
    for (std::size_t n = m_nShownFirst; n < m_history.EndNumber(); ++n) {
        AddShown(n);
    }
}

void CConsoleLog::CatchUp() {
    m_pBatch->stop();
    const std::size_t changedFrom = m_history.TakeChangedFrom();
    QScrollBar* bar = verticalScrollBar();
    const bool atEnd = bar->value() >= bar->maximum();
    if (m_bAfresh || m_history.FirstNumber() != m_nShownFirst ||
        changedFrom < m_history.FirstNumber()) {
        Rebuild();
    } else if (changedFrom < m_history.EndNumber()) {
        // Lines change only at the end (the newest may still grow): those from the first
        // changed one are measured again.
        while (!m_shown.empty() && m_shown.back() >= changedFrom) {
            m_shown.pop_back();
            m_nRows = m_rowStart.back();
            m_rowStart.pop_back();
        }
        for (std::size_t n = std::min(changedFrom, m_nShownEnd); n < m_history.EndNumber(); ++n) {
            if (m_shown.empty() || n > m_shown.back()) {
                AddShown(n);
            }
        }
    } else if (!isVisible()) {
        return;
    }
    m_nShownEnd = m_history.EndNumber();
    ++m_nCatchUps;
    UpdateScrollBars();
    // The operator reading back stays where he is; otherwise the newest line is in view.
    if (atEnd) {
        bar->setValue(bar->maximum());
    }
    viewport()->update();
}

void CConsoleLog::UpdateScrollBars() {
    const int page = std::max(1, viewport()->height() / m_nLineHeight);
    verticalScrollBar()->setPageStep(page);
    verticalScrollBar()->setRange(0, std::max(0, m_nRows - page));
    const int columns = (viewport()->width() - 2 * kMargin) / m_nCharWidth;
    horizontalScrollBar()->setPageStep(std::max(1, columns));
    horizontalScrollBar()->setRange(0, m_bWrap ? 0 : std::max(0, m_nWidest - columns));
}

void CConsoleLog::paintEvent(QPaintEvent* /*event*/) {
    QPainter painter(viewport());
    painter.setFont(font());
    const QFontMetrics metrics(font());
    const int firstRow = verticalScrollBar()->value();
    const int rowsInView = viewport()->height() / m_nLineHeight + 1;
    const int columns = m_bWrap ? Columns() : 1 << 20;
    const int shiftX = m_bWrap ? 0 : horizontalScrollBar()->value() * m_nCharWidth;
    // The shown line that holds the first row in view.
    auto it = std::upper_bound(m_rowStart.begin(), m_rowStart.end(), firstRow);
    std::size_t index =
        it == m_rowStart.begin() ? 0 : static_cast<std::size_t>(it - m_rowStart.begin() - 1);
    for (; index < m_shown.size(); ++index) {
        const int lineRow = m_rowStart[index];
        if (lineRow >= firstRow + rowsInView) {
            break;
        }
        const QString text = LineText(m_shown[index]);
        const int rows = m_bWrap ? std::max<int>(1, (text.size() + columns - 1) / columns) : 1;
        for (int part = 0; part < rows; ++part) {
            const int y = (lineRow + part - firstRow) * m_nLineHeight;
            if (y < -m_nLineHeight || y > viewport()->height()) {
                continue;
            }
            const QString row = m_bWrap ? text.mid(part * columns, columns) : text;
            const int x = kMargin - shiftX;
            if (!m_strFound.isEmpty()) {
                for (qsizetype at = row.indexOf(m_strFound, 0, Qt::CaseInsensitive); at >= 0;
                     at = row.indexOf(m_strFound, at + 1, Qt::CaseInsensitive)) {
                    const bool current =
                        m_current.line == m_shown[index] && m_current.column == part * columns + at;
                    painter.fillRect(x + metrics.horizontalAdvance(row.left(at)), y,
                                     metrics.horizontalAdvance(row.mid(at, m_strFound.size())),
                                     m_nLineHeight, current ? kCurrentMatch : kMatch);
                }
            }
            painter.drawText(x, y + metrics.ascent(), row);
        }
    }
}

void CConsoleLog::ScrollTo(std::size_t number) {
    const auto it = std::lower_bound(m_shown.begin(), m_shown.end(), number);
    if (it == m_shown.end()) {
        return;
    }
    const int row = m_rowStart[static_cast<std::size_t>(it - m_shown.begin())];
    QScrollBar* bar = verticalScrollBar();
    if (row < bar->value() || row >= bar->value() + bar->pageStep()) {
        bar->setValue(row - bar->pageStep() / 2);
    }
}

int CConsoleLog::Find(const QString& text, bool backward) {
    CatchUp();
    if (text.compare(m_strFound, Qt::CaseInsensitive) != 0) {
        m_current = Match();  // a new search starts from the first line
    }
    m_strFound = text;
    m_nMatches = 0;
    viewport()->update();
    if (text.isEmpty()) {
        m_current = Match();
        return 0;
    }
    // Every match in shown order; the current one moves to the next (or previous) of them.
    std::vector<Match> matches;
    for (const std::size_t number : m_shown) {
        const QString line = LineText(number);
        for (qsizetype at = line.indexOf(text, 0, Qt::CaseInsensitive); at >= 0;
             at = line.indexOf(text, at + 1, Qt::CaseInsensitive)) {
            matches.push_back({number, static_cast<int>(at)});
        }
    }
    if (matches.empty()) {
        m_current = Match();
        return 0;
    }
    const auto after = [](const Match& a, const Match& b) {
        return a.line != b.line ? a.line > b.line : a.column > b.column;
    };
    const Match* next = nullptr;
    if (backward) {
        for (auto it = matches.rbegin(); it != matches.rend() && next == nullptr; ++it) {
            next = m_current.column >= 0 && after(m_current, *it) ? &*it : nullptr;
        }
        next = next != nullptr ? next : &matches.back();
    } else {
        for (const Match& match : matches) {
            if (next == nullptr && (m_current.column < 0 || after(match, m_current))) {
                next = &match;
            }
        }
        next = next != nullptr ? next : &matches.front();
    }
    m_current = *next;
    ScrollTo(m_current.line);
    m_nMatches = static_cast<int>(matches.size());
    return m_nMatches;
}

QString CConsoleLog::CurrentMatch() const {
    if (m_current.column < 0 || m_current.line < m_history.FirstNumber() ||
        m_current.line >= m_history.EndNumber()) {
        return QString();
    }
    return LineText(m_current.line).mid(m_current.column, m_strFound.size());
}

QString CConsoleLog::ShownText() const {
    QStringList lines;
    for (const std::size_t number : m_shown) {
        lines << LineText(number);
    }
    return lines.join(u'\n');
}
