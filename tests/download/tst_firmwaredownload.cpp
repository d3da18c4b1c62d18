#include "download/FirmwareDownload.h"
#include "registry/KeyStore.h"
#include "tests/download/TestHttpServer.h"
#include "tests/support/FakeWindowPort.h"
#include "tests/support/ScopedHost.h"
#include "tests/support/TempKeyStore.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <stdexcept>

Q_DECLARE_METATYPE(TestHttpServer::Reply)

// The firmware download through a window that adds nothing: which
// installer is fetched from where, the log and the bar as the transfer
// goes, what is left behind after each kind of failure.
class TestFirmwareDownload : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();

    void normalDownload_data();
    void normalDownload();
    void namedDeviceAmongOthersDecidesTheGeneration_data();
    void namedDeviceAmongOthersDecidesTheGeneration();
    void serverAddressForms_data();
    void serverAddressForms();
    void secondDownloadReplacesFile();
    void noUsableLength_data();
    void noUsableLength();
    void slowBodyMovesTheBar();
    void bodyOverOverflowLimit();
    void failedGet_data();
    void failedGet();
    void oldFileNotDeleted_data();
    void oldFileNotDeleted();
    void noDeviceRecorded_data();
    void noDeviceRecorded();
    void clientCannotBeCreated();
    void targetCannotBeCreated_data();
    void targetCannotBeCreated();
    void pathTooLong_data();
    void pathTooLong();
};

namespace {

using download::FirmwareDownload;

const QString kServiceEnum = QStringLiteral("SYSTEM\\CurrentControlSet\\Services\\VemoUSB\\Enum");
const QString kVemo = QStringLiteral("USB\\VID_5E1A&PID_0889\\5&1A2B3C&0&1");
const QString kVemo2 = QStringLiteral("USB\\VID_5E1A&PID_088A\\5&1A2B3C&0&2");
const QString kVemo3 = QStringLiteral("USB\\VID_5E1A&PID_088B\\5&1A2B3C&0&3");

const QString kFirstLine = QStringLiteral("Downloading Firmware from Internet...");
const QString kFailedBox = QStringLiteral(
    "Error downloading Firmware! Check your internet connection and try again|Error downloading "
    "Firmware!|16");

// The lines of a transfer from the test server's address.
QStringList transferLines(const QStringList &connected = {"downloading firmware...", "finished"})
{
    return QStringList{kFirstLine, "Try to connect...", "Connecting to 127.0.0.1.", "Connected."} +
           connected + QStringList{"Disconnecting.", "Disconnected."};
}

TestHttpServer::Reply reply(int status, const QByteArray &reason, qint64 size, quint32 seed = 1)
{
    TestHttpServer::Reply r;
    r.status = status;
    r.reason = reason;
    r.size = size;
    r.seed = seed;
    return r;
}

// A host, a registry, a temporary folder, the server and the window of one
// download.
struct Rig
{
    ScopedHost host;
    TempKeyStore store;
    QTemporaryDir temp;
    TestHttpServer server;
    FakeWindowPort window;
    TIdHTTP *downloader = nullptr;
    bool deviceNamed = false;

    Rig() { fake().tempDir = temp.path(); }

    FakeHostServices &fake() { return host.fake(); }

    // Device 0 as the driver service lists it.
    void recordDevice(const QString &instancePath)
    {
        store->writeString(registry::RootKey::LocalMachine, kServiceEnum, QStringLiteral("0"),
                           instancePath);
    }

    QString target(const QString &fileName) const { return temp.filePath(fileName); }

    void download(const QString &serverAddress = QString(),
                  FirmwareDownload::ClientFactory createClient = {})
    {
        FirmwareDownload download(window, downloader,
                                  serverAddress.isEmpty() ? server.url() : serverAddress,
                                  std::move(createClient));
        download.DeviceNamed = deviceNamed;
        download.DownloadBClick();
    }

