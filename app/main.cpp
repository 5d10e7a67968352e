// matrixpanel: the control panel for audio/video matrix switchers.
#include <QApplication>

#include "app/CPanelApp.h"
#include "platform/qt/QtMessageBox.h"

int main(int argc, char** argv) {
    QApplication qtApp(argc, argv);
    QApplication::setApplicationName("matrixpanel");
    InstallQtMessageBox();
    CPanelApp app;
    app.Run();
    return 0;
}
