#include "dialogue/ConnectionControl.h"
#include "dialogue/DeviceText.h"
#include "dialogue/Generations.h"
#include "dialogue/OperatorFunctions.h"
#include "dialogue/Protocol.h"

#include <QTest>

using namespace dialogue;

// The device's text language as the program reads it, and the fixed tables
// the window keys by device name.
class TestProtocol : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void incomingTexts_data();
    void incomingTexts();
    void serialReplies_data();
    void serialReplies();
    void calibrationReplies_data();
    void calibrationReplies();
    void commandsSentByTheProgram();
    void deviceTextIsWindows1252();
    void generations_data();
    void generations();
    void driverVersionNumbers_data();
    void driverVersionNumbers();
    void bugReportAddress_data();
    void bugReportAddress();
};

void TestProtocol::incomingTexts_data()
{
    QTest::addColumn<QByteArray>("chunk");
    QTest::addColumn<bool>("blank");
    QTest::addColumn<bool>("loaderReady");
    QTest::addColumn<bool>("lifeTick");

    QTest::newRow("loader ready") << QByteArray("Flash is BLANK\r") << true << true << false;
    QTest::newRow("BLANK alone") << QByteArray("BLANK") << true << false << false;
    QTest::newRow("lower case") << QByteArray("flash is blank\r") << false << false << false;
    QTest::newRow("VEMO: at 1") << QByteArray("VEMO:OK") << false << false << true;
    QTest::newRow("VEMO: later") << QByteArray(" VEMO:OK") << false << false << false;
    QTest::newRow("vemo: lower") << QByteArray("vemo:OK") << false << false << false;
    QTest::newRow("time of day") << QByteArray("12:34:56.7890\r") << false << false << true;
    QTest::newRow("only the separators count") << QByteArray("ab:cd:ef.") << false << false << true;
    QTest::newRow("eight characters") << QByteArray("12:34:56") << false << false << false;
    QTest::newRow("comma for point") << QByteArray("12:34:56,789") << false << false << false;
    QTest::newRow("lone LF") << QByteArray("\n") << false << false << false;
    QTest::newRow("empty") << QByteArray() << false << false << false;
}

void TestProtocol::incomingTexts()
{
    QFETCH(QByteArray, chunk);
    QFETCH(bool, blank);
    QFETCH(bool, loaderReady);
    QFETCH(bool, lifeTick);
    QCOMPARE(protocol::holdsBlank(chunk), blank);
    QCOMPARE(protocol::holdsLoaderReady(chunk), loaderReady);
    QCOMPARE(protocol::isLifeTick(chunk), lifeTick);
}

void TestProtocol::serialReplies_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<QByteArray>("serial");

    QTest::newRow("15 with CR") << QByteArray("DEVNR123456789\r") << true
                                << QByteArray("123456789");
    QTest::newRow("14 without CR")
        << QByteArray("DEVNR12345678X") << true << QByteArray("12345678X");
    QTest::newRow("14 ending in CR") << QByteArray("DEVNR12345678\r") << false << QByteArray();
    QTest::newRow("letters taken as they stand")
        << QByteArray("DEVNRab-CD ef!\r") << true << QByteArray("ab-CD ef!");
    QTest::newRow("13") << QByteArray("DEVNR1234567\r") << false << QByteArray();
    QTest::newRow("16") << QByteArray("DEVNR1234567890\r") << false << QByteArray();
}

void TestProtocol::serialReplies()
{
    QFETCH(QByteArray, line);
    QFETCH(bool, accepted);
    QFETCH(QByteArray, serial);
    QVERIFY(protocol::isSerialReply(line));
    QCOMPARE(protocol::serialReplyAccepted(line), accepted);
    if (accepted)
        QCOMPARE(protocol::serialOf(line), serial);
}