    QStringList boxes()
    {
        QStringList result;
        for (const FakeHostServices::Call &box : host.fake().boxes())
            result << QStringLiteral("%1|%2|%3").arg(box.text, box.caption).arg(box.flags);
        return result;
    }

    // The operation ended as every operation ends.
    void verifyEnded()
    {
        const QStringList journal = fake().journal();
        QCOMPARE(journal.value(0), QStringLiteral("cursor busy"));
        QCOMPARE(journal.last(), QStringLiteral("cursor normal"));
        QVERIFY(!fake().busyCursor());
        QCOMPARE(downloader, nullptr);
        QVERIFY(!window.progressVisible);
        // The field was emptied and shown so before the work started.
        QCOMPARE(window.fileRepaints, QStringList{QString()});
    }

    // Nothing of the download is left in the temporary folder.
    QStringList leftInTemp() const
    {
        return QDir(temp.path()).entryList(QDir::Files | QDir::System | QDir::Hidden);
    }
};

QByteArray contentOf(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

void writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(content);
}

// The bar rises from 0 to 100 and is shown at every repaint.
void verifyProgress(const FakeWindowPort &window)
{
    const QList<int> &positions = window.progressRepaints;
    QCOMPARE(window.progressMaximum, 100);
    QVERIFY(!positions.isEmpty());
    QCOMPARE(positions.first(), 0);
    QCOMPARE(positions.last(), 100);
    QVERIFY2(std::is_sorted(positions.begin(), positions.end()), "the bar only moves forward");
    QVERIFY(!window.visibleAtRepaint.contains(false));
}

} // namespace

void TestFirmwareDownload::initTestCase()
{
    for (const char *name :
         {"http_proxy", "https_proxy", "all_proxy", "HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY"})
        qunsetenv(name);
}

void TestFirmwareDownload::normalDownload_data()
{
    QTest::addColumn<QString>("device");
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<QString>("request");

    QTest::newRow("Vemo3") << kVemo3 << "vemo3.exe"
                           << "GET /orvik/download/uC/vemo3.exe HTTP/1.1";
    QTest::newRow("Vemo2") << kVemo2 << "vemo2.exe"
                           << "GET /orvik/download/uC/vemo2.exe HTTP/1.1";
    QTest::newRow("Vemo") << kVemo << "vemo.exe"
                          << "GET /orvik/download/uC/vemo.exe HTTP/1.1";
}

void TestFirmwareDownload::normalDownload()
{
    QFETCH(QString, device);
    QFETCH(QString, fileName);
    QFETCH(QString, request);

    Rig rig;
    rig.recordDevice(device);
    rig.server.setReply(reply(200, "OK", 150000, 7));
    // The window's client is there while it works.
    TIdHTTP *during = nullptr;
    rig.window.onLog = [&](const QString &line) {
        if (line == QLatin1String("Connected."))
            during = rig.downloader;
    };

    rig.download();

    QCOMPARE(rig.window.lines, transferLines());
    QCOMPARE(rig.server.requests(), QStringList{request});
    QCOMPARE(contentOf(rig.target(fileName)), TestHttpServer::pattern(7, 150000));
    QCOMPARE(rig.window.fileText, rig.target(fileName));
    QVERIFY(rig.boxes().isEmpty());
    QVERIFY(during != nullptr);
    verifyProgress(rig.window);
    rig.verifyEnded();
}

void TestFirmwareDownload::namedDeviceAmongOthersDecidesTheGeneration_data()
{
    QTest::addColumn<QString>("named");
    QTest::addColumn<int>("selected");
    QTest::addColumn<QString>("request");

    // Device 0 decides, as ever, without a device named.
    QTest::newRow("none named") << QString() << 1 << "GET /orvik/download/uC/vemo2.exe HTTP/1.1";
    // A run told its device fetches for that one (the one selected).
    QTest::newRow("the second named")
        << "V30000017" << 1 << "GET /orvik/download/uC/vemo3.exe HTTP/1.1";
    QTest::newRow("the first named") << "1-1" << 0 << "GET /orvik/download/uC/vemo2.exe HTTP/1.1";
}

