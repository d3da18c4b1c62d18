// The simulated Vemo end to end at the component level: commands in
// 16-byte pieces, answers in reads of at most 16, the loader cycle and the
// image transfer, life ticks and scripted answers.

#include "tests/support/TestBytes.h"
#include "tests/usbio/SimFixture.h"
#include "tests/usbio/SimRig.h"
#include "usbio/devicemodel/VemoFirmware.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace usbio;

namespace {

SimDeviceSettings vemo2()
{
    SimDeviceSettings s;
    s.generation = Generation::Vemo2;
    s.serialNumber = "123456789";
    s.firmwareVersion = "2.10";
    s.calibrationDate = "13-02-07";
    s.deviation = "+0.002";
    return s;
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QJsonObject readState(const QString &path)
{
    return QJsonDocument::fromJson(readAll(path)).object();
}

} // namespace

class TestDevice : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void answers_data();
    void answers();
    void answersComeInReadsOfAtMost16();
    void commandAssembledAcrossPieces();
    void usbCommandActsWithoutCr();
    void piecesAndCommandsAreRecorded();
    void serialAndDateAreStored();
    void dtpGoesToThePrinter();
    void loaderCycle();
    void repeatedLoaderRequestAnswersAgain();
    void imageRecordedByteExact_data();
    void imageRecordedByteExact();
    void imageOfConfiguredSize();
    void chunkRecordKeepsTheFirstBytes_data();
    void chunkRecordKeepsTheFirstBytes();
    void imageCanBeSaved();
    void imagesAreSavedIntoTheFolder();
    void stateFileFollowsTheDevice();
    void chunksBeforeBlankAreIgnored();
    void resetInLoaderWithoutImageStaysInLoader();
    void resetInNormalModeRestarts();
    void deviceLeftInItsLoader();
    void lifeTicks();
    void noLifeTicksWhenPeriodIsZero();
    void scriptedAnswers();
    void deviceOffTheBusTakesNothing();
};

void TestDevice::answers_data()
{
    QTest::addColumn<QByteArray>("command");
    QTest::addColumn<QByteArray>("answer");

    QTest::newRow("DEVNR?") << QByteArray("DEVNR?\r") << QByteArray("DEVNR123456789\r");
    QTest::newRow("ABGL?") << QByteArray("ABGL?\r") << QByteArray("ABGL13-02-07 +0.002\r");
    QTest::newRow("USB NSF") << QByteArray("USB-Vemo:NSF?!!")
                             << QByteArray("Vemo2 firmware V2.10\r");
    QTest::newRow("USB NSF with CR")
        << QByteArray("USB-Vemo:NSF?!!\r") << QByteArray("Vemo2 firmware V2.10\r");
    QTest::newRow("NSF?") << QByteArray("NSF?\r") << QByteArray("Vemo2 firmware V2.10\r");
    QTest::newRow("DEVINFO?") << QByteArray("DEVINFO?\r")
                              << QByteArray("Vemo2 SN123456789 FW2.10\r");
    QTest::newRow("query default") << QByteArray("BE?\r") << QByteArray("BE1\r");
    QTest::newRow("longest prefix") << QByteArray("PRINTER?\r") << QByteArray("PRINTER0\r");
    QTest::newRow("set") << QByteArray("SP2W\r") << QByteArray("OK\r");
    QTest::newRow("action") << QByteArray("CLR\r") << QByteArray("OK\r");
    QTest::newRow("leading blank") << QByteArray(" #1234\r") << QByteArray("OK\r");
    QTest::newRow("unknown") << QByteArray("XYZZY\r") << QByteArray("?\r");
    QTest::newRow("bad serial length") << QByteArray("DEVNR12\r") << QByteArray("?\r");
    QTest::newRow("USB INIT") << QByteArray("USB-Vemo:INIT!!") << QByteArray("USB-Vemo:OK\r");
}

void TestDevice::answers()
{
    QFETCH(QByteArray, command);
    QFETCH(QByteArray, answer);
    SimFixture sim;
    sim.bus.attach(vemo2());
    SimRig rig(sim);
    QCOMPARE(rig.open(), status::Success);
    QVERIFY(rig.sendCommand(command));
    QVERIFY(rig.waitForReceived(answer));
    SimFixture::settle();
    QCOMPARE(rig.received(), answer);
}

