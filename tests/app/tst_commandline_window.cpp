#include "app/Application.h"
#include "app/Unit1.h"
#include "dialogue/ProductionCommandLine.h"
#include "tests/app/WindowFixture.h"
#include "tests/support/TestMain.h"
#include "usbio/sim/SimDevice.h"

#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

using dialogue::ProductionCommandLine;
using usbio::Generation;
using Run = ProductionCommandLine::Run;
using dialogue::EndKind;

Q_DECLARE_METATYPE(ProductionCommandLine::Run)
Q_DECLARE_METATYPE(dialogue::EndKind)

// The production command lines: how they are read, and what each does with
// the devices attached, as the window runs it at the end of start-up.
class TestCommandLineWindow : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void parse_data();
    void parse();
    void calibrationDate_data();
    void calibrationDate();
    void dispatchRefusals_data();
    void dispatchRefusals();
    void unattendedUpdateStarts();
    void calibrationSteps_data();
    void calibrationSteps();
    void calibrationWritesRefused();
    void serialRun_data();
    void serialRun();
};

void TestCommandLineWindow::parse_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<Run>("run");
    QTest::addColumn<QByteArray>("serial");
    QTest::addColumn<QString>("file");
    QTest::addColumn<bool>("calibrate");

    QTest::newRow("nothing") << QStringList() << Run::None << QByteArray() << "" << false;
    QTest::newRow("serial") << QStringList{"/SERIAL123456789"} << Run::Serial
                            << QByteArray("123456789") << "" << false;
    QTest::newRow("serial in lower case")
        << QStringList{"/serial12345abcd"} << Run::Serial << QByteArray("12345ABCD") << "" << false;
    // A firmware path holding "/SERIAL" is a file, whatever its length.
    QTest::newRow("serial not at the start is a file")
        << QStringList{"ab/SERIAL1234567"} << Run::Update << QByteArray() << "ab/SERIAL1234567"
        << false;
    QTest::newRow("firmware path of 16 is a file") << QStringList{"lot7/serial4.bin"} << Run::Update
                                                   << QByteArray() << "lot7/serial4.bin" << false;
    QTest::newRow("firmware path with calibration")
        << QStringList{"./x/Serial42.bin", "/CALIBRATE"} << Run::Update << QByteArray()
        << "./x/Serial42.bin" << true;
    QTest::newRow("serial of 8 is a file") << QStringList{"/SERIAL12345678"} << Run::Update
                                           << QByteArray() << "/SERIAL12345678" << false;
    QTest::newRow("serial of 10 is a file") << QStringList{"/SERIAL1234567890"} << Run::Update
                                            << QByteArray() << "/SERIAL1234567890" << false;
    QTest::newRow("arguments after a serial are ignored")
        << QStringList{"/SERIAL123456789", "/CALIBRATE"} << Run::Serial << QByteArray("123456789")
        << "" << false;
    QTest::newRow("update") << QStringList{"/fw/Vemo2.bin"} << Run::Update << QByteArray()
                            << "/fw/Vemo2.bin" << false;
    QTest::newRow("calibrate") << QStringList{"/fw/vemo2.bin", "/CALIBRATE"} << Run::Update
                               << QByteArray() << "/fw/vemo2.bin" << true;
    QTest::newRow("calibrate in lower case") << QStringList{"vemo2.bin", "/calibrate"}
                                             << Run::Update << QByteArray() << "vemo2.bin" << true;
    QTest::newRow("/CALIBRATEX") << QStringList{"vemo2.bin", "/CALIBRATEX"} << Run::Update
                                 << QByteArray() << "vemo2.bin" << false;
    QTest::newRow("/CALIBRATE first is a file")
        << QStringList{"/CALIBRATE"} << Run::Update << QByteArray() << "/CALIBRATE" << false;
    QTest::newRow("third argument ignored") << QStringList{"vemo.bin", "x", "/CALIBRATE"}
                                            << Run::Update << QByteArray() << "vemo.bin" << false;
}

void TestCommandLineWindow::parse()
{
    QFETCH(QStringList, arguments);
    QFETCH(Run, run);
    QFETCH(QByteArray, serial);
    QFETCH(QString, file);
    QFETCH(bool, calibrate);
    const ProductionCommandLine line = ProductionCommandLine::parse(arguments);
    QCOMPARE(line.run, run);
    QCOMPARE(line.serialNumber, serial);
    QCOMPARE(line.firmwareFile, file);
    QCOMPARE(line.calibrate, calibrate);
}

