// Makes the desktop icons of the hicolor theme from the window's own icon
// (app/icon.png, a 32 x 32 picture drawn by app/make_icon.py), one PNG per
// size:
//
//     make_hicolor_icons ICON.png OUTPUT-FOLDER SIZE...   ->  OUTPUT-FOLDER/SIZE.png
//
// The picture is pixel art, so it is enlarged pixel by pixel and never
// blurred: a size that is a multiple of 32 is a plain enlargement; any other
// size is an enlargement to the first multiple of both, then averaged down
// in whole blocks (16 px: 2 x 2 pixels each, 48 px: 96 then 2 x 2). The
// tile's surroundings (the colour at its corners, reached from them) become
// transparent, as desktop icons are.

#include <QColor>
#include <QDir>
#include <QImage>
#include <QList>
#include <QPoint>
#include <QStringList>

#include <cstdio>
#include <numeric>

namespace {

// The pixels of the corners' colour that can be reached from a corner
// become transparent; every other pixel stays opaque.
QImage clearSurroundings(const QImage &icon)
{
    QImage image = icon.convertToFormat(QImage::Format_ARGB32);
    const QRgb background = image.pixel(0, 0);
    QList<QPoint> todo{{0, 0},
                       {image.width() - 1, 0},
                       {0, image.height() - 1},
                       {image.width() - 1, image.height() - 1}};
    while (!todo.isEmpty()) {
        const QPoint p = todo.takeLast();
        if (!image.rect().contains(p) || image.pixel(p) != background)
            continue;
        image.setPixel(p, qRgba(0, 0, 0, 0));
        todo << QPoint(p.x() + 1, p.y()) << QPoint(p.x() - 1, p.y()) << QPoint(p.x(), p.y() + 1)
             << QPoint(p.x(), p.y() - 1);
    }
    return image;
}

// Each pixel of image becomes a block of factor x factor.
QImage enlarge(const QImage &image, int factor)
{
    QImage large(image.width() * factor, image.height() * factor, QImage::Format_ARGB32);
    for (int y = 0; y < large.height(); ++y)
        for (int x = 0; x < large.width(); ++x)
            large.setPixel(x, y, image.pixel(x / factor, y / factor));
    return large;
}

// Each block of factor x factor pixels becomes their average, weighted by
// how opaque each is, so a transparent pixel lends no colour to its block.
QImage reduce(const QImage &image, int factor)
{
    QImage small(image.width() / factor, image.height() / factor, QImage::Format_ARGB32);
    const int count = factor * factor;
    for (int y = 0; y < small.height(); ++y) {
        for (int x = 0; x < small.width(); ++x) {
            long red = 0, green = 0, blue = 0, alpha = 0;
            for (int dy = 0; dy < factor; ++dy) {
                for (int dx = 0; dx < factor; ++dx) {
                    const QRgb p = image.pixel(x * factor + dx, y * factor + dy);
                    red += qRed(p) * qAlpha(p);
                    green += qGreen(p) * qAlpha(p);
                    blue += qBlue(p) * qAlpha(p);
                    alpha += qAlpha(p);
                }
            }
            if (alpha == 0) {
                small.setPixel(x, y, qRgba(0, 0, 0, 0));
                continue;
            }
            const auto channel = [alpha](long sum) { return int((sum + alpha / 2) / alpha); };
            small.setPixel(x, y,
                           qRgba(channel(red), channel(green), channel(blue),
                                 int((alpha + count / 2) / count)));
        }
    }
    return small;
}

QImage resized(const QImage &icon, int size)
{
    const int common = std::lcm(icon.width(), size);
    return reduce(enlarge(icon, common / icon.width()), common / size);
}

int fail(const QString &message)
{
    std::fprintf(stderr, "make_hicolor_icons: %s\n", qPrintable(message));
    return 1;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc < 4)
        return fail(QStringLiteral("usage: make_hicolor_icons ICON.png OUTPUT-FOLDER SIZE..."));
    const QString source = QString::fromLocal8Bit(argv[1]);
    const QImage icon(source);
    if (icon.isNull() || icon.width() != icon.height())
        return fail(QStringLiteral("%1 is no square picture").arg(source));
    const QImage clear = clearSurroundings(icon);

    const QDir folder(QString::fromLocal8Bit(argv[2]));
    if (!folder.mkpath(QStringLiteral(".")))
        return fail(QStringLiteral("cannot make %1").arg(folder.path()));
    for (int i = 3; i < argc; ++i) {
        bool ok = false;
        const int size = QString::fromLocal8Bit(argv[i]).toInt(&ok);
        if (!ok || size < 1 || size > 1024)
            return fail(QStringLiteral("bad size %1").arg(QString::fromLocal8Bit(argv[i])));
        const QString file = folder.filePath(QStringLiteral("%1.png").arg(size));
        if (!resized(clear, size).save(file, "PNG"))
            return fail(QStringLiteral("cannot write %1").arg(file));
    }
    return 0;
}
