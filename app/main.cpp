// matrixpanel: the control panel for audio/video matrix switchers.
#include <QApplication>
#include <QIcon>

#include <cstdio>

#include "app/CPanelApp.h"
#include "app/CommandLine.h"
#include "controls/ControlIcons.h"
#include "platform/qt/QtMessageBox.h"

int main(int argc, char** argv) {
    // Before any window: --help and --version must work where no display is.
    QStringList arguments;
    for (int i = 0; i < argc; ++i) {
        arguments << QString::fromLocal8Bit(argv[i]);
    }
    const CommandLine line = ParseCommandLine(arguments);
    std::fputs(line.strOut.c_str(), stdout);
    std::fputs(line.strErr.c_str(), stderr);
    if (!line.bRun) {
        return line.nExitCode;
    }

    QApplication qtApp(argc, argv);
    QApplication::setApplicationName("matrixpanel");
    QApplication::setWindowIcon(QIcon(LoadIcon(kIconApplication)));
    InstallQtMessageBox();
    CPanelApp app(line.options);
    app.Run();
    return 0;
}
