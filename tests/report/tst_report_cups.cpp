#include "dialogue/Certificate.h"
#include "report/TfrxReport.h"
#include "tests/report/CupsSandbox.h"
#include "tests/report/PdfText.h"
#include "tests/support/TestMain.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>

// One certificate through a real CUPS queue: a scheduler of the test's own
// with a cups-pdf queue as the default printer. The certificate goes the way
// of every calibration, through the default-printer path, and comes back as
// the PDF that cups-pdf made of the job.
class TestReportCups : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();

    void printsOnTheDefaultPrinter();
    void refusingQueueRaisesReportError();

private:
    // The PDFs that cups-pdf has finished.
    QStringList finishedPdfs() const;

    CupsSandbox FCups;
    QTemporaryDir FHome;
};

namespace {

constexpr int kPrintTimeoutMs = 90000;
const qreal kValuesFrom = unitsToPoints(365);

} // namespace

void TestReportCups::initTestCase()
{
    const QString reason = CupsSandbox::unavailableReason();
    if (!reason.isEmpty())
        QSKIP(qPrintable(QStringLiteral("no CUPS scheduler can run here: ") + reason));
    const QString error = FCups.start();
    QVERIFY2(error.isEmpty(), qPrintable(error));

    // This process prints through that server only, with no user settings.
    QVERIFY(FHome.isValid());
    qputenv("CUPS_SERVER", FCups.server().toLatin1());
    qputenv("HOME", QFile::encodeName(FHome.path()));
    qunsetenv("PRINTER");
    qunsetenv("LPDEST");
}

void TestReportCups::cleanupTestCase()
{
    FCups.stop();
}

QStringList TestReportCups::finishedPdfs() const
{
    QStringList done;
    const QDir folder(FCups.pdfFolder());
    for (const QString &name : folder.entryList({QStringLiteral("*.pdf")}, QDir::Files)) {
        QString error;
        // cups-pdf writes the file in place: it is done when it reads as a PDF.
        if (PdfText::info(folder.filePath(name), QStringLiteral("Pages"), &error) ==
            QLatin1String("1"))
            done << folder.filePath(name);
    }
    return done;
}

void TestReportCups::printsOnTheDefaultPrinter()
{
    TfrxReport report;
    dialogue::LoadCertificate(report);
    QCOMPARE(report.Definition().printer, QStringLiteral("Default"));
    QVERIFY(report.PrintToFolder().isEmpty());

    dialogue::PrintCertificate(report, "123456789", "+0.00012345", "20240517");
    QTRY_COMPARE_WITH_TIMEOUT(finishedPdfs().size(), 1, kPrintTimeoutMs);
    const QString pdf = finishedPdfs().first();
    // One certificate is one job.
    QString jobs;
    QVERIFY2(FCups.runTool(QStringLiteral("lpstat"),
                           {QStringLiteral("-W"), QStringLiteral("all"), QStringLiteral("-o"),
                            CupsSandbox::Queue},
                           &jobs),
             qPrintable(jobs));
    QCOMPARE(jobs.split(QLatin1Char('\n'), Qt::SkipEmptyParts).size(), 1);

    QString error;
    const PdfText page = PdfText::read(pdf, &error);
    QVERIFY2(error.isEmpty(), qPrintable(error));
    QVERIFY2(page.lineWith(QStringLiteral("Accuracy Certificate")), qPrintable(page.text()));
    const QList<QPair<QString, QString>> rows{
        {"Device:", "Vemo KW, Vemo KWD"},
        {"Serial Number:", "123456789"},
        {"Time reference:", "CS frequency standard"},
        {"Accuracy test:", QString::fromUtf8("24 hours at 25°C")},
        {"Deviation:", "+0.00012345"},
        {"Date:", "20240517"},
        {"Adjusted by:", QString(24, QLatin1Char('_'))},
    };
    for (const auto &row : rows) {
        const PdfText::Line *line = page.lineWith(row.first, 0, kValuesFrom);
        QVERIFY2(line, qPrintable(row.first + QLatin1Char('\n') + page.text()));
        QCOMPARE(line->text(kValuesFrom), row.second);
    }
    // The job carried the certificate's description as its title (which
    // cups-pdf writes in PostScript's brackets).
    const QString title = PdfText::info(pdf, QStringLiteral("Title"), &error);
    QVERIFY2(title.contains(QLatin1String("Orvik Vemo Acccuracy Certificate")), qPrintable(title));
}

void TestReportCups::refusingQueueRaisesReportError()
{
    const int before = finishedPdfs().size();
    QString output;
    QVERIFY2(FCups.runTool(QStringLiteral("cupsreject"), {CupsSandbox::Queue}, &output),
             qPrintable(output));

    TfrxReport report;
    dialogue::LoadCertificate(report);
    QString message;
    try {
        dialogue::PrintCertificate(report, "123456789", "+0.00012345", "20240517");
    } catch (const report::ReportError &e) {
        message = e.message();
    }
    QVERIFY2(message.startsWith(
                 QStringLiteral("The printer \"%1\" refused the report: ").arg(CupsSandbox::Queue)),
             qPrintable(message));
    QVERIFY2(message.contains(QLatin1String("not accepting")), qPrintable(message));

    QVERIFY2(FCups.runTool(QStringLiteral("cupsaccept"), {CupsSandbox::Queue}, &output),
             qPrintable(output));
    QCOMPARE(finishedPdfs().size(), before);
}

VEMO_TEST_MAIN(TestReportCups)
#include "tst_report_cups.moc"
