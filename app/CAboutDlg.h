#pragma once

#include <QDialog>

// The About box of the system menu: the program's version and an OK button.
class CAboutDlg : public QDialog {
    Q_OBJECT
  public:
    static constexpr int kIdVersion = 0xFFFF;  // a static text without an id of its own
    static constexpr int kIdOk = 1;

    explicit CAboutDlg(QWidget* parent = nullptr);
};
