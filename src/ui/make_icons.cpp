// Writes the application's icons for installation: <out>/scalable.svg and
// <out>/<size>.png for each size given after the folder.
#include "ui/app_icon.h"

#include <QDir>
#include <QFile>

#include <cstdio>

int main(int argc, char *argv[])
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: make_icons <folder> [size...]\n");
        return 2;
    }
    const QString folder = QString::fromLocal8Bit(argv[1]);
    if (!QDir().mkpath(folder)) {
        std::fprintf(stderr, "make_icons: cannot create %s\n", argv[1]);
        return 1;
    }
    QFile svg(folder + QStringLiteral("/scalable.svg"));
    if (!svg.open(QIODevice::WriteOnly) || svg.write(app_icon::svg()) < 0) {
        std::fprintf(stderr, "make_icons: cannot write %s\n", qPrintable(svg.fileName()));
        return 1;
    }
    for (int i = 2; i < argc; ++i) {
        const int size = QByteArray(argv[i]).toInt();
        const QString path = folder + QStringLiteral("/%1.png").arg(size);
        if (size <= 0 || !app_icon::image(size).save(path)) {
            std::fprintf(stderr, "make_icons: cannot write %s\n", qPrintable(path));
            return 1;
        }
    }
    return 0;
}
