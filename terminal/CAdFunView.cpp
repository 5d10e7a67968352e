#include "terminal/CAdFunView.h"

#include <QComboBox>
#include <QLineEdit>
#include <QPainter>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QStringDecoder>
#include <QTextCursor>
#include <QTextDocument>
#include <QTimer>

#include <algorithm>
#include <array>
#include <utility>

#include "controls/CGradientButton.h"
#include "controls/CIconButton.h"
#include "controls/CTextLabel.h"
#include "controls/ControlIcons.h"
#include "link/CNetClient.h"
#include "link/CSendPath.h"
#include "link/CSerialPort.h"
#include "link/LineSettings.h"
#include "platform/LeadingInt.h"
#include "platform/qt/ControlId.h"
#include "platform/qt/DialogColours.h"
#include "platform/qt/WindowTimers.h"
#include "terminal/HexText.h"

namespace {

constexpr int kPortCount = 5;
constexpr int kListClosedHeight = 20;
constexpr int kListItemHeight = 16;

const char* const kBaudChanged = "更改波特率成功\r\n";
const char* const kBaudRefused = "更改波特率失败!\r\n";
const char* const kIntervalError = "Error! The time should be more than 1 mill-seconds.";

// The port list: dropping it down first runs the owner's refresh.
class CPortList : public QComboBox {
  public:
    CPortList(QWidget* parent, std::function<void()> aboutToDrop)
        : QComboBox(parent), m_aboutToDrop(std::move(aboutToDrop)) {}

    void showPopup() override {
        m_aboutToDrop();
        QComboBox::showPopup();
    }

  private:
    std::function<void()> m_aboutToDrop;
};

template <class Setting, std::size_t N>
void FillList(QComboBox* list, const std::array<Setting, N>& settings, int selection) {
    const QSignalBlocker quiet(list);
    for (const Setting& setting : settings) {
        list->addItem(QString::fromUtf8(setting.caption));
    }
    list->setCurrentIndex(selection);
}

// The shown text of the log is valid UTF-8; a byte order mark in it is a character to show.
QString ShownQString(const std::string& text) {
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless |
                                                     QStringDecoder::Flag::ConvertInitialBom);
    return decoder.decode(QByteArrayView(text.data(), static_cast<qsizetype>(text.size())));
}

// About thirty batches a second: as smooth as the eye needs, and a flood of small replies
// costs a few widget appends a second instead of one per reply.
constexpr int kShowIntervalMs = 33;

}  // namespace

CAdFunView::CAdFunView(Context context, const QRect& rect, QWidget* parent, int id)
    : QWidget(parent), m_ctx(std::move(context)) {
    SetControlId(this, id);
    setGeometry(rect);
    ApplyDialogColours(this);
    m_pTimers = new WindowTimers(this, [this](int timerId) { OnTimer(timerId); });

    CreateControls();

    // The initial line settings of the lists are not applied: the driver opens with its own.
    if (m_ctx.startRatePosition) {
        const QSignalBlocker quiet(m_pBaudList);
        m_pBaudList->setCurrentIndex(*m_ctx.startRatePosition);
    }
    if (const int first = FillPortList(); first != 0) {
        const QSignalBlocker quiet(m_pPortList);
        m_pPortList->setCurrentIndex(0);
        m_nPort = first;
        m_ctx.serial.Open(first, m_ctx.startRatePosition.value_or(CSerialPort::kOpenRatePosition));
    }
}

CAdFunView::~CAdFunView() = default;