void TestDevice::answersComeInReadsOfAtMost16()
{
    SimFixture sim;
    sim.bus.attach(vemo2());
    SimRig rig(sim);
    QCOMPARE(rig.open(), status::Success);
    QVERIFY(rig.sendCommand("HELP\r"));
    QVERIFY(rig.waitForReceived("SP2W\r"));
    SimFixture::settle();
    QVERIFY(rig.reads.size() > 5);
    for (const QByteArray &read : std::as_const(rig.reads))
        QVERIFY2(!read.isEmpty() && read.size() <= 16, read.constData());
    // A line longer than 16 is split: "Vemo2 commands:\r" is exactly 16, the
    // next line is not.
    QCOMPARE(rig.reads.at(0), QByteArray("Vemo2 commands:\r"));
    QCOMPARE(rig.reads.at(1), QByteArray("DEVNR? DEVNR<ser"));
    QCOMPARE(rig.reads.at(2), QByteArray("ial>\r"));
}

void TestDevice::commandAssembledAcrossPieces()
{
    SimFixture sim;
    SimDevice *device = sim.bus.attach(vemo2());
    SimRig rig(sim);
    QCOMPARE(rig.open(), status::Success);
    // 17 characters: two pieces, the command complete only with the second.
    QVERIFY(rig.sendCommand("SST 1234 C0  12:"));
    SimFixture::settle();
    QVERIFY(device->receivedCommands().isEmpty());
    QVERIFY(rig.sendCommand("34\r"));
    QVERIFY(rig.waitForReceived("OK\r"));
    QCOMPARE(device->receivedCommands(), QList<QByteArray>{"SST 1234 C0  12:34"});
    rig.clearReceived();
    QVERIFY(rig.sendCommand("SST?\r"));
    QVERIFY(rig.waitForReceived("SST 1234 C0  12:34\r"));
}

void TestDevice::usbCommandActsWithoutCr()
{
    SimFixture sim;
    SimDevice *device = sim.bus.attach(vemo2());
    SimRig rig(sim);
    QCOMPARE(rig.open(), status::Success);
    QVERIFY(rig.sendCommand("USB-Vemo:NSF?!!"));
    QVERIFY(rig.waitForReceived("Vemo2 firmware V2.10\r"));
    QCOMPARE(device->receivedCommands(), QList<QByteArray>{"USB-Vemo:NSF?!!"});
    // An ordinary command of 15 characters waits for its CR.
    QVERIFY(rig.sendCommand("RSS000200002000"));
    SimFixture::settle();
    QCOMPARE(device->receivedCommands().size(), 1);
}

void TestDevice::piecesAndCommandsAreRecorded()
{
    SimFixture sim;
    SimDevice *device = sim.bus.attach(vemo2());
    SimRig rig(sim);
    QCOMPARE(rig.open(), status::Success);
    QVERIFY(rig.sendCommand("SP2W\r"));
    QVERIFY(rig.sendCommand("0123456789ABCDEFG\r"));
    QCOMPARE(device->receivedPieces(),
             (QList<QByteArray>{QByteArray("SP2W\r").leftJustified(16, '\0'), "0123456789ABCDEF",
                                QByteArray("G\r").leftJustified(16, '\0')}));
    QCOMPARE(device->receivedCommands(), (QList<QByteArray>{"SP2W", "0123456789ABCDEFG"}));
    device->clearRecords();
    QVERIFY(device->receivedPieces().isEmpty());
    QVERIFY(device->receivedCommands().isEmpty());
}

void TestDevice::serialAndDateAreStored()
{
    SimFixture sim;
    SimDevice *device = sim.bus.attach(vemo2());
    SimRig rig(sim);
    QCOMPARE(rig.open(), status::Success);
    QVERIFY(rig.sendCommand("DEVNRAB1234567\r"));
    QVERIFY(rig.sendCommand("ABGL24-12-31\r"));
    QVERIFY(rig.waitForReceived("OK\rOK\r"));
    QCOMPARE(device->serialNumber(), QByteArray("AB1234567"));
    QCOMPARE(device->calibrationDate(), QByteArray("24-12-31"));
    rig.clearReceived();
    QVERIFY(rig.sendCommand("DEVNR?\r"));
    QVERIFY(rig.sendCommand("ABGL?\r"));
    QVERIFY(rig.waitForReceived("DEVNRAB1234567\rABGL24-12-31 +0.002\r"));
    // The reply to the date write is no calibration line (12 to 25 chars
    // beginning "ABGL").
    QVERIFY(!rig.received().startsWith("ABGL24"));
}

