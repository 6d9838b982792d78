// Writes the window's own icon, as the window draws it, into an icon theme
// folder for the desktop: DIR/NxN/apps/NAME.png for every size N given. The
// build runs it on Qt's offscreen platform.

#include "window/window_images.h"

#include <QDir>
#include <QGuiApplication>
#include <QPixmap>

#include <cstdio>

int main(int argc, char *argv[])
{
    QGuiApplication app(argc, argv);
    const QStringList arguments = QGuiApplication::arguments();
    if (arguments.size() < 4) {
        std::fputs("usage: corvanel-render-icons DIR NAME SIZE...\n", stderr);
        return 2;
    }
    const QString root = arguments[1];
    const QString name = arguments[2];
    for (const QString &sizeText : arguments.mid(3)) {
        bool ok = false;
        const int size = sizeText.toInt(&ok);
        if (!ok || size < 1 || size > 1024) {
            std::fprintf(stderr, "corvanel-render-icons: \"%s\" is no icon size from 1 to 1024\n",
                         qPrintable(sizeText));
            return 2;
        }
        const QString folder = QStringLiteral("%1/%2x%2/apps").arg(root).arg(size);
        const QString path = QStringLiteral("%1/%2.png").arg(folder, name);
        if (!QDir().mkpath(folder) || !corvanel::toolsIcon(size).save(path, "PNG")) {
            std::fprintf(stderr, "corvanel-render-icons: cannot write %s\n", qPrintable(path));
            return 1;
        }
    }
    return 0;
}
