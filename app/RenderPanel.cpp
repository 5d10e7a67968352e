// render_panel: draws the switching panel for any counts, between its two header strips as
// the main window stacks them, into a PNG file. Runs headless.
//
//   render_panel INPUTS OUTPUTS FILE.png [--press ID]... [--reply LINE]...
//
// Presses and reply lines are applied in the order given; each reply line gets its CR LF.
#include <QApplication>
#include <QPixmap>
#include <QWidget>

#include <cstdio>
#include <string>
#include <vector>

#include "app/CToolView.h"
#include "app/MainWindowLayout.h"
#include "panel/CStFunView.h"
#include "platform/LeadingInt.h"
#include "platform/qt/DialogColours.h"

namespace {

using namespace MainWindowLayout;

int Usage() {
    std::fprintf(stderr,
                 "usage: render_panel INPUTS OUTPUTS FILE.png [--press ID]... [--reply LINE]...\n");
    return 2;
}

struct Step {
    bool press;
    std::string value;
};

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication app(argc, argv);
    if (argc < 4) {
        return Usage();
    }
    const int inputs = LeadingInt(argv[1]);
    const int outputs = LeadingInt(argv[2]);
    const QString file = QString::fromLocal8Bit(argv[3]);
    if (inputs < 1 || outputs < 1) {
        std::fprintf(stderr, "render_panel: the counts must be at least 1\n");
        return 2;
    }
    std::vector<Step> steps;
    for (int a = 4; a < argc; a += 2) {
        const std::string option = argv[a];
        if (a + 1 >= argc || (option != "--press" && option != "--reply")) {
            return Usage();
        }
        steps.push_back({option == "--press", argv[a + 1]});
    }

    const int panelHeight = PanelHeight(inputs, outputs);
    QWidget window;
    window.setAutoFillBackground(true);
    QPalette palette = window.palette();
    palette.setColor(QPalette::Window, QColor(kWindowBackground));
    window.setPalette(palette);
    window.resize(kClientWidth, kStripHeight * 2 + kStripGap + panelHeight);

    new CToolView(QString::fromLatin1(kTitleCaption), QRect(0, 0, kClientWidth, kStripHeight),
                  &window, kIdTitleStrip);
    auto* panel = new CStFunView(inputs, outputs, QRect(0, kStripHeight, kClientWidth, panelHeight),
                                 &window, kIdPanel, {});
    new CToolView(QString(),
                  QRect(0, kStripHeight + panelHeight + kStripGap, kClientWidth, kStripHeight),
                  &window, kIdBottomStrip);
    window.show();

    for (const Step& step : steps) {
        if (step.press) {
            panel->OnCommand(LeadingInt(step.value));
        } else {
            panel->FeedReply(step.value + "\r\n");
        }
    }
    QApplication::processEvents();

    if (!window.grab().save(file, "PNG")) {
        std::fprintf(stderr, "render_panel: cannot write %s\n", argv[3]);
        return 1;
    }
    return 0;
}