void TestDevice::dtpGoesToThePrinter()
{
    SimFixture sim;
    SimDevice *device = sim.bus.attach(vemo2());
    SimRig rig(sim);
    QCOMPARE(rig.open(), status::Success);
    QVERIFY(rig.sendCommand("DTPHello World!\r"));
    QVERIFY(rig.waitForReceived("DTP\r"));
    SimFixture::settle();
    QCOMPARE(rig.received(), QByteArray("DTP\r"));
    QCOMPARE(device->printerLines(), QList<QByteArray>{"Hello World!"});
}

void TestDevice::loaderCycle()
{
    SimFixture sim;
    SimDeviceSettings settings = vemo2();
    settings.restartDelayMs = 2;
    settings.eraseDelayMs = 2;
    SimDevice *device = sim.bus.attach(settings);
    SimRig rig(sim);
    QCOMPARE(rig.open(), status::Success);
    QVERIFY(rig.sendCommand("USB-Vemo:BWF!!!"));
    QVERIFY(rig.waitForPnP(EventId::PnPRemoveNotification));
    QVERIFY(rig.waitForPnP(EventId::PnPAddNotification));
    QCOMPARE(rig.pnpEvents,
             (QList<EventId>{EventId::PnPRemoveNotification, EventId::PnPAddNotification}));
    QVERIFY(device->onBus());
    QVERIFY(device->inLoader());

    QCOMPARE(rig.open(), status::Success);
    rig.clearReceived();
    QVERIFY(rig.sendCommand("USB-Vemo:BWF!!!"));
    QVERIFY(rig.waitForReceived("Flash is BLANK\r"));
    // One read holds the whole readiness text.
    QVERIFY(rig.reads.contains("Flash is BLANK\r"));
    // The loader does not restart on its own request.
    QCOMPARE(rig.pnpEvents.size(), 2);
}

void TestDevice::repeatedLoaderRequestAnswersAgain()
{
    SimFixture sim;
    SimDevice *device = sim.bus.attach(vemo2());
    SimRig rig(sim);
    QCOMPARE(rig.open(), status::Success);
    QVERIFY(rig.sendCommand("USB-Vemo:BWF!!!"));
    QVERIFY(rig.waitForPnP(EventId::PnPAddNotification));
    QCOMPARE(rig.open(), status::Success);
    QVERIFY(rig.sendCommand("USB-Vemo:BWF!!!"));
    QVERIFY(rig.sendCommand("USB-Vemo:BWF!!!"));
    QVERIFY(QTest::qWaitFor([&] { return rig.received().count("Flash is BLANK\r") == 2; }));
    QVERIFY(rig.sendCommand("USB-Vemo:NSF?!!"));
    QVERIFY(rig.waitForReceived("Vemo2 loader V1.00\r"));
    // Other commands mean nothing to the loader.
    rig.clearReceived();
    QVERIFY(rig.sendCommand("DEVNR?\r"));
    SimFixture::settle();
    QVERIFY(rig.received().isEmpty());
    QVERIFY(device->inLoader());
}

void TestDevice::imageRecordedByteExact_data()
{
    QTest::addColumn<int>("size");
    QTest::newRow("one short chunk") << 5;
    QTest::newRow("64 and 36") << 100;
    QTest::newRow("random 40 KiB") << 40 * 1024 + 17;
}