void TestCommandLineWindow::calibrationDate_data()
{
    QTest::addColumn<QDate>("today");
    QTest::addColumn<QByteArray>("date");
    QTest::newRow("2009-01-01") << QDate(2009, 1, 1) << QByteArray("09-01-01");
    QTest::newRow("2013-02-07") << QDate(2013, 2, 7) << QByteArray("13-02-07");
    QTest::newRow("2000-12-31") << QDate(2000, 12, 31) << QByteArray("00-12-31");
    QTest::newRow("2026-10-09") << QDate(2026, 10, 9) << QByteArray("26-10-09");
}

void TestCommandLineWindow::calibrationDate()
{
    QFETCH(QDate, today);
    QFETCH(QByteArray, date);
    QCOMPARE(ProductionCommandLine::calibrationDate(today), date);
}

namespace {

QString makeFile(const QTemporaryDir &dir, const QString &name)
{
    QFile file(dir.filePath(name));
    if (!file.open(QIODevice::WriteOnly) || file.write("image") != 5)
        return QString();
    return file.fileName();
}

} // namespace

void TestCommandLineWindow::dispatchRefusals_data()
{
    QTest::addColumn<int>("devices");
    QTest::addColumn<QString>("file"); // empty: none
    QTest::addColumn<QByteArray>("contents");
    QTest::addColumn<bool>("openFails");
    QTest::addColumn<QString>("box");  // empty: none; DIR: the test's folder
    QTest::addColumn<QString>("line"); // the refusal's own line; empty: none
    QTest::addColumn<EndKind>("kind");

    QTest::newRow("file not found") << 1 << "" << QByteArray() << false << "File not found|Error|16"
                                    << "" << EndKind::BadInput;
    QTest::newRow("no device") << 0 << "vemo2.bin" << QByteArray("image") << false
                               << "No Vemo found|Error|16"
                               << "" << EndKind::NoDevice;
    QTest::newRow("two devices") << 2 << "vemo2.bin" << QByteArray("image") << false
                                 << "More than one Vemo found, please disconnect others|Error|16"
                                 << "" << EndKind::NoDevice;
    QTest::newRow("open fails") << 1 << "vemo2.bin" << QByteArray("image") << true
                                << "Could not open device|Error|16"
                                << "" << EndKind::NoDevice;
    // Refused in one line and, to the operator, its box, before the device
    // is opened or sent anything.
    QTest::newRow("empty image") << 1 << "vemo2.bin" << QByteArray() << false
                                 << "Firmware file is empty: DIR/vemo2.bin|Error|16"
                                 << "Firmware file is empty: DIR/vemo2.bin" << EndKind::BadInput;
    QTest::newRow("another generation")
        << 1 << "Vemo3.bin" << QByteArray("image") << false
        << "Firmware of another generation: Vemo3.bin is for a Vemo3, the device is a Vemo2 "
           "(--force loads it)|Error|16"
        << "Firmware of another generation: Vemo3.bin is for a Vemo3, the device is a Vemo2 "
           "(--force loads it)"
        << EndKind::NoDevice;
}

void TestCommandLineWindow::dispatchRefusals()
{
    QFETCH(int, devices);
    QFETCH(QString, file);
    QFETCH(QByteArray, contents);
    QFETCH(bool, openFails);
    QFETCH(QString, box);
    QFETCH(QString, line);
    QFETCH(EndKind, kind);

    QTemporaryDir dir;
    WindowFixture fixture;
    for (int i = 0; i < devices; ++i) {
        usbio::SimDevice *device = fixture.attach(Generation::Vemo2, QByteArray::number(1000 + i));
        if (openFails)
            device->faults().openStatus = usbio::status::AccessDenied;
    }
    QString path = dir.filePath(QStringLiteral("none.bin"));
    if (!file.isEmpty()) {
        QFile image(dir.filePath(file));
        QVERIFY(image.open(QIODevice::WriteOnly));
        image.write(contents);
        path = image.fileName();
    }
    TForm1 &form = fixture.start({path});

    box.replace(QLatin1String("DIR"), dir.path());
    QCOMPARE(fixture.boxes(), box.isEmpty() ? QStringList() : QStringList{box});
    QVERIFY(fixture.host().terminateRequested());
    QVERIFY(form.Outcome().failed());
    QCOMPARE(form.Outcome().kind(), kind);
    QVERIFY(!form.Dialogue().update().updating());
    const QStringList log = fixture.log();
    line.replace(QLatin1String("DIR"), dir.path());
    if (!line.isEmpty()) {
        QCOMPARE(log.last(), line);
        QCOMPARE(form.Outcome().reason(), line);
    }
    // Only a failed open leaves a line of its own.
    QCOMPARE(log.filter(QStringLiteral("Open: ")).size(), openFails ? 1 : 0);
    QVERIFY(log.filter(QStringLiteral("Automatic Update")).isEmpty());
    for (usbio::SimDevice *device : fixture.bus().devices())
        QVERIFY(device->receivedPieces().isEmpty());
}

