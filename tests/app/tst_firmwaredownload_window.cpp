#include "app/ProgramOptions.h"
#include "app/Unit1.h"
#include "tests/app/WindowFixture.h"
#include "tests/download/TestHttpServer.h"
#include "tests/support/TestMain.h"

#include <QFile>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBlock>
#include <QTextDocument>

// The firmware download in the real window over the simulated bus: the
// button, the server given by the program's option, the log, the bar and
// the file field.
class TestFirmwareDownloadWindow : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void download_data();
    void download();
    void failedDownloadOffersNothing();
};

namespace {

using usbio::Generation;

const QStringList kTransferLines{"Downloading Firmware from Internet...",
                                 "Try to connect...",
                                 "Connecting to 127.0.0.1.",
                                 "Connected.",
                                 "downloading firmware...",
                                 "finished",
                                 "Disconnecting.",
                                 "Disconnected."};

// The window's state as each line of the download reaches its log.
struct LogWatch
{
    QStringList lines;
    QList<bool> barShown;
    QList<int> barPosition;
    QList<QString> fileField;

    LogWatch(TForm1 &window)
    {
        QObject::connect(window.Message, &QPlainTextEdit::textChanged, window.Message,
                         [this, &window] {
                             lines << window.Message->document()->lastBlock().text();
                             barShown << window.ProgressBar1->isVisibleTo(&window);
                             barPosition << window.ProgressBar1->value();
                             fileField << window.FileNameE->text();
                         });
    }
};

} // namespace

void TestFirmwareDownloadWindow::initTestCase()
{
    for (const char *name :
         {"http_proxy", "https_proxy", "all_proxy", "HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY"})
        qunsetenv(name);
}

void TestFirmwareDownloadWindow::download_data()
{
    QTest::addColumn<QList<Generation>>("devices");
    QTest::addColumn<QString>("fileName");

    QTest::newRow("Vemo") << QList<Generation>{Generation::Vemo} << "vemo.exe";
    QTest::newRow("Vemo2") << QList<Generation>{Generation::Vemo2} << "vemo2.exe";
    QTest::newRow("Vemo3") << QList<Generation>{Generation::Vemo3} << "vemo3.exe";
    // The registry's device 0 decides, whichever device is in use.
    QTest::newRow("two generations: device 0")
        << QList<Generation>{Generation::Vemo3, Generation::Vemo} << "vemo3.exe";
}

void TestFirmwareDownloadWindow::download()
{
    QFETCH(QList<Generation>, devices);
    QFETCH(QString, fileName);

    TestHttpServer server;
    TestHttpServer::Reply reply;
    reply.size = 300000;
    reply.seed = 9;
    server.setReply(reply);
    QTemporaryDir temp;
    WindowFixture fixture;
    fixture.host().tempDir = temp.path();
    for (int i = 0; i < devices.size(); ++i)
        fixture.attach(devices.at(i), QByteArray::number(4711 + i).rightJustified(9, '0'));
    ProgramOptions options;
    options.firmwareServer = server.url();
    TForm1 &window = fixture.start({}, options);
    const int startLines = int(fixture.log().size());
    LogWatch watch(window);
    fixture.host().clearCalls();

    window.DownloadB->setEnabled(true);
    window.DownloadB->click();

    const QString target = temp.filePath(fileName);
    QCOMPARE(fixture.log().mid(startLines), kTransferLines);
    QCOMPARE(server.requests(),
             QStringList{QStringLiteral("GET /orvik/download/uC/%1 HTTP/1.1").arg(fileName)});
    QFile file(target);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), TestHttpServer::pattern(9, 300000));
    QCOMPARE(window.FileNameE->text(), target);
    QCOMPARE(window.Downloader, nullptr);

    // The field is empty while the work runs; the bar is shown for the
    // body, stands at 100 at its end, and is hidden again.
    QCOMPARE(watch.lines, kTransferLines);
    QCOMPARE(watch.fileField, QList<QString>(kTransferLines.size(), QString()));
    QCOMPARE(watch.barShown, QList<bool>({false, false, false, false, true, false, false, false}));
    QCOMPARE(watch.barPosition.at(4), 0);
    QCOMPARE(watch.barPosition.at(5), 100);
    QVERIFY(!window.ProgressBar1->isVisibleTo(&window));
    QCOMPARE(window.ProgressBar1->maximum(), 100);
    QCOMPARE(fixture.host().journal(), QStringList({"cursor busy", "cursor normal"}));
}

void TestFirmwareDownloadWindow::failedDownloadOffersNothing()
{
    TestHttpServer server;
    TestHttpServer::Reply reply;
    reply.status = 404;
    reply.reason = "Not Found";
    reply.size = 120;
    server.setReply(reply);
    QTemporaryDir temp;
    WindowFixture fixture;
    fixture.host().tempDir = temp.path();
    fixture.attach(Generation::Vemo2, "000004711");
    ProgramOptions options;
    options.firmwareServer = server.url();
    TForm1 &window = fixture.start({}, options);
    const int startLines = int(fixture.log().size());
    window.FileNameE->setText(QStringLiteral("/srv/firmware/vemo2.bin"));

    window.DownloadBClick(window.DownloadB);

    QCOMPARE(fixture.log().mid(startLines), kTransferLines);
    QCOMPARE(fixture.boxes(),
             QStringList{"Error downloading Firmware! Check your internet connection and try "
                         "again|Error downloading Firmware!|16"});
    QVERIFY(!QFile::exists(temp.filePath("vemo2.exe")));
    QCOMPARE(window.FileNameE->text(), QString());
    QCOMPARE(window.Downloader, nullptr);
}

VEMO_TEST_MAIN(TestFirmwareDownloadWindow)
#include "tst_firmwaredownload_window.moc"
