#include "app/CAboutDlg.h"

#include <QLabel>
#include <QPushButton>

#include "platform/qt/ControlId.h"
#include "platform/qt/DialogColours.h"

namespace {
// Laid out in the main window's dialog units: 1.5 px each way.
QRect Units(int x, int y, int w, int h) {
    return QRect(x * 3 / 2, y * 3 / 2, w * 3 / 2, h * 3 / 2);
}
}  // namespace

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent) {
    setWindowTitle("About Quorix");
    setFixedSize(Units(0, 0, 235, 55).size());
    ApplyDialogColours(this);

    auto* version = new QLabel("Version 1.0", this);
    version->setGeometry(Units(40, 14, 119, 8));
    SetControlId(version, kIdVersion);

    auto* ok = new QPushButton("OK", this);
    ok->setGeometry(Units(178, 7, 50, 14));
    ok->setDefault(true);
    SetControlId(ok, kIdOk);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
}