void CAdFunView::CreateControls() {
    struct LabelSpec {
        int id;
        const char* caption;
        QRect rect;
    };
    const LabelSpec labels[] = {
        {kIdPortLabel, "Set Com Port:", QRect(10, 10, 100, 20)},
        {kIdBaudLabel, "Baud Rate:", QRect(10, 50, 100, 20)},
        {kIdStopBitsLabel, "Stop Bit:", QRect(10, 90, 100, 20)},
        {kIdParityLabel, "Parity Bit:", QRect(10, 130, 100, 20)},
        {kIdDataBitsLabel, "Data Bit:", QRect(10, 170, 100, 20)},
        {kIdIntervalUnit, "millseconds", QRect(610, 20, 80, 20)},
    };
    for (const LabelSpec& label : labels) {
        new CTextLabel(QString::fromUtf8(label.caption), Qt::AlignLeft, label.rect, this, label.id);
    }

    // A list's height in the table includes its drop-down part; the closed box is one line.
    const auto placeList = [this](QComboBox* list, int id, int x, int y, int w, int h) {
        SetControlId(list, id);
        list->setGeometry(x, y, w, kListClosedHeight);
        list->setMaxVisibleItems(std::max(1, (h - kListClosedHeight) / kListItemHeight));
    };
    m_pPortList = new CPortList(this, [this] { OnPortListDropDown(); });
    placeList(m_pPortList, kIdPortList, 120, 10, 100, 120);
    m_pBaudList = new QComboBox(this);
    placeList(m_pBaudList, kIdBaudList, 120, 50, 100, 150);
    m_pStopBitsList = new QComboBox(this);
    placeList(m_pStopBitsList, kIdStopBitsList, 120, 90, 100, 80);
    m_pParityList = new QComboBox(this);
    placeList(m_pParityList, kIdParityList, 120, 130, 100, 120);
    m_pDataBitsList = new QComboBox(this);
    placeList(m_pDataBitsList, kIdDataBitsList, 120, 170, 100, 100);

    FillList(m_pBaudList, kBaudSettings, kInitialBaudPosition);
    FillList(m_pStopBitsList, kStopBitsSettings, 0);
    FillList(m_pParityList, kParitySettings, 0);
    FillList(m_pDataBitsList, kDataBitsSettings, kInitialDataBitsPosition);

    // Picks by the operator only: filling and resetting the lists in code runs nothing.
    connect(m_pPortList, &QComboBox::activated, this, [this] { OnPortSelChange(); });
    connect(m_pBaudList, &QComboBox::activated, this, [this] { OnBaudSelChange(); });
    connect(m_pStopBitsList, &QComboBox::activated, this, [this] { OnStopBitsSelChange(); });
    connect(m_pParityList, &QComboBox::activated, this, [this] { OnParitySelChange(); });
    connect(m_pDataBitsList, &QComboBox::activated, this, [this] { OnDataBitsSelChange(); });

    m_pInterval = new QLineEdit(this);
    SetControlId(m_pInterval, kIdInterval);
    m_pInterval->setGeometry(545, 15, 60, 20);
    m_pSendText = new QLineEdit(this);
    SetControlId(m_pSendText, kIdSendText);
    m_pSendText->setGeometry(250, 50, 450, 25);

    m_pLog = new QPlainTextEdit(this);
    SetControlId(m_pLog, kIdLog);
    m_pLog->setGeometry(250, 90, 350, 110);
    m_pLog->setReadOnly(true);
    m_pLog->setUndoRedoEnabled(false);  // an undo history would grow with every arrival
    m_pLog->setLineWrapMode(QPlainTextEdit::NoWrap);
    m_pLog->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    m_pLog->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    // While the view is visible, arrivals reach the widget in batches, at most this often.
    m_pShowTimer = new QTimer(this);
    m_pShowTimer->setSingleShot(true);
    m_pShowTimer->setInterval(kShowIntervalMs);
    connect(m_pShowTimer, &QTimer::timeout, this, [this] { ShowLog(); });
    connect(m_pLog->document(), &QTextDocument::contentsChange, this, [this] {
        if (!m_bOwnLogEdit) {
            m_bLogStale = true;
        }
    });

    m_pAscii = new CIconButton(kIconRadioOff, kIconRadioOn, QStringLiteral("Ascii"),
                               QRect(250, 10, 60, 30), this, kIdAscii, true);
    m_pHex = new CIconButton(kIconRadioOff, kIconRadioOn, QStringLiteral("Hex"),
                             QRect(315, 10, 60, 30), this, kIdHex, false);
    m_pContinuous = new CIconButton(kIconCheckOff, kIconCheckOn, QStringLiteral("Continuous Send"),
                                    QRect(400, 10, 140, 30), this, kIdContinuous, false);
    m_pSend = new CGradientButton(QStringLiteral("Send"), QRect(630, 80, 80, 30), this, kIdSend);
    m_pClear =
        new CGradientButton(QStringLiteral("Clear"), QRect(630, 150, 80, 30), this, kIdClear);

    connect(m_pAscii, &QPushButton::clicked, this, [this] { OnAscii(); });
    connect(m_pHex, &QPushButton::clicked, this, [this] { OnHex(); });
    connect(m_pContinuous, &QPushButton::clicked, this, [this] { OnContinuousSend(); });
    connect(m_pSend, &QPushButton::clicked, this, [this] { OnSend(); });
    connect(m_pClear, &QPushButton::clicked, this, [this] { OnClear(); });
}

void CAdFunView::paintEvent(QPaintEvent* /*event*/) {
    QPainter(this).fillRect(rect(), QColor(kDialogBackground));
}

LinkMode CAdFunView::Mode() const {
    return m_ctx.linkMode ? m_ctx.linkMode() : LinkMode::Serial;
}

void CAdFunView::ClearReplyBuffer() {
    if (m_ctx.clearReplyBuffer) {
        m_ctx.clearReplyBuffer();
    }
}

bool CAdFunView::IsHexMode() const {
    return m_pHex->IsSelected();
}

bool CAdFunView::IsSending() const {
    return m_pContinuous->IsSelected();
}