void TestFirmwareDownload::namedDeviceAmongOthersDecidesTheGeneration()
{
    QFETCH(QString, named);
    QFETCH(int, selected);
    QFETCH(QString, request);

    Rig rig;
    rig.recordDevice(kVemo2);
    rig.store->writeString(registry::RootKey::LocalMachine, kServiceEnum, QStringLiteral("1"),
                           kVemo3);
    rig.deviceNamed = !named.isEmpty();
    rig.window.selectedItem = selected;
    rig.server.setReply(reply(200, "OK", 1000, 7));
    rig.download();
    QCOMPARE(rig.server.requests(), QStringList{request});
}

void TestFirmwareDownload::serverAddressForms_data()
{
    QTest::addColumn<QString>("server"); // PORT: the test server's
    QTest::addColumn<QString>("firstClientLine");

    QTest::newRow("address") << "http://127.0.0.1:PORT"
                             << "Connecting to 127.0.0.1.";
    QTest::newRow("ending in a slash") << "http://127.0.0.1:PORT/"
                                       << "Connecting to 127.0.0.1.";
    QTest::newRow("name") << "http://localhost:PORT"
                          << "Resolving hostname localhost.";
}

void TestFirmwareDownload::serverAddressForms()
{
    QFETCH(QString, server);
    QFETCH(QString, firstClientLine);

    Rig rig;
    rig.recordDevice(kVemo2);
    rig.server.setReply(reply(200, "OK", 1000));
    rig.download(
        QString(server).replace(QLatin1String("PORT"), QString::number(rig.server.port())));

    QCOMPARE(rig.server.requests(), QStringList{"GET /orvik/download/uC/vemo2.exe HTTP/1.1"});
    QCOMPARE(rig.window.lines.mid(0, 3),
             QStringList({kFirstLine, "Try to connect...", firstClientLine}));
    QCOMPARE(rig.window.fileText, rig.target("vemo2.exe"));
}

void TestFirmwareDownload::secondDownloadReplacesFile()
{
    Rig rig;
    rig.recordDevice(kVemo3);
    rig.server.setReply(reply(200, "OK", 90000, 1));
    rig.download();
    rig.server.setReply(reply(200, "OK", 40000, 2));
    rig.download();

    QCOMPARE(contentOf(rig.target("vemo3.exe")), TestHttpServer::pattern(2, 40000));
    QCOMPARE(rig.fake().callsOf(FakeHostServices::Call::Delete).size(), 1);
    QCOMPARE(rig.fake().callsOf(FakeHostServices::Call::Delete).first().text,
             rig.target("vemo3.exe"));
    QCOMPARE(rig.window.fileText, rig.target("vemo3.exe"));
}

void TestFirmwareDownload::noUsableLength_data()
{
    QTest::addColumn<TestHttpServer::Reply>("serverReply");

    TestHttpServer::Reply noLength = reply(200, "OK", 30000, 3);
    noLength.announceLength = false;
    QTest::newRow("no length announced") << noLength;
    QTest::newRow("length 0") << reply(200, "OK", 0);
}

void TestFirmwareDownload::noUsableLength()
{
    QFETCH(TestHttpServer::Reply, serverReply);

    Rig rig;
    rig.recordDevice(kVemo2);
    rig.server.setReply(serverReply);
    QStringList linesAtBox;
    rig.fake().onBox = [&](const FakeHostServices::Call &) { linesAtBox = rig.window.lines; };

    rig.download();

    // The box comes as the headers are in, before the body; the body is
    // still written and offered.
    QCOMPARE(rig.boxes(), QStringList{"Error downloading File!|Error|16"});
    QCOMPARE(linesAtBox.last(), QStringLiteral("Connected."));
    QCOMPARE(rig.window.lines, transferLines());
    QCOMPARE(contentOf(rig.target("vemo2.exe")),
             TestHttpServer::pattern(serverReply.seed, serverReply.size));
    QCOMPARE(rig.window.fileText, rig.target("vemo2.exe"));
    // Without a length the bar stays at its start.
    QCOMPARE(rig.window.progressRepaints, QList<int>{0});
    rig.verifyEnded();
}

