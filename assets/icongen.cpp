// Renders the program's SVG mark as the square PNGs icon themes and the window
// want, one per size, so that nothing needs SVG support at run time.
//
// Usage: icongen <drawing.svg> <output folder> <size>...
// writes <output folder>/<size>.png for every size.

#include <QDir>
#include <QImage>
#include <QPainter>
#include <QString>
#include <QSvgRenderer>

#include <cstdio>
#include <cstdlib>

int main(int argc, char* argv[])
{
    if (argc < 4) {
        std::fprintf(stderr, "usage: icongen <drawing.svg> <output folder> <size>...\n");
        return 2;
    }
    QSvgRenderer drawing(QString::fromLocal8Bit(argv[1]));
    if (!drawing.isValid()) {
        std::fprintf(stderr, "icongen: cannot read %s\n", argv[1]);
        return 1;
    }
    const QDir folder(QString::fromLocal8Bit(argv[2]));
    for (int k = 3; k < argc; ++k) {
        const int size = std::atoi(argv[k]);
        if (size <= 0) {
            std::fprintf(stderr, "icongen: bad size %s\n", argv[k]);
            return 2;
        }
        QImage icon(size, size, QImage::Format_ARGB32_Premultiplied);
        icon.fill(Qt::transparent);
        QPainter painter(&icon);
        drawing.render(&painter);
        painter.end();
        const QString file = folder.filePath(QStringLiteral("%1.png").arg(size));
        if (!icon.save(file, "PNG")) {
            std::fprintf(stderr, "icongen: cannot write %s\n", qPrintable(file));
            return 1;
        }
    }
    return 0;
}
