#include "app/CTerminalWindow.h"

#include <QCheckBox>
#include <QFileDialog>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSaveFile>
#include <QScreen>
#include <QScrollArea>
#include <QSettings>
#include <QShortcut>
#include <QTimer>
#include <QVBoxLayout>

#include <string>

#include "app/TerminalPlacement.h"
#include "platform/MessageBox.h"
#include "platform/qt/ControlId.h"
#include "platform/qt/DialogColours.h"
#include "terminal/CAdFunView.h"
#include "terminal/CConsoleLog.h"

namespace {

constexpr int kDefaultLogHeight = 260;
constexpr int kLogMinimumHeight = 60;
// Room for the controls, a few lines of log and the status line.
const QSize kMinimumSize(280, CTerminalWindow::kControlsHeight + kLogMinimumHeight + 30);
const QRect kToolsRect(250, 88, 372, 112);  // where the view's reply box was

// The user's own configuration (~/.config/matrixpanel/console.conf), not the settings
// directory of the password and login files.
QSettings ConsoleSettings() {
    return QSettings(QSettings::NativeFormat, QSettings::UserScope, "matrixpanel", "console");
}

struct ToolEntry {
    const char* caption;
    const char* key;
    const char* tip;
    bool initial;
};
constexpr ToolEntry kTools[] = {
    {"Time", "timestamps", "Time of each line (hh:mm:ss.mmm)", false},
    {"Hex", "hex", "Received bytes in hexadecimal beside the text", false},
    {"Echo", "echo", "Show what was sent, marked \"> \"", true},
    {"Wrap", "wrap", "Wrap long lines", true},
    {"Sync", "sync", "Send \"Status.\" whenever the link comes up", false},
};

}  // namespace

CTerminalWindow::CTerminalWindow(CAdFunView* view, QWidget* owner, Hooks hooks, bool syncAsked)
    : QWidget(owner, Qt::Window),
      m_pView(view),
      m_hooks(std::move(hooks)),
      m_bSyncAsked(syncAsked) {
    setWindowTitle("Serial Terminal");
    setMinimumSize(kMinimumSize);
    m_pLog = new CConsoleLog(m_history, this);
    m_pLog->setMinimumHeight(kLogMinimumHeight);

    // The view's lists and buttons at their own places; narrower windows scroll them.
    auto* controls = new QWidget;
    ApplyDialogColours(controls);
    controls->setFixedSize(view->width(), kControlsHeight);
    view->setParent(controls);
    view->move(0, 0);
    view->setFixedSize(view->width(), kControlsHeight);
    view->setEnabled(true);
    view->show();
    // The console's log replaces the view's reply box on screen; the box itself stays the
    // program's reply box underneath.
    if (QWidget* box = FindControl(view, CAdFunView::kIdLog)) {
        box->hide();
    }
    BuildTools(controls);
    auto* scroll = new QScrollArea;
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setWidget(controls);
    // The controls keep their height (a narrow window scrolls them sideways); the log takes
    // every change of the window's height.
    scroll->setFixedHeight(kControlsHeight);
    scroll->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);

    m_pStatus = new QLabel(this);
    m_pStatus->setFrameShape(QFrame::StyledPanel);
    m_pStatus->setTextInteractionFlags(Qt::TextSelectableByMouse);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(scroll);
    layout->addWidget(m_pLog, 1);
    layout->addWidget(m_pStatus);
    resize(view->width(), kControlsHeight + kDefaultLogHeight);

    view->SetLogWatch(CAdFunView::LogWatch{
        [this](std::string_view text) {
            m_history.AddStatus(text);
            HistoryChanged();
        },
        [this](std::string_view text) {
            m_history.AddReceived(text);
            HistoryChanged();
        },
        [this](std::string_view text) {
            m_history.AddNote(text);
            HistoryChanged();
        },
        [this] {
            m_history.Clear();
            HistoryChanged();
        },
        [this](std::string_view bytes) { EchoSent(bytes); },
    });

    const auto shortcut = [this](const QKeySequence& keys, std::function<void()> run) {
        connect(new QShortcut(keys, this), &QShortcut::activated, this, std::move(run));
    };
    shortcut(QKeySequence::Save, [this] { OnSave(false); });
    shortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_S), [this] { OnSave(true); });
    shortcut(QKeySequence::Find, [this] {
        m_pFind->setFocus();
        m_pFind->selectAll();
    });
    shortcut(QKeySequence::FindNext, [this] { OnFind(false); });
    shortcut(QKeySequence::FindPrevious, [this] { OnFind(true); });

    m_pStatusTimer = new QTimer(this);
    m_pStatusTimer->setInterval(kStatusRefreshMs);
    connect(m_pStatusTimer, &QTimer::timeout, this, [this] { RefreshStatus(); });
    m_pStatusTimer->start();
    RefreshStatus();
}

