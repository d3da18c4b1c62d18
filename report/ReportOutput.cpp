#include "report/ReportOutput.h"

#include "report/PageRenderer.h"
#include "report/ReportError.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPageSize>
#include <QPdfWriter>
#include <QPrinter>
#include <QPrinterInfo>
#include <QTemporaryDir>
#include <QTemporaryFile>

#include <cups/cups.h>

namespace report {

const QString ReportOutput::DefaultPrinter = QStringLiteral("Default");

namespace {

constexpr int kMaxSameName = 999;

QPageSize paperOf(const PreparedPage &page)
{
    return QPageSize(page.paperSizeMm, QPageSize::Millimeter);
}

// Hands a finished print file to the CUPS queue; the printer's own Qt
// engine would drop the server's answer.
void submit(const QString &printer, const QString &file, const QString &title, const QString &media)
{
    const QByteArray queue = printer.section(QLatin1Char('/'), 0, 0).toLocal8Bit();
    const QByteArray path = QFile::encodeName(file);
    const QByteArray name = title.toUtf8();
    const QByteArray mediaName = media.toUtf8();

    cups_option_t *options = nullptr;
    int count = 0;
    if (!mediaName.isEmpty())
        count = cupsAddOption("media", mediaName.constData(), count, &options);
    count = cupsAddOption("sides", "one-sided", count, &options);
    const int job =
        cupsPrintFile(queue.constData(), path.constData(), name.constData(), count, options);
    cupsFreeOptions(count, options);
    if (job == 0)
        throw ReportError(QStringLiteral("The printer \"%1\" refused the report: %2")
                              .arg(printer, QString::fromUtf8(cupsLastErrorString())));
}

} // namespace

void ReportOutput::print(const QList<PreparedPage> &pages, const QString &printer,
                         const QString &title)
{
    if (pages.isEmpty())
        throw ReportError(QStringLiteral("The report has no pages"));
    const bool useDefault = printer == DefaultPrinter;
    const QPrinterInfo info =
        useDefault ? QPrinterInfo::defaultPrinter() : QPrinterInfo::printerInfo(printer);
    if (info.isNull())
        throw ReportError(useDefault
                              ? QStringLiteral("No default printer is set up")
                              : QStringLiteral("The printer \"%1\" is not set up").arg(printer));

    QTemporaryDir spool;
    if (!spool.isValid())
        throw ReportError(
            QStringLiteral("Cannot make a spool folder: %1").arg(spool.errorString()));
    // A name not ending in .pdf keeps the printer's own engine, which then
    // writes the job into this file instead of sending it.
    const QString spoolFile = spool.filePath(QStringLiteral("report.prn"));

    QPrinter device(info, QPrinter::HighResolution);
    if (!device.isValid())
        throw ReportError(
            QStringLiteral("The printer \"%1\" cannot be used").arg(info.printerName()));
    device.setDocName(title);
    device.setFullPage(true); // the painter's origin is the paper's corner
    device.setPageSize(paperOf(pages.first()));
    device.setPageOrientation(pages.first().orientation);
    device.setOutputFileName(spoolFile);
    PageRenderer::render(device, pages);
    if (!QFile::exists(spoolFile))
        throw ReportError(
            QStringLiteral("The printer \"%1\" did not take the report").arg(info.printerName()));
    submit(info.printerName(), spoolFile, title, device.pageLayout().pageSize().key());
}

QString ReportOutput::saveNewPdf(const QList<PreparedPage> &pages, const QString &folder,
                                 const QString &baseName, const QString &title)
{
    const QString stem = safeFileName(baseName) + QLatin1Char('-') +
                         QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
    // Written aside under a hidden name first and then given its own: a file
    // of a certificate's name is always whole, also when the program is
    // killed while it writes.
    QTemporaryFile file(
        QDir(folder).filePath(QLatin1Char('.') + stem + QStringLiteral("-XXXXXX.part")));
    if (!file.open())
        throw ReportError(
            QStringLiteral("Cannot write into \"%1\": %2").arg(folder, file.errorString()));
    writePdf(pages, file, title);
    if (!file.flush() || file.error() != QFileDevice::NoError)
        throw ReportError(
            QStringLiteral("Cannot write \"%1\": %2").arg(file.fileName(), file.errorString()));
    file.close();
    for (int n = 1; n <= kMaxSameName; ++n) {
        const QString name =
            stem + (n > 1 ? QStringLiteral("-%1").arg(n) : QString()) + QStringLiteral(".pdf");
        const QString path = QDir(folder).filePath(name);
        // Renaming never replaces a file that is there (another certificate
        // of the same second, of this program or another).
        QFile written(file.fileName());
        if (written.rename(path)) {
            file.setAutoRemove(false);
            return path;
        }
        if (!QFileInfo::exists(path))
            throw ReportError(
                QStringLiteral("Cannot write \"%1\": %2").arg(path, written.errorString()));
    }
    throw ReportError(QStringLiteral("Cannot write \"%1\": %2 files of that name exist already")
                          .arg(QDir(folder).filePath(stem + QStringLiteral(".pdf")))
                          .arg(kMaxSameName));
}

void ReportOutput::writePdf(const QList<PreparedPage> &pages, QIODevice &device,
                            const QString &title)
{
    if (pages.isEmpty())
        throw ReportError(QStringLiteral("The report has no pages"));
    QPdfWriter writer(&device);
    writer.setTitle(title);
    writer.setCreator(QStringLiteral("Vemo report engine"));
    writer.setPageLayout(
        QPageLayout(paperOf(pages.first()), pages.first().orientation, QMarginsF(0, 0, 0, 0)));
    PageRenderer::render(writer, pages);
}

QString ReportOutput::safeFileName(const QString &baseName)
{
    QString name;
    for (const QChar c : baseName) {
        const bool safe = (c >= QLatin1Char('a') && c <= QLatin1Char('z')) ||
                          (c >= QLatin1Char('A') && c <= QLatin1Char('Z')) ||
                          (c >= QLatin1Char('0') && c <= QLatin1Char('9')) ||
                          c == QLatin1Char('-') || c == QLatin1Char('_') || c == QLatin1Char('.');
        name += safe ? c : QLatin1Char('_');
    }
    // No hidden files and no dangling separators (an empty value leaves one).
    while (!name.isEmpty() && QStringLiteral("-_.").contains(name.front()))
        name.remove(0, 1);
    while (!name.isEmpty() && QStringLiteral("-_.").contains(name.back()))
        name.chop(1);
    return name.isEmpty() ? QStringLiteral("report") : name;
}

} // namespace report
