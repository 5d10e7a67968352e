#include "app/CPanelApp.h"

#include <QApplication>
#include <QPalette>

#include <utility>

#include "app/CMainPanelDlg.h"
#include "platform/qt/DialogColours.h"

CPanelApp::CPanelApp(PanelOptions options) : m_options(std::move(options)) {}

CPanelApp::~CPanelApp() = default;

int CPanelApp::Run() {
    // Dialogs are teal with black text unless they say otherwise; edits and lists keep their
    // own colours.
    QPalette palette = QApplication::palette();
    palette.setColor(QPalette::Window, QColor(kDialogBackground));
    palette.setColor(QPalette::WindowText, QColor(kDialogText));
    QApplication::setPalette(palette);

    CMainPanelDlg dlg(*this);
    return dlg.Run();
}