CTerminalWindow::~CTerminalWindow() {
    // The view goes with this window's children, after its members: it must not report to a
    // history that is gone.
    m_pView->SetLogWatch({});
    if (isVisible()) {
        SaveSettings();
    }
}

QWidget* CTerminalWindow::BuildTools(QWidget* parent) {
    auto* tools = new QWidget(parent);
    m_pTools = tools;
    tools->setGeometry(kToolsRect);
    QSettings settings = ConsoleSettings();
    int x = 0;
    for (const ToolEntry& entry : kTools) {
        auto* box = new QCheckBox(entry.caption, tools);
        box->setObjectName(entry.caption);
        box->setToolTip(entry.tip);
        box->setGeometry(x, 0, 70, 24);
        box->setChecked(settings.value(entry.key, entry.initial).toBool());
        connect(box, &QCheckBox::toggled, this, [this] {
            ApplyTools();
            SaveSettings();
        });
        x += 72;
    }
    if (m_bSyncAsked) {
        const QSignalBlocker quiet(Tool("Sync"));
        Tool("Sync")->setChecked(true);
    }
    m_pFind = new QLineEdit(tools);
    m_pFind->setGeometry(0, 32, 236, 26);
    m_pFind->setPlaceholderText("Find (Ctrl+F, Enter, Shift+Enter)");
    m_pFind->setClearButtonEnabled(true);
    connect(m_pFind, &QLineEdit::textChanged, this, [this] { OnFind(false); });

    struct ButtonEntry {
        const char* caption;
        QRect rect;
        std::function<void()> run;
    };
    const ButtonEntry buttons[] = {
        {"\u25B2", QRect(240, 32, 32, 26), [this] { OnFind(true); }},
        {"\u25BC", QRect(276, 32, 32, 26), [this] { OnFind(false); }},
        {"Save Bytes...", QRect(0, 70, 130, 28), [this] { OnSave(false); }},
        {"Save Text...", QRect(136, 70, 130, 28), [this] { OnSave(true); }},
    };
    for (const ButtonEntry& entry : buttons) {
        auto* button = new QPushButton(QString::fromUtf8(entry.caption), tools);
        button->setGeometry(entry.rect);
        button->setAutoDefault(false);
        connect(button, &QPushButton::clicked, this, entry.run);
    }
    ApplyTools();
    return tools;
}

QCheckBox* CTerminalWindow::Tool(const QString& caption) const {
    return m_pTools->findChild<QCheckBox*>(caption);
}

void CTerminalWindow::ApplyTools() {
    CConsoleHistory::ViewOptions options;
    options.timestamps = Tool("Time")->isChecked();
    options.hex = Tool("Hex")->isChecked();
    options.echo = Tool("Echo")->isChecked();
    m_pLog->SetViewOptions(options);
    m_pLog->SetWrap(Tool("Wrap")->isChecked());
}

bool CTerminalWindow::SyncWanted() const {
    return Tool("Sync")->isChecked();
}

void CTerminalWindow::SaveSettings() const {
    QSettings settings = ConsoleSettings();
    settings.setValue("geometry", geometry());
    for (const ToolEntry& entry : kTools) {
        // --sync is for its run; only the operator's own tick is remembered.
        if (QString(entry.key) != "sync" || !m_bSyncAsked) {
            settings.setValue(entry.key, Tool(entry.caption)->isChecked());
        }
    }
}

void CTerminalWindow::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    if (!event->spontaneous()) {
        SaveSettings();
    }
}