void TestCommandLineWindow::unattendedUpdateStarts()
{
    QTemporaryDir dir;
    WindowFixture fixture;
    usbio::SimDevice *device = fixture.attach(Generation::Vemo2, "000004711");
    const QString file = makeFile(dir, "Vemo2.BIN");
    TForm1 &form = fixture.start({file});

    const QStringList log = fixture.log();
    const int opened = log.indexOf(QStringLiteral("Device opend: Vemo2 #1"));
    QVERIFY(opened > 0);
    QCOMPARE(log.last(), QStringLiteral("Automatic Update progress started! ") + file);
    QVERIFY(form.Dialogue().update().unattended());
    QVERIFY(form.Dialogue().update().updating());
    QCOMPARE(form.FileNameE->text(), file);
    QVERIFY(fixture.host().boxes().isEmpty());
    QVERIFY(!fixture.host().terminateRequested());
    QTRY_VERIFY(device->receivedCommands().contains("USB-Vemo:BWF!!!"));
    // No calibration step without "/CALIBRATE".
    QVERIFY(!device->receivedCommands().contains("DEVNR?"));
}

void TestCommandLineWindow::calibrationSteps_data()
{
    QTest::addColumn<QDate>("today");
    QTest::addColumn<bool>("serialAnswered");
    QTest::newRow("2009-01-01") << QDate(2009, 1, 1) << true;
    QTest::newRow("2000-03-04, no serial reply") << QDate(2000, 3, 4) << false;
}

void TestCommandLineWindow::calibrationSteps()
{
    QFETCH(QDate, today);
    QFETCH(bool, serialAnswered);

    QTemporaryDir dir;
    WindowFixture fixture;
    fixture.host().todayDate = today;
    usbio::SimDeviceSettings settings;
    settings.generation = Generation::Vemo3;
    settings.serialNumber = "VX0000042";
    settings.deviation = "-0.0005";
    if (!serialAnswered)
        settings.answers.insert("DEVNR?", QByteArray()); // the device stays silent
    usbio::SimDevice *device = fixture.bus().attach(settings);
    const QString file = makeFile(dir, "vemo3.bin");
    TForm1 &form = fixture.start({file, QStringLiteral("/calibrate")});

    const QByteArray date = ProductionCommandLine::calibrationDate(today);
    QTRY_VERIFY(device->receivedCommands().contains("USB-Vemo:BWF!!!"));
    const QList<QByteArray> commands = device->receivedCommands();
    const int first = commands.indexOf("DEVNR?");
    QVERIFY(first > 0);
    QCOMPARE(commands.mid(first, 4),
             (QList<QByteArray>{"DEVNR?", "ABGL" + date, "ABGL?", "USB-Vemo:BWF!!!"}));

    const QStringList log = fixture.log();
    QVERIFY(log.contains(QStringLiteral("calibrate date written: ") + QString::fromLatin1(date)));
    QVERIFY(log.indexOf(QStringLiteral("calibrate date written: ") + QString::fromLatin1(date)) <
            log.indexOf(QStringLiteral("Automatic Update progress started! ") + file));
    // The device's replies arrive while the steps wait: the serial number
    // is kept for the certificate, the calibration reply prints it.
    QTRY_VERIFY(fixture.log().contains(QStringLiteral("Print out Report:")));
    const QStringList shown = fixture.log();
    const int printed = shown.indexOf(QStringLiteral("Print out Report:"));
    QCOMPARE(shown.at(printed - 1),
             QStringLiteral("ABGL") + QString::fromLatin1(date) + QStringLiteral(" -0.0005"));
    QCOMPARE(shown.mid(0, printed).contains(QStringLiteral("DEVNRVX0000042")), serialAnswered);
    Q_UNUSED(form);
}