void TestFirmwareDownload::slowBodyMovesTheBar()
{
    Rig rig;
    rig.recordDevice(kVemo);
    TestHttpServer::Reply slow = reply(200, "OK", 20000, 5);
    slow.chunkSize = 2000;
    slow.chunkDelayMs = 30;
    rig.server.setReply(slow);

    rig.download();

    // Each piece moves the bar as it arrives, and the bar is shown at once.
    verifyProgress(rig.window);
    QList<int> steps = rig.window.progressRepaints;
    steps.erase(std::unique(steps.begin(), steps.end()), steps.end());
    QVERIFY2(steps.size() >= 5, qPrintable(QString::number(steps.size())));
    for (int position : steps)
        QCOMPARE(position % 10, 0);
    QCOMPARE(contentOf(rig.target("vemo.exe")), TestHttpServer::pattern(5, 20000));
}

void TestFirmwareDownload::bodyOverOverflowLimit()
{
    // count * 100 leaves 32 bits from 21 474 837 bytes on.
    constexpr qint64 size = 25000000;
    Rig rig;
    rig.recordDevice(kVemo3);
    rig.server.setReply(reply(200, "OK", size, 11));

    rig.download();

    QCOMPARE(rig.window.lines, transferLines());
    verifyProgress(rig.window);
    QList<int> steps = rig.window.progressRepaints;
    steps.erase(std::unique(steps.begin(), steps.end()), steps.end());
    QList<int> every;
    for (int i = 0; i <= 100; ++i)
        every << i;
    QCOMPARE(steps, every);

    QFile file(rig.target("vemo3.exe"));
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.size(), size);
    qint64 at = 0;
    while (!file.atEnd()) {
        const QByteArray block = file.read(1 << 20);
        for (qint64 i = 0; i < block.size(); ++i) {
            if (block.at(i) != TestHttpServer::patternByte(11, at + i))
                QFAIL(qPrintable(QStringLiteral("byte %1 differs").arg(at + i)));
        }
        at += block.size();
    }
    QCOMPARE(rig.window.fileText, rig.target("vemo3.exe"));
}

void TestFirmwareDownload::failedGet_data()
{
    QTest::addColumn<QString>("server"); // SERVER / REFUSED: the test's
    QTest::addColumn<TestHttpServer::Reply>("serverReply");
    QTest::addColumn<bool>("oldFile");
    QTest::addColumn<QStringList>("lines");

    TestHttpServer::Reply cut = reply(200, "OK", 200000);
    cut.cutAfter = 50000;
    const TestHttpServer::Reply none;

    QTest::newRow("404") << "SERVER" << reply(404, "Not Found", 300) << false << transferLines();
    QTest::newRow("500 over an old file")
        << "SERVER" << reply(500, "Internal Server Error", 200) << true << transferLines();
    QTest::newRow("body cut short") << "SERVER" << cut << false << transferLines();
    TestHttpServer::Reply headOnly;
    headOnly.raw = "HTTP/1.1 200 OK\r\n";
    QTest::newRow("cut after the status line")
        << "SERVER" << headOnly << false << transferLines({});
    TestHttpServer::Reply cutHead;
    cutHead.raw = "HTTP/1.1 200 OK\r\nContent-Le";
    QTest::newRow("cut inside the headers over an old file")
        << "SERVER" << cutHead << true << transferLines({});
    TestHttpServer::Reply twoLengths;
    twoLengths.raw = "HTTP/1.1 200 OK\r\nContent-Length: 3\r\nContent-Length: 4\r\n\r\nabcd";
    QTest::newRow("two different lengths") << "SERVER" << twoLengths << false << transferLines({});
    TestHttpServer::Reply signedLength;
    signedLength.raw = "HTTP/1.1 200 OK\r\nContent-Length: +1024\r\n\r\n" + QByteArray(1024, 'x');
    QTest::newRow("length with a sign") << "SERVER" << signedLength << false << transferLines({});
    QTest::newRow("connection refused")
        << "REFUSED" << none << true
        << QStringList{kFirstLine, "Try to connect...", "Connecting to 127.0.0.1."};
    QTest::newRow("name not resolved") << "http://vemo-firmware.invalid" << none << false
                                       << QStringList{kFirstLine, "Try to connect...",
                                                      "Resolving hostname vemo-firmware.invalid."};
}