void CTerminalWindow::ShowBesideOwner() {
    if (!m_bPlaced) {
        m_bPlaced = true;
        const QWidget* owner = parentWidget();
        QScreen* screen = owner != nullptr ? owner->screen() : QGuiApplication::primaryScreen();
        const QRect available = screen->availableGeometry();
        const QRect ownerFrame = owner != nullptr ? owner->frameGeometry() : QRect();
        const QRect panel = m_hooks.panelOnScreen ? m_hooks.panelOnScreen() : ownerFrame;
        // This window's frame is taken to be the owner's: it is not known before it is shown.
        const QMargins frame = owner != nullptr
                                   ? QMargins(owner->geometry().left() - ownerFrame.left(),
                                              owner->geometry().top() - ownerFrame.top(),
                                              ownerFrame.right() - owner->geometry().right(),
                                              ownerFrame.bottom() - owner->geometry().bottom())
                                   : QMargins();
        const QSize grow(frame.left() + frame.right(), frame.top() + frame.bottom());
        const QVariant remembered = ConsoleSettings().value("geometry");
        TerminalPlace place;
        if (remembered.canConvert<QRect>() && remembered.toRect().isValid() &&
            PlaceStillFits(remembered.toRect().marginsAdded(frame), panel, available)) {
            place = {remembered.toRect().marginsAdded(frame), ownerFrame.topLeft()};
        } else {
            const QSize wanted = remembered.canConvert<QRect>() && remembered.toRect().isValid()
                                     ? remembered.toRect().size()
                                     : size();
            place = PlaceTerminal(ownerFrame, panel, wanted + grow, kMinimumSize + grow, available);
        }
        if (owner != nullptr && place.owner != ownerFrame.topLeft()) {
            parentWidget()->move(place.owner);
        }
        resize(place.console.size() - grow);
        move(place.console.topLeft());
    }
    show();
    raise();
    activateWindow();
}

void CTerminalWindow::HistoryChanged() {
    m_pLog->HistoryChanged();
}

void CTerminalWindow::EchoSent(std::string_view bytes) {
    m_history.AddSent(bytes);
    HistoryChanged();
}

void CTerminalWindow::RefreshStatus() {
    LinkStatus status = m_hooks.linkStatus ? m_hooks.linkStatus() : LinkStatus();
    status.received = m_history.ReceivedBytes();
    status.sent = m_history.SentBytes();
    status.lock = m_history.LockState();
    const QString text = QString::fromStdString(LinkStatusText(status));
    if (m_pStatus->text() != text) {
        m_pStatus->setText(text);
    }
}

bool CTerminalWindow::SaveLog(const QString& path, bool asText) {
    m_pLog->CatchUp();
    const std::string bytes =
        asText ? m_history.RenderAll(m_pLog->ViewOptions()) : m_history.ReceivedStream();
    QSaveFile file(path);
    const bool saved = file.open(QIODevice::WriteOnly) &&
                       file.write(bytes.data(), static_cast<qint64>(bytes.size())) ==
                           static_cast<qint64>(bytes.size()) &&
                       file.commit();
    if (!saved) {
        ShowMessageBox(
            this, "Cannot save " + path.toStdString() + ": " + file.errorString().toStdString());
    }
    return saved;
}

void CTerminalWindow::OnSave(bool asText) {
    QFileDialog dialog(this, asText ? "Save Log as Text" : "Save Received Bytes");
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setNameFilter(asText ? "Text (*.txt);;All files (*)" : "All files (*)");
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) {
        return;
    }
    SaveLog(dialog.selectedFiles().first(), asText);
}

void CTerminalWindow::OnFind(bool backward) {
    m_pLog->Find(m_pFind->text(), backward);
}

void CTerminalWindow::keyPressEvent(QKeyEvent* event) {
    const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
    if (enter && focusWidget() == m_pFind) {
        // Enter steps to the next match, Shift+Enter to the one before.
        OnFind((event->modifiers() & Qt::ShiftModifier) != 0);
        event->accept();
        return;
    }
    if (enter) {
        m_pView->OnSend();
        event->accept();
        return;
    }
    QWidget::keyPressEvent(event);
}
