#pragma once

#include <QDialog>

#include "access/SettingsFiles.h"

class QLabel;
class QLineEdit;
class QPushButton;

// Sets or changes the stored password. With a password in place the current one must be
// typed first. Ends with Accepted only when a new password was saved; Cancel, Escape and the
// close box end it with Rejected and write nothing.
class CPasswordDlg : public QDialog {
    Q_OBJECT
  public:
    enum ControlIds : int {
        kIdSave = 1,
        kIdCancel = 2,
        kIdNewPassword = 1001,
        kIdConfirmPassword = 1002,
        kIdCurrentPassword = 1003,
        kIdNewLabel = 1006,
        kIdConfirmLabel = 1007,
        kIdCurrentLabel = 1008,
        kIdMessage = 1019,
    };

    // Characters, and bytes as stored: as much as a reader of the password file looks at.
    static constexpr int kMaxPasswordLength = static_cast<int>(kSettingsReadLimit);

    static constexpr const char* kMsgCurrentWrong = "Current Password Is Incorrect!";
    static constexpr const char* kMsgMismatch = "Incorrect Password! Please input again!";
    static constexpr const char* kMsgSaveFailed = "Password saved failed!";

    explicit CPasswordDlg(bool bPasswordExists, QWidget* parent = nullptr);

    // The Save button (and Return): checks, saves and closes, or shows why not.
    void OnSave();

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void ShowMessage(const QString& text);

    bool m_bPasswordExists;
    QPushButton* m_pSave = nullptr;
    QLineEdit* m_pNewPassword = nullptr;
    QLineEdit* m_pConfirmPassword = nullptr;
    QLineEdit* m_pCurrentPassword = nullptr;
    QLabel* m_pCurrentLabel = nullptr;
    QLabel* m_pMessage = nullptr;
};
