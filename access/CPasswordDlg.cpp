#include "access/CPasswordDlg.h"

#include <QEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QValidator>

#include <string>

#include "access/SettingsFiles.h"
#include "platform/qt/ControlId.h"
#include "platform/qt/DialogColours.h"
#include "platform/qt/DialogUnits.h"

namespace {

// Readers of the password file look at its first 16 bytes only, so a password whose UTF-8
// form is longer could be saved but never typed correctly again. Cap the bytes as well as
// the characters; for ASCII the two limits are the same.
class Utf8LengthValidator : public QValidator {
  public:
    Utf8LengthValidator(int nMaxBytes, QObject* parent)
        : QValidator(parent), m_nMaxBytes(nMaxBytes) {}

    State validate(QString& input, int& /*pos*/) const override {
        return input.toUtf8().size() <= m_nMaxBytes ? Acceptable : Invalid;
    }

  private:
    int m_nMaxBytes;
};

// Blank, tab and the characters 0x0A to 0x0D.
bool IsTrailingBlank(char c) {
    return c == ' ' || c == '\t' || (c >= '\x0a' && c <= '\x0d');
}

std::string WithoutTrailingBlanks(std::string text) {
    while (!text.empty() && IsTrailingBlank(text.back())) {
        text.pop_back();
    }
    return text;
}

QLabel* MakeLabel(QWidget* parent, int id, const QString& text, int x, int y, int w, int h) {
    auto* label = AddControl<QLabel>(parent, id, SystemFontUnits(x, y, w, h), text);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    return label;
}

QLineEdit* MakePasswordEdit(QWidget* parent, int id, int x, int y, int w, int h) {
    auto* edit = AddControl<QLineEdit>(parent, id, SystemFontUnits(x, y, w, h));
    edit->setEchoMode(QLineEdit::Password);
    return edit;
}

}  // namespace

CPasswordDlg::CPasswordDlg(bool bPasswordExists, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowCloseButtonHint),
      m_bPasswordExists(bPasswordExists) {
    setWindowTitle(QStringLiteral("Password Setup"));
    setModal(true);
    QFont dialogFont = font();
    dialogFont.setPointSize(10);
    setFont(dialogFont);
    setFixedSize(SystemFontUnits(0, 0, 187, 100).size());
    ApplyDialogColours(this);

    // Created in tab order: Save first (it takes the initial focus), the current-password
    // field last although it sits at the top.
    m_pSave = AddControl<QPushButton>(this, kIdSave, SystemFontUnits(122, 75, 50, 14),
                                      QStringLiteral("Save"));
    m_pSave->setDefault(true);
    QPushButton* cancel = AddControl<QPushButton>(this, kIdCancel, SystemFontUnits(62, 75, 50, 14),
                                                  QStringLiteral("Cancel"));
    MakeLabel(this, kIdNewLabel, QStringLiteral("Password:"), 47, 29, 35, 8);
    MakeLabel(this, kIdConfirmLabel, QStringLiteral("Confirm Password:"), 20, 46, 62, 8);
    m_pNewPassword = MakePasswordEdit(this, kIdNewPassword, 87, 27, 80, 12);
    m_pConfirmPassword = MakePasswordEdit(this, kIdConfirmPassword, 87, 44, 80, 12);
    m_pMessage = MakeLabel(this, kIdMessage, QString::fromUtf8("两次输入的密码不正确!请重新输入"),
                           32, 64, 128, 8);
    m_pMessage->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    m_pCurrentLabel =
        MakeLabel(this, kIdCurrentLabel, QStringLiteral("Current Password:"), 21, 12, 61, 8);
    m_pCurrentPassword = MakePasswordEdit(this, kIdCurrentPassword, 87, 10, 80, 12);

    m_pCurrentLabel->setVisible(m_bPasswordExists);
    m_pCurrentPassword->setVisible(m_bPasswordExists);
    for (QLineEdit* edit : {m_pNewPassword, m_pConfirmPassword}) {
        edit->setMaxLength(kMaxPasswordLength);
        edit->setValidator(new Utf8LengthValidator(kMaxPasswordLength, edit));
        edit->installEventFilter(this);
    }
    m_pMessage->hide();
    m_pSave->setFocus();

    connect(m_pSave, &QPushButton::clicked, this, &CPasswordDlg::OnSave);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
}

void CPasswordDlg::OnSave() {
    const std::string newPassword = m_pNewPassword->text().toStdString();
    const std::string confirmation = m_pConfirmPassword->text().toStdString();
    const std::string current = m_pCurrentPassword->text().toStdString();

    if (m_bPasswordExists && !CheckPassword(current)) {
        ShowMessage(QString::fromLatin1(kMsgCurrentWrong));
        return;
    }
    // Only the new password loses its trailing blanks for the comparison; what is saved is
    // the new password exactly as typed.
    if (WithoutTrailingBlanks(newPassword) != confirmation) {
        ShowMessage(QString::fromLatin1(kMsgMismatch));
        return;
    }
    if (!SavePassword(m_pNewPassword->text().toStdString())) {
        ShowMessage(QString::fromLatin1(kMsgSaveFailed));
        return;
    }
    accept();
}

void CPasswordDlg::ShowMessage(const QString& text) {
    m_pMessage->setText(text);
    m_pMessage->show();
}

bool CPasswordDlg::eventFilter(QObject* watched, QEvent* event) {
    // Typing into the new or the confirmation field again clears the last complaint; the
    // current-password field does not.
    if (event->type() == QEvent::FocusIn &&
        (watched == m_pNewPassword || watched == m_pConfirmPassword)) {
        m_pMessage->hide();
    }
    return QDialog::eventFilter(watched, event);
}
