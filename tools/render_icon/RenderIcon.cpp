// render_icon: writes the program's icon as hicolor theme PNG files, painted by the same code
// that draws the window icon, so the menu and the window show one picture.
//
//   render_icon THEME_DIR NAME SIZE...   writes THEME_DIR/<SIZE>x<SIZE>/apps/NAME.png
#include <QDir>
#include <QGuiApplication>
#include <QImage>
#include <QString>

#include <cstdio>
#include <cstdlib>

#include "controls/ControlIcons.h"

namespace {

constexpr int kLargestSize = 1024;

int Usage() {
    std::fputs("Usage: render_icon THEME_DIR NAME SIZE...\n", stderr);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        return Usage();
    }
    // Runs during the build, where there is no display.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QGuiApplication app(argc, argv);
    const QString themeDir = QString::fromLocal8Bit(argv[1]);
    const QString name = QString::fromLocal8Bit(argv[2]);
    for (int i = 3; i < argc; ++i) {
        char* end = nullptr;
        const long size = std::strtol(argv[i], &end, 10);
        if (end == argv[i] || *end != '\0' || size < 1 || size > kLargestSize) {
            std::fprintf(stderr, "render_icon: bad size '%s'\n", argv[i]);
            return Usage();
        }
        const QString dir = QStringLiteral("%1/%2x%2/apps").arg(themeDir).arg(size);
        const QString file = dir + "/" + name + ".png";
        const QImage image = PaintIcon(kIconApplication, static_cast<int>(size));
        if (!QDir().mkpath(dir) || !image.save(file, "PNG")) {
            std::fprintf(stderr, "render_icon: cannot write %s\n", qPrintable(file));
            return 1;
        }
    }
    return 0;
}