void TestDevice::imageRecordedByteExact()
{
    QFETCH(int, size);
    SimFixture sim;
    SimDevice *device = sim.bus.attach(vemo2());
    SimRig rig(sim);
    QSignalSpy images(device, &SimDevice::imageReceived);
    QVERIFY(rig.openLoaderAndErase());

    const QByteArray image = testBytes(size, quint32(size));
    QVERIFY(rig.sendImage(image));
    // The last chunk restarts the device into its new firmware.
    QVERIFY(rig.waitForPnP(EventId::PnPAddNotification, 2));
    QCOMPARE(rig.pnpEvents.count(EventId::PnPRemoveNotification), 2);
    QCOMPARE(device->image(), image);
    QCOMPARE(images.size(), 1);
    QCOMPARE(device->receivedChunks().size(), (size + 63) / 64);
    for (const QByteArray &chunk : device->receivedChunks())
        QVERIFY(chunk.size() <= 64);
    QVERIFY(!device->inLoader());
    QCOMPARE(device->firmwareVersion(), QByteArray("2.11"));

    QCOMPARE(rig.open(), status::Success);
    rig.clearReceived();
    QVERIFY(rig.sendCommand("USB-Vemo:NSF?!!"));
    QVERIFY(rig.waitForReceived("Vemo2 firmware V2.11\r"));
}

void TestDevice::imageOfConfiguredSize()
{
    SimFixture sim;
    SimDeviceSettings settings = vemo2();
    settings.imageSize = 128;
    SimDevice *device = sim.bus.attach(settings);
    SimRig rig(sim);
    QVERIFY(rig.openLoaderAndErase());
    // Two full chunks and no short one: the size tells the end.
    const QByteArray image = testBytes(128, 7);
    QVERIFY(rig.sendImage(image));
    QVERIFY(rig.waitForPnP(EventId::PnPAddNotification, 2));
    QCOMPARE(device->image(), image);
}

void TestDevice::chunkRecordKeepsTheFirstBytes_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<qint64>("recordBytes");
    QTest::addColumn<int>("kept"); // chunks whose bytes are kept

    QTest::newRow("all kept") << 1000 << qint64(16 * 1024 * 1024) << 16;
    QTest::newRow("exactly the record") << 1000 << qint64(1000) << 16;
    QTest::newRow("first ones only") << 5000 << qint64(1000) << 15;
    // The short last chunk would fit, but the bytes before it are gone.
    QTest::newRow("last one would fit") << 64 * 3 + 10 << qint64(140) << 2;
    QTest::newRow("nothing kept") << 300 << qint64(0) << 0;
}

void TestDevice::chunkRecordKeepsTheFirstBytes()
{
    QFETCH(int, size);
    QFETCH(qint64, recordBytes);
    QFETCH(int, kept);
    SimFixture sim;
    SimDeviceSettings settings = vemo2();
    settings.chunkRecordBytes = recordBytes;
    SimDevice *device = sim.bus.attach(settings);
    SimRig rig(sim);
    QVERIFY(rig.openLoaderAndErase());

    const QByteArray image = testBytes(size, 11);
    QVERIFY(rig.sendImage(image));
    QVERIFY(rig.waitForPnP(EventId::PnPAddNotification, 2));
    // The image is whole whatever the record keeps.
    QCOMPARE(device->image(), image);
    QCOMPARE(device->receivedChunkCount(), qint64((size + 63) / 64));
    QCOMPARE(device->receivedChunkBytes(), qint64(size));
    const QList<QByteArray> chunks = device->receivedChunks();
    QCOMPARE(chunks.size(), kept);
    for (int i = 0; i < kept; ++i)
        QCOMPARE(chunks.at(i), image.mid(i * 64, 64));

    device->clearRecords();
    QCOMPARE(device->receivedChunkCount(), qint64(0));
    QVERIFY(device->receivedChunks().isEmpty());
}

void TestDevice::imageCanBeSaved()
{
    SimFixture sim;
    SimDevice *device = sim.bus.attach(vemo2());
    SimRig rig(sim);
    QVERIFY(rig.openLoaderAndErase());
    const QByteArray image = testBytes(300, 3);
    QVERIFY(rig.sendImage(image));
    QVERIFY(rig.waitForPnP(EventId::PnPAddNotification, 2));
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("image.bin"));
    QVERIFY(device->saveImage(path));
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), image);
    QVERIFY(!device->saveImage(dir.filePath(QStringLiteral("missing/dir/image.bin"))));
}

