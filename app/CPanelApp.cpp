#include "app/CPanelApp.h"

#include <QApplication>
#include <QPalette>

#include <cassert>

#include "app/CMainPanelDlg.h"
#include "platform/qt/DialogColours.h"

namespace {
CPanelApp* g_pApp = nullptr;
}  // namespace

CPanelApp::CPanelApp(PanelOptions options) : m_options(options) {
    assert(g_pApp == nullptr);
    g_pApp = this;
}

CPanelApp::~CPanelApp() {
    g_pApp = nullptr;
}

CPanelApp& CPanelApp::Instance() {
    assert(g_pApp != nullptr);
    return *g_pApp;
}

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
