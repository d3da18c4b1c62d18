#include "tests/report/PdfText.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QXmlStreamReader>

#include <algorithm>

namespace {

constexpr int kToolTimeoutMs = 60000;
// Words whose tops differ by less than this lie on one line.
constexpr qreal kSameLine = 1.0;

QByteArray run(const QString &tool, const QStringList &arguments, QString *error)
{
    QProcess process;
    process.start(tool, arguments);
    if (!process.waitForStarted(kToolTimeoutMs)) {
        *error = QStringLiteral("%1 did not start (package poppler-utils): %2")
                     .arg(tool, process.errorString());
        return QByteArray();
    }
    if (!process.waitForFinished(kToolTimeoutMs)) {
        process.kill();
        process.waitForFinished();
        *error = QStringLiteral("%1 did not finish").arg(tool);
        return QByteArray();
    }
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        *error = QStringLiteral("%1 failed: %2")
                     .arg(tool, QString::fromLocal8Bit(process.readAllStandardError()));
        return QByteArray();
    }
    error->clear();
    return process.readAllStandardOutput();
}

} // namespace

QString PdfText::Line::text(qreal fromX, qreal toX) const
{
    QStringList parts;
    for (const Word &word : words) {
        if (word.box.left() >= fromX && word.box.left() < toX)
            parts << word.text;
    }
    return parts.join(QLatin1Char(' '));
}

const PdfText::Word *PdfText::Line::first(qreal fromX, qreal toX) const
{
    for (const Word &word : words) {
        if (word.box.left() >= fromX && word.box.left() < toX)
            return &word;
    }
    return nullptr;
}

PdfText PdfText::read(const QString &pdfFile, QString *error)
{
    PdfText page;
    const QByteArray html =
        run(QStringLiteral("pdftotext"),
            {QStringLiteral("-bbox"), QStringLiteral("-f"), QStringLiteral("1"),
             QStringLiteral("-l"), QStringLiteral("1"), pdfFile, QStringLiteral("-")},
            error);
    if (!error->isEmpty())
        return page;

    QXmlStreamReader xml(html);
    while (!xml.atEnd()) {
        if (xml.readNext() != QXmlStreamReader::StartElement || xml.name() != QLatin1String("word"))
            continue;
        const auto a = xml.attributes();
        const qreal x0 = a.value(QLatin1String("xMin")).toDouble();
        const qreal y0 = a.value(QLatin1String("yMin")).toDouble();
        const qreal x1 = a.value(QLatin1String("xMax")).toDouble();
        const qreal y1 = a.value(QLatin1String("yMax")).toDouble();
        page.words << Word{xml.readElementText(), QRectF(QPointF(x0, y0), QPointF(x1, y1))};
    }
    if (xml.hasError()) {
        *error = QStringLiteral("pdftotext gave no readable word list: %1").arg(xml.errorString());
        return page;
    }

    QList<Word> sorted = page.words;
    std::stable_sort(sorted.begin(), sorted.end(),
                     [](const Word &a, const Word &b) { return a.box.top() < b.box.top(); });
    for (const Word &word : sorted) {
        if (page.lines.isEmpty() || word.box.top() - page.lines.last().top >= kSameLine)
            page.lines << Line{word.box.top(), {}};
        page.lines.last().words << word;
    }
    for (Line &line : page.lines)
        std::sort(line.words.begin(), line.words.end(),
                  [](const Word &a, const Word &b) { return a.box.left() < b.box.left(); });
    return page;
}

QImage PdfText::render(const QString &pdfFile, int dpi, QString *error)
{
    QTemporaryDir dir;
    const QString stem = dir.filePath(QStringLiteral("page"));
    run(QStringLiteral("pdftoppm"),
        {QStringLiteral("-png"), QStringLiteral("-r"), QString::number(dpi),
         QStringLiteral("-singlefile"), QStringLiteral("-f"), QStringLiteral("1"),
         QStringLiteral("-l"), QStringLiteral("1"), pdfFile, stem},
        error);
    if (!error->isEmpty())
        return QImage();
    QImage image(stem + QStringLiteral(".png"));
    if (image.isNull())
        *error = QStringLiteral("pdftoppm wrote no readable picture");
    return image.convertToFormat(QImage::Format_RGB32);
}

QString PdfText::info(const QString &pdfFile, const QString &field, QString *error)
{
    const QByteArray out = run(QStringLiteral("pdfinfo"), {pdfFile}, error);
    const QString prefix = field + QLatin1Char(':');
    for (const QString &line : QString::fromUtf8(out).split(QLatin1Char('\n'))) {
        if (line.startsWith(prefix))
            return line.mid(prefix.size()).trimmed();
    }
    return QString();
}

QString PdfText::text() const
{
    QStringList all;
    for (const Line &line : lines)
        all << line.text();
    return all.join(QLatin1Char('\n'));
}

const PdfText::Line *PdfText::lineWith(const QString &text, qreal fromX, qreal toX) const
{
    for (const Line &line : lines) {
        if (line.text(fromX, toX) == text)
            return &line;
    }
    return nullptr;
}