void TestDevice::chunksBeforeBlankAreIgnored()
{
    SimFixture sim;
    SimDevice *device = sim.bus.attach(vemo2());
    SimRig rig(sim);
    QCOMPARE(rig.open(), status::Success);
    // In normal mode, and in the loader before the erase, the file pipe
    // takes data but the firmware ignores it.
    QVERIFY(rig.sendImage(QByteArray(10, 'n')));
    QVERIFY(rig.sendCommand("USB-Vemo:BWF!!!"));
    QVERIFY(rig.waitForPnP(EventId::PnPAddNotification));
    QCOMPARE(rig.open(), status::Success);
    QVERIFY(rig.sendImage(QByteArray(10, 'e')));
    SimFixture::settle();
    QCOMPARE(rig.pnpEvents.size(), 2);
    QVERIFY(rig.sendCommand("USB-Vemo:BWF!!!"));
    QVERIFY(rig.waitForReceived("Flash is BLANK\r"));
    QVERIFY(rig.sendImage(QByteArray(10, 'i')));
    QVERIFY(rig.waitForPnP(EventId::PnPAddNotification, 2));
    QCOMPARE(device->image(), QByteArray(10, 'i'));
    QCOMPARE(device->receivedChunks().size(), 3);
}

void TestDevice::resetInLoaderWithoutImageStaysInLoader()
{
    SimFixture sim;
    SimDevice *device = sim.bus.attach(vemo2());
    SimRig rig(sim);
    QCOMPARE(rig.open(), status::Success);
    QVERIFY(rig.sendCommand("USB-Vemo:BWF!!!"));
    QVERIFY(rig.waitForPnP(EventId::PnPAddNotification));
    QCOMPARE(rig.open(), status::Success);
    // Before the erase a reset brings the old firmware back ...
    QVERIFY(rig.sendCommand("USB-Vemo:Reset!"));
    QVERIFY(rig.waitForPnP(EventId::PnPAddNotification, 2));
    QVERIFY(!device->inLoader());
    QCOMPARE(device->firmwareVersion(), QByteArray("2.10"));

    // ... after it, only the loader is left to run.
    QVERIFY(rig.openLoaderAndErase());
    QVERIFY(rig.sendImage(QByteArray(64, 'p'))); // not the end of the image
    QVERIFY(rig.sendCommand("USB-Vemo:Reset!"));
    QVERIFY(rig.waitForPnP(EventId::PnPAddNotification, 4));
    QVERIFY(device->inLoader());
    QVERIFY(device->image().isEmpty());
    // A power cycle does not help either.
    device->powerCycle(0);
    QVERIFY(rig.waitForPnP(EventId::PnPAddNotification, 5));
    QVERIFY(device->inLoader());
}

void TestDevice::resetInNormalModeRestarts()
{
    SimFixture sim;
    SimDevice *device = sim.bus.attach(vemo2());
    SimRig rig(sim);
    QCOMPARE(rig.open(), status::Success);
    QVERIFY(rig.sendCommand("USB-Vemo:Reset!"));
    QVERIFY(rig.waitForPnP(EventId::PnPAddNotification));
    QCOMPARE(rig.pnpEvents,
             (QList<EventId>{EventId::PnPRemoveNotification, EventId::PnPAddNotification}));
    QVERIFY(!device->inLoader());
}

