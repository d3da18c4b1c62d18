#include "app/Unit1.h"
#include "report/TfrxReport.h"
#include "tests/app/WindowFixture.h"
#include "tests/report/PdfText.h"
#include "tests/support/TestMain.h"

#include <QApplication>
#include <QDir>
#include <QTemporaryDir>
#include <QTest>

// The certificate as the main window holds it: loaded with the window,
// owned by it, printed through the window's printCertificate, into the
// --print-to folder when there is one.
class TestCertificateWindow : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void windowOwnsTheLoadedCertificate();
    void printToFolderReachesTheReport();
    void printerErrorReachesTheCaller();
};

void TestCertificateWindow::windowOwnsTheLoadedCertificate()
{
    WindowFixture fixture;
    TForm1 &window = fixture.start();
    QVERIFY(window.frReport1);
    QCOMPARE(window.frReport1->parent(), &window);
    QVERIFY(window.frReport1->IsLoaded());
    QCOMPARE(window.frReport1->Definition().name, QStringLiteral("Accuracy Certificate"));
    QCOMPARE(window.frReport1->Definition().printer, QStringLiteral("Default"));
    QVERIFY(window.frReport1->PrintToFolder().isEmpty());
    // Loading it adds nothing to the start-up log.
    for (const QString &line : fixture.log())
        QVERIFY2(!line.contains(QLatin1String("certificate")), qPrintable(line));
}

void TestCertificateWindow::printToFolderReachesTheReport()
{
    QTemporaryDir folder;
    ProgramOptions options;
    options.printTo = folder.path();
    WindowFixture fixture;
    TForm1 &window = fixture.start({}, options);
    QCOMPARE(window.frReport1->PrintToFolder(), folder.path());

    dialogue::WindowPort &port = window;
    port.printCertificate("123456789", "+0.00012345", "20240517");
    const QStringList files = QDir(folder.path()).entryList(QDir::Files);
    QCOMPARE(files.size(), 1);

    QString error;
    const PdfText page = PdfText::read(folder.filePath(files.first()), &error);
    QVERIFY2(error.isEmpty(), qPrintable(error));
    const PdfText::Line *serial =
        page.lineWith(QStringLiteral("Serial Number:"), 0, unitsToPoints(365));
    QVERIFY(serial);
    QCOMPARE(serial->text(unitsToPoints(365)), QStringLiteral("123456789"));
}

void TestCertificateWindow::printerErrorReachesTheCaller()
{
    WindowFixture fixture;
    dialogue::WindowPort &port = fixture.start();
    try {
        port.printCertificate("123456789", "+0.00012345", "20240517");
        QFAIL("printed without a printer");
    } catch (const report::ReportError &e) {
        QCOMPARE(e.message(), QStringLiteral("No default printer is set up"));
    }
}

int main(int argc, char *argv[])
{
    useOffscreenUnlessSet();
    // No CUPS server to reach: the host has no printer.
    qputenv("CUPS_SERVER", "/nonexistent/vemo-report-test/cups.sock");
    qunsetenv("PRINTER");
    qunsetenv("LPDEST");
    QApplication app(argc, argv);
    TestCertificateWindow test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_certificate_window.moc"