void TestProtocol::calibrationReplies_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<bool>("reply");
    QTest::addColumn<QByteArray>("date");
    QTest::addColumn<QByteArray>("deviation");

    QTest::newRow("11") << QByteArray("ABGL09-01-\r") << false << QByteArray() << QByteArray();
    QTest::newRow("12") << QByteArray("ABGL09-01-01") << true << QByteArray("09-01-01")
                        << QByteArray();
    QTest::newRow("13, CR at 13") << QByteArray("ABGL09-01-01\r") << true << QByteArray("09-01-01")
                                  << QByteArray();
    QTest::newRow("CR falls into the deviation")
        << QByteArray("ABGL09-01-01 +\r") << true << QByteArray("09-01-01") << QByteArray("+\r");
    QTest::newRow("25, 11 characters of deviation")
        << QByteArray("ABGL09-01-01 +0.00123456\r") << true << QByteArray("09-01-01")
        << QByteArray("+0.00123456");
    QTest::newRow("26") << QByteArray("ABGL09-01-01 +0.001234567\r") << false << QByteArray()
                        << QByteArray();
    QTest::newRow("not at the start")
        << QByteArray(" ABGL09-01-01\r") << false << QByteArray() << QByteArray();
}

void TestProtocol::calibrationReplies()
{
    QFETCH(QByteArray, line);
    QFETCH(bool, reply);
    QFETCH(QByteArray, date);
    QFETCH(QByteArray, deviation);
    QCOMPARE(protocol::isCalibrationReply(line), reply);
    if (reply) {
        QCOMPARE(protocol::calibrationDateOf(line), date);
        QCOMPARE(protocol::deviationOf(line), deviation);
    }
}

void TestProtocol::commandsSentByTheProgram()
{
    QCOMPARE(protocol::NewFirmwareQuery.size(), 15);
    QCOMPARE(protocol::LoaderRequest.size(), 15);
    QCOMPARE(protocol::PrinterTest.size(), 28);
    QCOMPARE(protocol::serialWrite("123456789"), QByteArray("DEVNR123456789\r"));
    QCOMPARE(protocol::calibrationDateWrite("09-01-01"), QByteArray("ABGL09-01-01\r"));
    QCOMPARE(protocol::SerialQuery, QByteArray("DEVNR?\r"));
    QCOMPARE(protocol::CalibrationQuery, QByteArray("ABGL?\r"));
    QCOMPARE(protocol::WindTest, QByteArray("SP2W\r"));
}

void TestProtocol::deviceTextIsWindows1252()
{
    QByteArray everyByte;
    for (int byte = 1; byte < 256; ++byte)
        everyByte.append(char(byte));
    const QString text = DeviceText::decode(everyByte);
    // One character per byte, the code page's meaning above 0x7F.
    QCOMPARE(text.size(), 255);
    QCOMPARE(text.at(0x80 - 1), QChar(0x20AC)); // euro sign
    QCOMPARE(text.at(0x93 - 1), QChar(0x201C)); // left double quote
    QCOMPARE(text.at(0x81 - 1), QChar(0x81));   // undefined: kept as it is
    QCOMPARE(text.at(0xB0 - 1), QChar(0xB0));   // degree sign
    QCOMPARE(text.at(0xFF - 1), QChar(0xFF));
    QCOMPARE(DeviceText::encode(text), everyByte);

    // A zero byte never reaches a shown line.
    QCOMPARE(DeviceText::decode(QByteArray("AB\0CD", 5)), QStringLiteral("ABCD"));
    // Typed text outside the code page cannot reach the device as it is.
    QCOMPARE(DeviceText::encode(QStringLiteral("a\u4e2db")), QByteArray("a?b"));
}

void TestProtocol::generations_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("filter");
    QTest::addColumn<QString>("defaultFile");
    QTest::addColumn<int>("bwf");
    QTest::addColumn<QString>("image");
    QTest::addColumn<QString>("installer");

    QTest::newRow("Vemo") << "Vemo"
                          << "Vemo update files|vemo.exe;vemo.bin"
                          << "/Homepage/orvik/download/uC/vemo.exe" << 20000 << "Vemo.bin"
                          << "vemo.exe";
    QTest::newRow("Vemo2") << "Vemo2"
                           << "Vemo2 update files|vemo2.exe;vemo2.bin"
                           << "/Homepage/orvik/download/uC/vemo2.exe" << 30000 << "Vemo2.bin"
                           << "vemo2.exe";
    QTest::newRow("Vemo3") << "Vemo3"
                           << "Vemo3 update files|vemo3.exe;vemo3.bin"
                           << "/Homepage/orvik/download/uC/vemo3.exe" << 30000 << "Vemo3.bin"
                           << "vemo3.exe";
    QTest::newRow("other letter case")
        << "VEMO2"
        << "Vemo update files|vemo.exe;vemo.bin"
        << "/Homepage/orvik/download/uC/vemo.exe" << 20000 << "Vemo.bin"
        << "";
    QTest::newRow("instance path") << "USB\\VID_5E1A&PID_0999\\VEMO"
                                   << "Vemo update files|vemo.exe;vemo.bin"
                                   << "/Homepage/orvik/download/uC/vemo.exe" << 20000 << "Vemo.bin"
                                   << "";
}