// A device an update left with an erased flash: in its loader from the
// start, without a serial number, erasing in place, and itself again once a
// whole image is in.
void TestDevice::deviceLeftInItsLoader()
{
    QTemporaryDir dir;
    SimFixture sim;
    SimDeviceSettings settings = vemo2();
    settings.bootsInto = SimDeviceSettings::Boot::Loader;
    settings.restartDelayMs = 2;
    settings.stateFile = dir.filePath(QStringLiteral("state.json"));
    SimDevice *device = sim.bus.attach(settings);
    QVERIFY(device->onBus());
    QVERIFY(device->inLoader());
    QCOMPARE(readState(settings.stateFile).value(QStringLiteral("loader")).toBool(), true);

    auto lister = sim.component();
    QCOMPARE(lister->EnumerateDevices(QString::fromLatin1(kDeviceInterfaceGuid)), 1);
    DeviceDescription description;
    QCOMPARE(lister->DescribeDevice(0, description), status::Success);
    QCOMPARE(description.release, kLoaderRelease);
    QVERIFY(description.serialNumber.isEmpty());

    SimRig rig(sim);
    QCOMPARE(rig.open(), status::Success);
    QVERIFY(rig.sendCommand("DEVNR?\r"));
    QVERIFY(rig.sendCommand("USB-Vemo:NSF?!!"));
    QVERIFY(rig.waitForReceived("Vemo2 loader V1.00\r"));
    QVERIFY(rig.sendCommand("USB-Vemo:BWF!!!"));
    QVERIFY(rig.waitForReceived("Flash is BLANK\r"));
    // The loader has nothing else to say, and it stayed on the bus.
    SimFixture::settle();
    QCOMPARE(rig.received(), QByteArray("Vemo2 loader V1.00\rFlash is BLANK\r"));
    QVERIFY(rig.pnpEvents.isEmpty());
    QVERIFY(device->onBus());

    const QByteArray image = testBytes(1000);
    QVERIFY(rig.sendImage(image));
    QVERIFY(rig.waitForPnP(EventId::PnPAddNotification));
    QCOMPARE(device->image(), image);
    QVERIFY(!device->inLoader());
    QCOMPARE(device->firmwareVersion(), QByteArray("2.11"));
    QCOMPARE(lister->EnumerateDevices(QString::fromLatin1(kDeviceInterfaceGuid)), 1);
    QCOMPARE(lister->DescribeDevice(0, description), status::Success);
    QCOMPARE(description.serialNumber, QStringLiteral("123456789"));
    QCOMPARE(description.release, quint16(0x0211));
}

void TestDevice::lifeTicks()
{
    SimFixture sim;
    SimDeviceSettings settings = vemo2();
    settings.lifeTickPeriodMs = 1;
    sim.bus.attach(settings);
    SimRig rig(sim);
    QCOMPARE(rig.open(), status::Success);
    QVERIFY(rig.waitForReceived("VEMO:"));
    bool sawTime = false;
    for (const QByteArray &read : std::as_const(rig.reads)) {
        if (read.startsWith("VEMO:"))
            continue;
        // The host recognises a time of day by these three separators.
        QCOMPARE(read.size(), 12);
        QCOMPARE(read.at(2), ':');
        QCOMPARE(read.at(5), ':');
        QCOMPARE(read.at(8), '.');
        QVERIFY(read.endsWith('\r'));
        sawTime = true;
    }
    QVERIFY(sawTime);
}

void TestDevice::noLifeTicksWhenPeriodIsZero()
{
    SimFixture sim;
    sim.bus.attach(vemo2());
    SimRig rig(sim);
    QCOMPARE(rig.open(), status::Success);
    SimFixture::settle(10);
    QVERIFY(rig.reads.isEmpty());
}

void TestDevice::scriptedAnswers()
{
    SimFixture sim;
    SimDeviceSettings settings = vemo2();
    settings.answers.insert("SST?", "SST 9999 C1  01:02:03.4567 00");
    settings.answers.insert("DEVNR?", "DEVNR12\r"); // a wrong reply on purpose
    settings.answers.insert("CLR", "");
    sim.bus.attach(settings);
    SimRig rig(sim);
    QCOMPARE(rig.open(), status::Success);
    QVERIFY(rig.sendCommand("SST?\r"));
    QVERIFY(rig.sendCommand("CLR\r"));
    QVERIFY(rig.sendCommand("DEVNR?\r"));
    QVERIFY(rig.waitForReceived("DEVNR12\r"));
    SimFixture::settle();
    QCOMPARE(rig.received(), QByteArray("SST 9999 C1  01:02:03.4567 00\rDEVNR12\r"));
}

void TestDevice::deviceOffTheBusTakesNothing()
{
    SimFixture sim;
    SimDeviceSettings settings = vemo2();
    settings.restartDelayMs = 20;
    SimDevice *device = sim.bus.attach(settings);
    SimRig rig(sim);
    QCOMPARE(rig.open(), status::Success);
    QVERIFY(rig.sendCommand("USB-Vemo:BWF!!!"));
    QVERIFY(rig.waitForPnP(EventId::PnPRemoveNotification));
    device->clearRecords();
    // Stale handles: nothing reaches the device while it is away.
    QVERIFY(!rig.sendCommand("DEVNR?\r"));
    device->sendToHost("lost");
    QVERIFY(rig.waitForPnP(EventId::PnPAddNotification));
    QVERIFY(device->receivedPieces().isEmpty());
    QCOMPARE(rig.open(), status::Success);
    SimFixture::settle();
    QVERIFY(!rig.received().contains("lost"));
}