void TestFirmwareDownload::failedGet()
{
    QFETCH(QString, server);
    QFETCH(TestHttpServer::Reply, serverReply);
    QFETCH(bool, oldFile);
    QFETCH(QStringList, lines);

    Rig rig;
    rig.recordDevice(kVemo2);
    rig.server.setReply(serverReply);
    QString refused;
    {
        TestHttpServer gone;
        refused = gone.url();
    }
    server.replace(QLatin1String("SERVER"), rig.server.url());
    server.replace(QLatin1String("REFUSED"), refused);
    if (oldFile)
        writeFile(rig.target("vemo2.exe"), "an installer of before");
    bool fileAtBox = true;
    rig.fake().onBox = [&](const FakeHostServices::Call &) {
        fileAtBox = QFile::exists(rig.target("vemo2.exe"));
    };

    rig.download(server);

    QCOMPARE(rig.window.lines, lines);
    QCOMPARE(rig.boxes(), QStringList{kFailedBox});
    // No broken installer is left or offered to the update.
    QVERIFY(!fileAtBox);
    QCOMPARE(rig.leftInTemp(), QStringList());
    QCOMPARE(rig.window.fileText, QString());
    rig.verifyEnded();
}

void TestFirmwareDownload::oldFileNotDeleted_data()
{
    QTest::addColumn<int>("error");
    QTest::addColumn<QStringList>("boxes");

    QTest::newRow("access denied")
        << 5 << QStringList{"Could not delete old File!|Error Access denied!|0"};
    QTest::newRow("sharing violation") << 32 << QStringList();
    QTest::newRow("general failure") << 31 << QStringList();
}

void TestFirmwareDownload::oldFileNotDeleted()
{
    QFETCH(int, error);
    QFETCH(QStringList, boxes);

    Rig rig;
    rig.recordDevice(kVemo3);
    rig.server.setReply(reply(200, "OK", 1000));
    writeFile(rig.target("vemo3.exe"), "the installer still running");
    rig.fake().deleteError = error;

    rig.download();

    QCOMPARE(rig.boxes(), boxes);
    QCOMPARE(rig.window.lines, QStringList{kFirstLine});
    QCOMPARE(rig.fake().callsOf(FakeHostServices::Call::Delete).size(), 1);
    QCOMPARE(contentOf(rig.target("vemo3.exe")), QByteArray("the installer still running"));
    QVERIFY(rig.server.requests().isEmpty());
    QCOMPARE(rig.window.fileText, QString());
    rig.verifyEnded();
}

void TestFirmwareDownload::noDeviceRecorded_data()
{
    QTest::addColumn<QString>("device"); // empty: nothing recorded

    QTest::newRow("nothing recorded") << QString();
    QTest::newRow("another product") << "USB\\VID_5E1A&PID_0999\\5&1A2B3C&0&1";
}

void TestFirmwareDownload::noDeviceRecorded()
{
    QFETCH(QString, device);

    Rig rig;
    if (!device.isEmpty())
        rig.recordDevice(device);

    rig.download();

    QCOMPARE(rig.window.lines, QStringList{kFirstLine});
    QCOMPARE(rig.fake().journal(), QStringList({"cursor busy", "cursor normal"}));
    QVERIFY(rig.server.requests().isEmpty());
    QCOMPARE(rig.leftInTemp(), QStringList());
    QCOMPARE(rig.window.fileText, QString());
    rig.verifyEnded();
}