void TestProtocol::generations()
{
    QFETCH(QString, name);
    QFETCH(QString, filter);
    QFETCH(QString, defaultFile);
    QFETCH(int, bwf);
    QFETCH(QString, image);
    QFETCH(QString, installer);
    const Generation generation = generationFor(name);
    QCOMPARE(generation.fileFilter, filter);
    QCOMPARE(generation.defaultFirmwareFile, defaultFile);
    QCOMPARE(generation.bwfIntervalMs, bwf);
    QCOMPARE(generation.imageFileName, image);
    QCOMPARE(installerFor(name).fileName, installer);
    if (!installer.isEmpty())
        QCOMPARE(installerFor(name).serverPath, QStringLiteral("/orvik/download/uC/") + installer);
}

void TestProtocol::driverVersionNumbers_data()
{
    QTest::addColumn<QString>("driver");
    QTest::addColumn<double>("number");
    QTest::addColumn<bool>("warned");

    QTest::newRow("2.10 is 2.1") << "2.10" << 2.1 << true;
    QTest::newRow("2.5") << "2.5" << 2.5 << false;
    QTest::newRow("2.50") << "2.50" << 2.5 << false;
    QTest::newRow("3.0") << "3.0" << 3.0 << false;
    QTest::newRow("1.255") << "1.255" << 1.255 << true;
    QTest::newRow("unreadable") << "2.x" << 2.5 << false;
    QTest::newRow("empty") << "" << 2.5 << false;
    QTest::newRow("decimal comma is not read") << "2,1" << 2.5 << false;
}

void TestProtocol::driverVersionNumbers()
{
    QFETCH(QString, driver);
    QFETCH(double, number);
    QFETCH(bool, warned);
    QCOMPARE(ConnectionControl::driverVersionNumber(driver), number);
    QCOMPARE(ConnectionControl::driverVersionNumber(driver) <
                 ConnectionControl::CurrentDriverVersion,
             warned);
}

void TestProtocol::bugReportAddress_data()
{
    QTest::addColumn<int>("major");
    QTest::addColumn<int>("minor");
    QTest::addColumn<QString>("servicePack");
    QTest::addColumn<QString>("body");

    const QString tail =
        QStringLiteral("       Used Cable Number:        used device:       used program:");
    QCOMPARE(tail.size(), 65);
    QTest::newRow("kernel and distribution")
        << 6 << 1 << "Debian GNU/Linux 12 (bookworm)"
        << "I use Operating System: V6.1 Debian GNU/Linux 12 (bookworm)" + tail;
    // A failed query leaves the numbers 0 and the text empty.
    QTest::newRow("query failed") << 0 << 0 << ""
                                  << "I use Operating System: V0.0 " + tail;
}

void TestProtocol::bugReportAddress()
{
    QFETCH(int, major);
    QFETCH(int, minor);
    QFETCH(QString, servicePack);
    QFETCH(QString, body);
    const platform::OsVersion os{unsigned(major), unsigned(minor), servicePack};
    QCOMPARE(OperatorFunctions::bugReportAddress(QStringLiteral("Vemo USB Update V1.4.7.2"), os),
             QStringLiteral("mailto:support@orvik.example?subject=BugreportVemo USB Update "
                            "V1.4.7.2&body=") +
                 body);
}

QTEST_GUILESS_MAIN(TestProtocol)
#include "tst_protocol.moc"