// Every whole image gets a file of its own, numbered on from what the folder
// holds, so a script finds each image of a run and nothing of an earlier one
// is lost.
void TestDevice::imagesAreSavedIntoTheFolder()
{
    QTemporaryDir dir;
    const QString folder = dir.filePath(QStringLiteral("received/images"));
    QVERIFY(QDir().mkpath(folder));
    QFile earlier(folder + QStringLiteral("/bench-001.bin"));
    QVERIFY(earlier.open(QIODevice::WriteOnly));
    earlier.write("an earlier run");
    earlier.close();

    SimFixture sim;
    SimDeviceSettings settings = vemo2();
    settings.imageFolder = folder;
    settings.name = QStringLiteral("bench");
    SimDevice *device = sim.bus.attach(settings);
    SimRig rig(sim);
    const QList<QByteArray> images = {testBytes(100, 1), testBytes(64 * 3 + 5, 2)};
    for (const QByteArray &image : images) {
        QVERIFY(rig.openLoaderAndErase());
        QSignalSpy received(device, &SimDevice::imageReceived);
        QVERIFY(rig.sendImage(image));
        QVERIFY(received.size() == 1 || received.wait(2000));
        rig.clearReceived();
        QVERIFY(SimFixture::waitFor([device] { return device->onBus() && !device->inLoader(); }));
    }
    QCOMPARE(QDir(folder).entryList(QDir::Files, QDir::Name),
             (QStringList{"bench-001.bin", "bench-002.bin", "bench-003.bin"}));
    QCOMPARE(readAll(folder + QStringLiteral("/bench-001.bin")), QByteArray("an earlier run"));
    QCOMPARE(readAll(folder + QStringLiteral("/bench-002.bin")), images.at(0));
    QCOMPARE(readAll(folder + QStringLiteral("/bench-003.bin")), images.at(1));
}

void TestDevice::stateFileFollowsTheDevice()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("state/main.json"));
    SimFixture sim;
    SimDeviceSettings settings = vemo2();
    settings.stateFile = path;
    SimDevice *device = sim.bus.attach(settings);
    const auto stateIs = [&path](const QString &serial, const QString &date,
                                 const QString &firmware, bool loader) {
        const QJsonObject state = readState(path);
        return state.value(QStringLiteral("serial")).toString() == serial &&
               state.value(QStringLiteral("calibrationDate")).toString() == date &&
               state.value(QStringLiteral("firmware")).toString() == firmware &&
               state.value(QStringLiteral("loader")).toBool(true) == loader;
    };
    // There from the start, named by the instance id when no name is given.
    QVERIFY(stateIs("123456789", "13-02-07", "2.10", false));
    QCOMPARE(readState(path).value(QStringLiteral("device")).toString(),
             QStringLiteral("123456789"));
    QCOMPARE(readState(path).value(QStringLiteral("generation")).toString(),
             QStringLiteral("Vemo2"));

    SimRig rig(sim);
    QCOMPARE(rig.open(), Status(0));
    QVERIFY(rig.sendCommand("DEVNR987654321\r"));
    QVERIFY(rig.sendCommand("ABGL24-06-01\r"));
    QVERIFY(SimFixture::waitFor([&] { return stateIs("987654321", "24-06-01", "2.10", false); }));
    QVERIFY(rig.openLoaderAndErase());
    QVERIFY(stateIs("987654321", "24-06-01", "2.10", true));
    QVERIFY(rig.sendImage(testBytes(70, 3)));
    QVERIFY(SimFixture::waitFor(
        [&] { return device->onBus() && stateIs("987654321", "24-06-01", "2.11", false); }));
    // Written aside and renamed: nothing else is left in the folder.
    QCOMPARE(QDir(dir.filePath(QStringLiteral("state"))).entryList(QDir::Files),
             QStringList{"main.json"});
}

QTEST_GUILESS_MAIN(TestDevice)
#include "tst_usbio_device.moc"
