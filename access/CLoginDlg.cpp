#include "access/CLoginDlg.h"

#include <QComboBox>
#include <QEvent>
#include <QEventLoop>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>

#include <iterator>

#include "access/CPasswordDlg.h"
#include "access/SettingsFiles.h"
#include "platform/LeadingInt.h"
#include "platform/qt/ControlId.h"
#include "platform/qt/DialogColours.h"
#include "platform/qt/DialogUnits.h"

namespace {

constexpr const char* kModelNames[] = {
    "Audio Matrix (KQF)", "AV matrix (KQE)",      "DVI matrix (KQD)", "HDMI matrix",
    "RGBHV matrix (KQC)", "S-Video matrix (KQB)", "VGA matrix (KQA)",
};

// Labels take the dialog colours (teal, black text) on top of the login's own blue.
QLabel* MakeLabel(QWidget* parent, int id, const QString& text, Qt::Alignment align, int x, int y,
                  int w, int h) {
    auto* label = AddControl<QLabel>(parent, id, SystemFontUnits(x, y, w, h), text);
    label->setAlignment(align | Qt::AlignTop);
    ApplyDialogColours(label);
    return label;
}

}  // namespace

CLoginDlg::CLoginDlg(std::string& strModelType, int& nInputs, int& nOutputs, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint),
      m_strModelType(strModelType),
      m_nInputs(nInputs),
      m_nOutputs(nOutputs) {
    setWindowTitle(QStringLiteral("Vantrel Matrix"));
    setModal(true);
    QFont dialogFont = font();
    dialogFont.setPointSize(10);
    setFont(dialogFont);
    setFixedSize(SystemFontUnits(0, 0, 256, 146).size());
    ApplyBackground(this, kWindowBackground);

    // Created in tab order, so "Enter" takes the initial focus.
    QPushButton* enter = AddControl<QPushButton>(this, kIdEnter, SystemFontUnits(115, 121, 50, 14),
                                                 QStringLiteral("Enter"));
    enter->setDefault(true);
    QPushButton* exitButton = AddControl<QPushButton>(
        this, kIdExit, SystemFontUnits(47, 121, 50, 14), QStringLiteral("Exit"));
    MakeLabel(this, kIdModelLabel, QStringLiteral("Model Name:"), Qt::AlignRight, 56, 26, 43, 8);
    MakeLabel(this, kIdInputLabel, QStringLiteral("Input:"), Qt::AlignRight, 56, 44, 43, 8);
    m_pInput = AddControl<QLineEdit>(this, kIdInput, SystemFontUnits(118, 40, 65, 12));
    m_pOutput = AddControl<QLineEdit>(this, kIdOutput, SystemFontUnits(118, 61, 65, 12));
    MakeLabel(this, kIdOutputLabel, QStringLiteral("Output:"), Qt::AlignRight, 56, 65, 43, 8);
    m_pPasswordLabel = MakeLabel(this, kIdPasswordLabel, QStringLiteral("Password:"),
                                 Qt::AlignRight, 64, 85, 35, 8);
    m_pPassword = AddControl<QLineEdit>(this, kIdPassword, SystemFontUnits(118, 83, 65, 12));
    m_pPassword->setEchoMode(QLineEdit::Password);
    m_pPasswordSetup =
        AddControl<QPushButton>(this, kIdPasswordSetup, SystemFontUnits(183, 121, 57, 14),
                                QStringLiteral("Password Setup"));
    m_pModelList = new QComboBox(this);
    SetControlId(m_pModelList, kIdModelList);
    m_pModelList->setEditable(true);
    m_pModelList->setEnabled(false);
    // The template's 69 units are the height with the list dropped; closed, the box is as
    // tall as its font needs.
    const QRect listPlace = SystemFontUnits(117, 22, 59, 0);
    m_pModelList->setGeometry(listPlace.x(), listPlace.y(), listPlace.width(),
                              m_pModelList->sizeHint().height());
    m_pError = MakeLabel(this, kIdError, QStringLiteral("Input Or Output Is Incorrect!"),
                         Qt::AlignLeft, 77, 106, 108, 8);

    if (HasPasswordFile()) {
        m_bPasswordRequired = true;
        m_pPasswordSetup->setText(QStringLiteral("Edit Password"));
    } else {
        m_bPasswordRequired = false;
        ShowPasswordRow(false);
    }

    int nType = 0;  // the stored type is always 3 and is not shown
    ReadLastLogin(nType, m_nInputs, m_nOutputs);
    m_pInput->setText(QString::number(m_nInputs));
    m_pOutput->setText(QString::number(m_nOutputs));

    for (int i = 0; i < static_cast<int>(std::size(kModelNames)); ++i) {
        m_pModelList->insertItem(i, QString::fromLatin1(kModelNames[i]));
    }
    m_pModelList->setCurrentIndex(kModelIndex);
    m_pError->hide();
    enter->setFocus();

    for (QLineEdit* edit : {m_pInput, m_pOutput, m_pPassword}) {
        edit->installEventFilter(this);
    }
    connect(enter, &QPushButton::clicked, this, &CLoginDlg::OnEnter);
    connect(exitButton, &QPushButton::clicked, this, &QDialog::reject);
    connect(m_pPasswordSetup, &QPushButton::clicked, this, &CLoginDlg::OnPasswordSetup);
}

