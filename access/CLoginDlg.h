#pragma once

#include <QDialog>

#include <string>

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;

// The first window of a run: the operator types the switcher's input and output counts and,
// once a password has been set, the password. Every Enter writes the typed counts straight
// into the caller's variables; an accepted Enter also stores the choice for the next start.
// Escape does nothing here; only "Exit" (or closing the window) leaves without a session.
class CLoginDlg : public QDialog {
    Q_OBJECT
  public:
    enum ControlIds : int {
        kIdEnter = 1,
        kIdExit = 2,
        kIdModelLabel = 1000,
        kIdInputLabel = 1002,
        kIdInput = 1003,
        kIdOutput = 1004,
        kIdOutputLabel = 1005,
        kIdPasswordLabel = 1006,
        kIdPassword = 1007,
        kIdPasswordSetup = 1008,
        kIdModelList = 1020,
        kIdError = 1021,
    };

    static constexpr int kModelIndex = 3;  // "HDMI matrix", the only type offered
    static constexpr const char* kMsgNumberError = "Input/Output Number Error!";
    static constexpr const char* kMsgPasswordWrong = "Password is wrong!";

    CLoginDlg(std::string& strModelType, int& nInputs, int& nOutputs, QWidget* parent = nullptr);

    // Runs the dialog modally. QDialog::exec() would end as soon as the dialog is hidden, and
    // the dialog hides itself while the password setup runs, so it keeps its own loop.
    int exec() override;

    void OnEnter();
    void OnPasswordSetup();

    bool PasswordRequired() const { return m_bPasswordRequired; }

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

  private:
    void ShowPasswordRow(bool bShow);
    void ShowError(const char* text);

    std::string& m_strModelType;
    int& m_nInputs;
    int& m_nOutputs;
    bool m_bPasswordRequired = false;
    std::string m_strPassword;  // as typed at the last Enter that reached the password check

    QComboBox* m_pModelList = nullptr;
    QLineEdit* m_pInput = nullptr;
    QLineEdit* m_pOutput = nullptr;
    QLineEdit* m_pPassword = nullptr;
    QLabel* m_pPasswordLabel = nullptr;
    QLabel* m_pError = nullptr;
    QPushButton* m_pPasswordSetup = nullptr;
};
