// A report definition with its placeholders, and values for its variables
// as expressions: the input up to its first zero byte is the definition,
// each piece after one is the expression of the next variable. A definition
// that loads is prepared and drawn (on a small image), and its output file
// name made safe, as printing does.

#include "fuzz/FuzzInput.h"
#include "report/PageRenderer.h"
#include "report/ReportOutput.h"
#include "report/TfrxReport.h"

#include <QImage>
#include <QPainter>
#include <QTemporaryDir>

namespace {

QTemporaryDir *g_pictures = nullptr;

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzzGuiApplication();
    // The pictures a definition may name, in its folder.
    g_pictures = new QTemporaryDir;
    QImage logo(24, 12, QImage::Format_RGB32);
    logo.fill(Qt::darkBlue);
    logo.save(g_pictures->filePath(QStringLiteral("CertificateLogo.bmp")));
    logo.save(g_pictures->filePath(QStringLiteral("logo.png")));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzInput input(data, size);
    QList<QByteArray> pieces = input.restSplit('\0');
    const QByteArray definition = pieces.takeFirst();

    TfrxReport report;
    try {
        report.LoadFromText(definition, g_pictures->path());
    } catch (const report::ReportError &e) {
        FUZZ_CHECK(e.message().startsWith(QLatin1String("Bad report definition: ")),
                   e.message().toUtf8());
        return 0;
    }
    const QList<report::ReportVariable> variables = report.Definition().variables;
    for (int i = 0; i < variables.size() && i < pieces.size(); ++i)
        report.SetVariable(variables.at(i).name, QString::fromUtf8(pieces.at(i)));
    try {
        report.PrepareReport();
    } catch (const report::ReportError &e) {
        FUZZ_CHECK(!e.message().isEmpty(), QByteArray());
        return 0;
    }

    const QList<report::PreparedPage> &pages = report.PreparedPages();
    FUZZ_CHECK(pages.size() == 1, QByteArray::number(pages.size()));
    const report::PreparedPage &page = pages.first();
    const QRectF paper(QPointF(0, 0), page.size);
    for (const report::ReportObject &object : page.objects) {
        // A box that grows to its text stops at the paper's bottom.
        FUZZ_CHECK(paper.contains(object.bounds), object.name.toUtf8());
    }

    QImage image(48, 64, QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter painter(&image);
    painter.scale(image.width() / page.size.width(), image.height() / page.size.height());
    report::PageRenderer::drawPage(painter, page);
    painter.end();

    const QString name = report::ReportOutput::safeFileName(report.Definition().outputFileName);
    FUZZ_CHECK(!name.contains(QLatin1Char('/')) && !name.startsWith(QLatin1Char('.')),
               name.toUtf8());
    return 0;
}
