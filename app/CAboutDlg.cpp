#include "app/CAboutDlg.h"

#include <QLabel>
#include <QPushButton>

#include "app/Version.h"
#include "platform/qt/DialogColours.h"
#include "platform/qt/DialogUnits.h"

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent) {
    setWindowTitle("About Quorix");
    setFixedSize(SmallFontUnits(0, 0, 235, 55).size());
    ApplyDialogColours(this);
    AddControl<QLabel>(this, kIdVersion, SmallFontUnits(40, 14, 119, 8),
                       QStringLiteral("Version ") + QString::fromLatin1(kProgramVersion));
    auto* ok = AddControl<QPushButton>(this, kIdOk, SmallFontUnits(178, 7, 50, 14), "OK");
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
}