// --- ports -----------------------------------------------------------------------------------

int CAdFunView::FillPortList() {
    const QSignalBlocker quiet(m_pPortList);
    m_pPortList->clear();
    int first = 0;
    for (int port = 1; port <= kPortCount; ++port) {
        if (m_ctx.serial.Probe(port)) {
            m_pPortList->addItem(QStringLiteral("Com%1").arg(port));
            if (first == 0) {
                first = port;
            }
        }
    }
    m_pPortList->setCurrentIndex(-1);
    return first;
}

void CAdFunView::OnPortListDropDown() {
    if (IsSending()) {
        OnContinuousSend();
    }
    // No pause after a close that found nothing open: the close is complete when it returns
    // (reader joined, descriptor released), so waiting would only freeze the window.
    m_ctx.serial.Close();
    m_bPortReleased = true;
    FillPortList();
}

void CAdFunView::OnPortSelChange() {
    // With nothing listed there is no port to open (a blank name would mean COM1, which was
    // not found free).
    if (m_pPortList->count() == 0) {
        return;
    }
    int index = m_pPortList->currentIndex();
    if (index < 0) {
        index = 0;
        const QSignalBlocker quiet(m_pPortList);
        m_pPortList->setCurrentIndex(index);
    }
    const std::string name = m_pPortList->itemText(index).toStdString();
    m_nPort = name.size() > 3 ? LeadingInt(name.substr(3)) : 1;
    m_bPortReleased = false;
    m_ctx.serial.OpenByName(name);
}

bool CAdFunView::SwitchToSerial() {
    if (m_ctx.stopReceiveThread) {
        m_ctx.stopReceiveThread();
    }
    m_ctx.net.Close();
    // A list left empty because every port was busy at start is never dropped down again (the
    // view is hidden): look for free ports now, so that COM can reach one that was freed.
    if (m_pPortList->count() == 0) {
        FillPortList();
    }
    OnPortSelChange();
    return true;
}

bool CAdFunView::ReleaseSerialPort() {
    // Close stops and joins the driver's reader before the port is let go.
    m_ctx.serial.Close();
    m_bPortReleased = true;
    return true;
}

// --- line settings ---------------------------------------------------------------------------

void CAdFunView::OnBaudSelChange() {
    const int index = m_pBaudList->currentIndex();
    bool changed = false;
    if (Mode() == LinkMode::Network) {
        // The module knows only some of the rates; for the others nothing is sent.
        const int module = index >= 0 && index < static_cast<int>(kBaudSettings.size())
                               ? kBaudSettings[static_cast<std::size_t>(index)].moduleIndex
                               : -1;
        if (module >= 0) {
            changed = m_ctx.net.SetModuleBaud(module);
        }
    } else {
        changed = m_ctx.serial.SetBaud(index);
    }
    AppendOwnText(changed ? kBaudChanged : kBaudRefused);
}

void CAdFunView::OnStopBitsSelChange() {
    const int index = m_pStopBitsList->currentIndex();
    if (Mode() == LinkMode::Network) {
        m_ctx.net.SetModuleStopBits(index);
    } else {
        m_ctx.serial.SetStopBits(index);
    }
}

void CAdFunView::OnParitySelChange() {
    const int index = m_pParityList->currentIndex();
    if (Mode() == LinkMode::Network) {
        m_ctx.net.SetModuleParity(index);
    } else {
        m_ctx.serial.SetParity(index);
    }
}

void CAdFunView::OnDataBitsSelChange() {
    const int index = m_pDataBitsList->currentIndex();
    if (Mode() == LinkMode::Network) {
        m_ctx.net.SetModuleDataBits(index);
    } else {
        m_ctx.serial.SetDataBits(index);
    }
}

// --- sending ---------------------------------------------------------------------------------

std::string CAdFunView::SendFieldBytes() const {
    const QString text = m_pSendText->text();
    if (m_bFieldBytesKept && text == m_strFieldShown) {
        return m_strFieldBytes;
    }
    return text.toStdString();
}

void CAdFunView::SetSendFieldBytes(const std::string& bytes) {
    const QString shown = QString::fromUtf8(bytes.data(), static_cast<qsizetype>(bytes.size()));
    m_bFieldBytesKept = shown.toStdString() != bytes;
    if (m_bFieldBytesKept) {
        m_strFieldBytes = bytes;
        m_strFieldShown = shown;
    } else {
        m_strFieldBytes.clear();
        m_strFieldShown.clear();
    }
    m_pSendText->setText(shown);
    // The line edit may keep the text in its own form; compare against what it holds.
    if (m_bFieldBytesKept) {
        m_strFieldShown = m_pSendText->text();
    }
}

void CAdFunView::OnAscii() {
    if (m_pAscii->IsSelected()) {
        return;
    }
    m_pHex->SetSelected(false);
    m_pAscii->SetSelected(true);
    SetSendFieldBytes(HexToBytes(SendFieldBytes()));
}