void TestCommandLineWindow::calibrationWritesRefused()
{
    QTemporaryDir dir;
    WindowFixture fixture;
    usbio::SimDevice *device = fixture.attach(Generation::Vemo2, "000004711");
    // The open succeeds; every write after it is refused.
    QObject::connect(device, &usbio::SimDevice::commandReceived, device, [device] {
        device->faults().writeDataStatus = usbio::status::TransferFailed;
    });
    const QString file = makeFile(dir, "vemo2.bin");
    TForm1 &form = fixture.start({file, QStringLiteral("/CALIBRATE")});

    // Every step is reported and the next one still runs; the update starts.
    QCOMPARE(fixture.boxes(),
             (QStringList{"Error asking device number!|Error asking device number! Please check "
                          "device.|16",
                          "Error writing calibrate date!|Error writing calibrate date! Please "
                          "check device.|16",
                          "Error asking calibrate date!|Error asking calibrate date! Please "
                          "check device.|16",
                          "Error sending Update Command|Error|16"}));
    const QStringList log = fixture.log();
    for (const char *line : {"Error asking device number!", "Error writing calibrate date!",
                             "Error asking calibrate date!"})
        QCOMPARE(log.count(QLatin1String(line)), 1);
    QVERIFY(log.filter(QStringLiteral("calibrate date written")).isEmpty());
    QVERIFY(log.contains(QStringLiteral("Automatic Update progress started! ") + file));
    QVERIFY(form.Dialogue().update().updating());
    QVERIFY(!fixture.host().terminateRequested());
}

void TestCommandLineWindow::serialRun_data()
{
    QTest::addColumn<int>("devices");
    QTest::addColumn<bool>("openFails");
    QTest::addColumn<QString>("argument");
    QTest::addColumn<QString>("line");

    QTest::newRow("one device") << 1 << false << "/SERIAL12345abcd"
                                << "serial number written: 12345ABCD";
    QTest::newRow("no device") << 0 << false << "/SERIAL123456789"
                               << "Error writing serial number!";
    QTest::newRow("two devices") << 2 << false << "/SERIAL123456789"
                                 << "Error writing serial number!";
    QTest::newRow("open fails") << 1 << true << "/SERIAL123456789"
                                << "Error writing serial number!";
}

void TestCommandLineWindow::serialRun()
{
    QFETCH(int, devices);
    QFETCH(bool, openFails);
    QFETCH(QString, argument);
    QFETCH(QString, line);

    WindowFixture fixture;
    QList<usbio::SimDevice *> attached;
    for (int i = 0; i < devices; ++i) {
        attached << fixture.attach(Generation::Vemo, QByteArray::number(100000000 + i));
        if (openFails)
            attached.last()->faults().openStatus = usbio::status::AccessDenied;
    }
    TForm1 &form = fixture.start({argument});

    // Written is said when the device gives the number back.
    QTRY_VERIFY(fixture.log().contains(line));
    QVERIFY(fixture.host().boxes().isEmpty());
    // The program carries on as after an ordinary start.
    QVERIFY(!fixture.host().terminateRequested());
    QVERIFY(!form.Dialogue().update().unattended());
    const bool written = line.startsWith(QStringLiteral("serial number written"));
    if (written) {
        QTRY_COMPARE(attached.first()->serialNumber(), QByteArray("12345ABCD"));
        QVERIFY(attached.first()->receivedPieces().contains(QByteArray("DEVNR12345ABCD\r\0", 16)));
    }
    for (usbio::SimDevice *device : attached) {
        for (const QByteArray &command : device->receivedCommands())
            QVERIFY(written || !command.startsWith("DEVNR"));
    }
    if (openFails)
        QCOMPARE(fixture.log().filter(QStringLiteral("Open: ")).size(), 1);
}

int main(int argc, char *argv[])
{
    useOffscreenUnlessSet();
    VemoApplication app(argc, argv);
    TestCommandLineWindow test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_commandline_window.moc"