int CLoginDlg::exec() {
    setWindowModality(Qt::ApplicationModal);
    setResult(0);
    QEventLoop loop;
    connect(this, &QDialog::finished, &loop, &QEventLoop::quit);
    QPointer<CLoginDlg> guard(this);
    show();
    loop.exec(QEventLoop::DialogExec);
    return guard ? result() : static_cast<int>(Rejected);
}

void CLoginDlg::OnEnter() {
    const int index = m_pModelList->currentIndex();
    m_strModelType = m_pModelList->itemText(index).toStdString();

    // The caller sees the typed counts even when they are refused below.
    m_nInputs = LeadingInt(m_pInput->text().toStdString());
    m_nOutputs = LeadingInt(m_pOutput->text().toStdString());
    if (m_nInputs <= 0 || m_nOutputs <= 0) {
        ShowError(kMsgNumberError);
        return;
    }
    if (m_bPasswordRequired) {
        m_strPassword = m_pPassword->text().toStdString();
        // A file that has gone since the start holds the empty password. One that is there
        // but cannot be read matches nothing: guessing it empty would let anyone in.
        std::string stored;
        const bool bKnown = ReadPassword(stored) || !HasPasswordFile();
        if (!bKnown || m_strPassword != stored) {
            ShowError(kMsgPasswordWrong);
            return;
        }
    }
    // The next start only misses a convenience if this fails; the login goes on.
    WriteLastLogin(index, m_nInputs, m_nOutputs);
    accept();
}

void CLoginDlg::OnPasswordSetup() {
    hide();
    CPasswordDlg dlg(m_bPasswordRequired, this);
    if (dlg.exec() == QDialog::Accepted) {
        m_bPasswordRequired = true;
        ShowPasswordRow(true);
    }
    show();
}

void CLoginDlg::ShowPasswordRow(bool bShow) {
    m_pPasswordLabel->setVisible(bShow);
    m_pPassword->setVisible(bShow);
}

void CLoginDlg::ShowError(const char* text) {
    m_pError->setText(QString::fromLatin1(text));
    m_pError->show();
}

bool CLoginDlg::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::FocusIn) {
        m_pError->hide();
    }
    return QDialog::eventFilter(watched, event);
}

void CLoginDlg::keyPressEvent(QKeyEvent* event) {
    // Escape must not end the login: without a session there is nothing to show.
    if (event->key() == Qt::Key_Escape) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}
