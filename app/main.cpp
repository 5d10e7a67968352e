// matrixpanel: the control panel for audio/video matrix switchers.
#include <QApplication>
#include <QIcon>

#include "app/CPanelApp.h"
#include "controls/ControlIcons.h"
#include "platform/qt/QtMessageBox.h"

int main(int argc, char** argv) {
    QApplication qtApp(argc, argv);
    QApplication::setApplicationName("matrixpanel");
    QApplication::setWindowIcon(QIcon(LoadIcon(kIconApplication)));
    InstallQtMessageBox();
    CPanelApp app;
    app.Run();
    return 0;
}