void CAdFunView::OnHex() {
    if (m_pHex->IsSelected()) {
        return;
    }
    m_pHex->SetSelected(true);
    m_pAscii->SetSelected(false);
    SetSendFieldBytes(BytesAsHex(SendFieldBytes()));
}

void CAdFunView::OnSend() {
    std::string bytes = SendFieldBytes();
    if (IsHexMode()) {
        bytes = HexToBytes(bytes);
    }
    ClearReplyBuffer();
    m_ctx.sendPath.SendRawToDevice(bytes);
    if (m_logWatch.sent) {
        m_logWatch.sent(bytes);
    }
}

void CAdFunView::OnContinuousSend() {
    m_strRepeat = SendFieldBytes();
    const int interval = LeadingInt(m_pInterval->text().toStdString());
    if (interval <= 0) {
        ReplaceLogText(kIntervalError);
        return;
    }
    if (IsSending()) {
        m_pTimers->Stop(kRepeatTimerId);
        m_pContinuous->SetSelected(false);
        m_pInterval->setEnabled(true);
        return;
    }
    m_pTimers->Start(kRepeatTimerId, interval);
    m_pInterval->setEnabled(false);
    if (IsHexMode()) {
        m_strRepeat = HexToBytes(m_strRepeat);
    }
    m_pContinuous->SetSelected(true);
}

void CAdFunView::OnTimer(int /*id*/) {
    // Periodic: the timer keeps running; it is stopped only by the button or the port list.
    ClearReplyBuffer();
    m_ctx.sendPath.SendRawToDevice(m_strRepeat);
    if (m_logWatch.sent) {
        m_logWatch.sent(m_strRepeat);
    }
}

// --- the log ---------------------------------------------------------------------------------

void CAdFunView::OnClear() {
    ReplaceLogText(std::string());
    if (m_logWatch.cleared) {
        m_logWatch.cleared();
    }
}

void CAdFunView::AppendReceived(std::string_view text) {
    if (m_ctx.feedReply) {
        m_ctx.feedReply(text);
    }
    AppendLogText(text);
}

std::string CAdFunView::LogText() const {
    if (m_bLogStale) {
        // Typed into: the widget holds what it showed, edited, and the tail it has not had.
        const std::string& bytes = m_log.Bytes();
        const std::size_t shown = std::min(m_log.ShownBytes(), bytes.size());
        return m_pLog->toPlainText().toStdString() + bytes.substr(shown);
    }
    return m_log.Bytes();
}

QPlainTextEdit* CAdFunView::Log() {
    ShowLog();
    return m_pLog;
}

void CAdFunView::SyncLogFromWidget() {
    if (!m_bLogStale) {
        return;
    }
    // Written into directly: its line ends are what the widget reports.
    m_log.Replace(LogText());
    m_bLogStale = false;
    LogChanged();
}

void CAdFunView::ReplaceLogText(const std::string& text) {
    m_log.Replace(text);
    m_bLogStale = false;
    LogChanged();
    if (m_logWatch.replaced) {
        m_logWatch.replaced(text);
    }
}

void CAdFunView::AppendLogText(std::string_view text) {
    AppendToLog(text);
    if (m_logWatch.received) {
        m_logWatch.received(text);
    }
}

void CAdFunView::AppendOwnText(std::string_view text) {
    AppendToLog(text);
    if (m_logWatch.own) {
        m_logWatch.own(text);
    }
}

void CAdFunView::AppendToLog(std::string_view text) {
    SyncLogFromWidget();
    m_log.Append(text);
    LogChanged();
}

void CAdFunView::LogChanged() {
    if (!m_pLog->isVisible()) {
        return;  // nobody sees the widget: it catches up when it is shown or asked for
    }
    if (m_log.MustShowAfresh()) {
        // What the widget shows is no longer a start of the log: nothing may be typed into
        // an outdated copy, so it is shown afresh at once.
        ShowLog();
    } else if (!m_pShowTimer->isActive()) {
        m_pShowTimer->start();
    }
}

void CAdFunView::ShowLog() {
    m_pShowTimer->stop();
    if (!m_log.HasUnshown()) {
        return;
    }
    const CByteLog::Update update = m_log.TakeUnshown();
    m_bOwnLogEdit = true;
    if (update.afresh) {
        m_pLog->clear();
    }
    if (!update.text.empty()) {
        QTextCursor end(m_pLog->document());
        end.movePosition(QTextCursor::End);
        end.insertText(ShownQString(update.text));
    }
    m_bOwnLogEdit = false;
    QScrollBar* bar = m_pLog->verticalScrollBar();
    bar->setValue(bar->maximum());
}

void CAdFunView::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    ShowLog();
}