void TestFirmwareDownload::clientCannotBeCreated()
{
    Rig rig;
    rig.recordDevice(kVemo2);

    rig.download(QString(),
                 []() -> std::unique_ptr<TIdHTTP> { throw std::runtime_error("out of handles"); });

    // The operation ends after its line; nothing goes on without a client.
    QCOMPARE(rig.window.lines, QStringList{"Could not create Downloader:out of handles"});
    QCOMPARE(rig.fake().journal(), QStringList({"cursor busy", "cursor normal"}));
    QVERIFY(rig.server.requests().isEmpty());
    QCOMPARE(rig.leftInTemp(), QStringList());
    rig.verifyEnded();
}

void TestFirmwareDownload::targetCannotBeCreated_data()
{
    QTest::addColumn<bool>("link");

    QTest::newRow("a link left at the name") << true;
    QTest::newRow("temporary folder missing") << false;
}

void TestFirmwareDownload::targetCannotBeCreated()
{
    QFETCH(bool, link);

    Rig rig;
    rig.recordDevice(kVemo2);
    rig.server.setReply(reply(200, "OK", 1000));
    QTemporaryDir elsewhere;
    const QString victim = elsewhere.filePath("victim");
    if (link)
        QVERIFY(QFile::link(victim, rig.target("vemo2.exe")));
    else
        rig.fake().tempDir = rig.temp.filePath("missing");
    const QString target = rig.fake().tempDir + QStringLiteral("/vemo2.exe");

    // The error reaches the window's handler, which shows it.
    try {
        rig.download();
        QFAIL("the download went on without its file");
    } catch (const std::runtime_error &e) {
        const QString message = QString::fromUtf8(e.what());
        QVERIFY2(message.startsWith(QStringLiteral("Cannot create file \"%1\". ").arg(target)),
                 e.what());
    }
    QVERIFY(!QFile::exists(victim));
    QVERIFY(rig.server.requests().isEmpty());
    QCOMPARE(rig.window.lines, QStringList{kFirstLine});
    QCOMPARE(rig.window.fileText, QString());
    rig.verifyEnded();
}

void TestFirmwareDownload::pathTooLong_data()
{
    QTest::addColumn<int>("pathBytes");
    QTest::addColumn<bool>("reported");

    QTest::newRow("one byte over the system's limit") << 4096 << true;
    QTest::newRow("at the limit") << 4095 << false;
}

void TestFirmwareDownload::pathTooLong()
{
    QFETCH(int, pathBytes);
    QFETCH(bool, reported);

    Rig rig;
    rig.recordDevice(kVemo2);
    const QString tail = QStringLiteral("/vemo2.exe");
    QString folder = QStringLiteral("/nonexistent");
    while (folder.size() + tail.size() < pathBytes)
        folder += QLatin1Char('/') +
                  QString(std::min<qsizetype>(200, pathBytes - folder.size() - tail.size() - 1),
                          QLatin1Char('d'));
    rig.fake().tempDir = folder;
    const QString target = folder + tail;
    QCOMPARE(target.size(), pathBytes);

    bool raised = false;
    try {
        rig.download();
    } catch (const std::runtime_error &e) {
        // A path the system takes goes on to the file, which cannot be made here.
        raised = true;
        QVERIFY2(QString::fromUtf8(e.what()).contains(target), "the path is not cut");
    }
    QCOMPARE(raised, !reported);
    const QStringList expected =
        reported
            ? QStringList{kFirstLine,
                          QStringLiteral("Firmware path too long (4096 bytes, at most 4095): ") +
                              target}
            : QStringList{kFirstLine};
    QCOMPARE(rig.window.lines, expected);
    QVERIFY(rig.fake().callsOf(FakeHostServices::Call::Delete).isEmpty());
    QVERIFY(rig.server.requests().isEmpty());
    QCOMPARE(rig.window.fileText, QString());
    rig.verifyEnded();
}

QTEST_GUILESS_MAIN(TestFirmwareDownload)
#include "tst_firmwaredownload.moc"
