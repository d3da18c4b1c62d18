#include "dialogue/DeviceChoice.h"
#include "dialogue/UpdateFlow.h"
#include "link/VemoUSBinterface.h"
#include "tests/support/DialogueRig.h"
#include "usbio/devicemodel/VemoFirmware.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using dialogue::DeviceChoice;
using usbio::DeviceDescription;
using usbio::Generation;
using Lookup = DeviceChoice::Lookup;
using Timer = dialogue::WindowPort::Timer;

Q_DECLARE_METATYPE(Lookup::Result)
Q_DECLARE_METATYPE(dialogue::EndKind)

// The device a run is told to work with (--device) among several devices
// of each generation on the simulated bus: found by its serial number or its
// bus path, refused when it is not attached or not one, the only device
// opened; and the device followed through its loader restart by its path,
// with another device in its place refused instead of loaded.
class TestDeviceChoice : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void find_data();
    void find();
    void listSelectsTheNamedDevice_data();
    void listSelectsTheNamedDevice();
    void runsWorkWithTheNamedDeviceOnly_data();
    void runsWorkWithTheNamedDeviceOnly();
    void openOfTheWindowOpensTheNamedDevice();
    void updateFollowsTheDeviceByItsPath();
    void loaderWithoutSerialKeepsTheNumberKnown();
    void anotherDeviceWhereTheUpdatedOneLeft_data();
    void anotherDeviceWhereTheUpdatedOneLeft();
    void verificationFollowsTheUpdatedDevice_data();
    void verificationFollowsTheUpdatedDevice();
    void backAtAnotherSocket_data();
    void backAtAnotherSocket();
};

namespace {

DeviceDescription described(const QString &path, const QString &serial,
                            quint16 product = usbio::kVemo2ProductId)
{
    DeviceDescription d;
    d.vendorId = usbio::kVendorId;
    d.productId = product;
    d.serialNumber = serial;
    d.busPath = path;
    return d;
}

struct Bench
{
    Generation generation;
    QByteArray serial;
    QString id;
};

// Two of each generation; two Vemo2 give the same serial number.
const QList<Bench> kBench{
    {Generation::Vemo2, "200000001", QStringLiteral("1-1.1")},
    {Generation::Vemo3, "300000001", QStringLiteral("1-1.2")},
    {Generation::Vemo, "100000001", QStringLiteral("1-1.3")},
    {Generation::Vemo2, "DUPLICATE", QStringLiteral("1-1.4")},
    {Generation::Vemo, "100000002", QStringLiteral("1-2")},
    {Generation::Vemo3, "300000002", QStringLiteral("2-1")},
    {Generation::Vemo2, "DUPLICATE", QStringLiteral("2-2")},
};

usbio::SimDevice *attachBench(DialogueRig &rig, const Bench &b, int restartDelayMs = 0)
{
    usbio::SimDeviceSettings settings;
    settings.generation = b.generation;
    settings.serialNumber = b.serial;
    settings.id = b.id;
    // Two devices that give one serial number are two instances all the same.
    settings.instanceId = QStringLiteral("inst-") + QString(b.id).replace('.', '_');
    settings.restartDelayMs = restartDelayMs;
    settings.loaderAnnouncesBlank = true;
    return rig.bus().attach(settings);
}

QList<usbio::SimDevice *> attachAll(DialogueRig &rig)
{
    QList<usbio::SimDevice *> devices;
    for (const Bench &b : kBench)
        devices << attachBench(rig, b);
    return devices;
}

QString imageFile(const QTemporaryDir &dir, int size = 1000)
{
    const QString path = dir.filePath(QStringLiteral("image.bin"));
    QFile file(path);
    if (file.open(QIODevice::WriteOnly))
        file.write(QByteArray(size, 'i'));
    return path;
}

} // namespace

void TestDeviceChoice::find_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<Lookup::Result>("result");
    QTest::addColumn<int>("index");

    QTest::newRow("serial") << "300000001" << Lookup::Result::Found << 1;
    QTest::newRow("serial in other letters") << "v10000442" << Lookup::Result::Found << 2;
    QTest::newRow("path") << "1-1.3" << Lookup::Result::Found << 2;
    QTest::newRow("path of a device without serial") << "2-1" << Lookup::Result::Found << 4;
    // A path is looked for first: a serial number that reads like another
    // device's path does not take it.
    QTest::newRow("path before serial") << "1-1.2" << Lookup::Result::Found << 3;
    QTest::newRow("absent serial") << "999999999" << Lookup::Result::NotAttached << -1;
    QTest::newRow("absent path") << "1-1.9" << Lookup::Result::NotAttached << -1;
    QTest::newRow("the hub, not a device") << "1-1" << Lookup::Result::NotAttached << -1;
    QTest::newRow("a serial number's start") << "3000" << Lookup::Result::NotAttached << -1;
    QTest::newRow("serial of two devices") << "DUPLICATE" << Lookup::Result::Ambiguous << -1;
    QTest::newRow("one of them by its path") << "2-2" << Lookup::Result::Found << 6;
}

void TestDeviceChoice::find()
{
    QFETCH(QString, name);
    QFETCH(Lookup::Result, result);
    QFETCH(int, index);
    const QList<DeviceDescription> listed{
        described(QStringLiteral("1-1.1"), QStringLiteral("200000001")),
        described(QStringLiteral("1-1.4"), QStringLiteral("300000001"), usbio::kVemo3ProductId),
        described(QStringLiteral("1-1.3"), QStringLiteral("V10000442"), usbio::kVemoProductId),
        described(QStringLiteral("1-1.2"), QStringLiteral("1-1.2")),
        described(QStringLiteral("2-1"), QString()), // in its loader
        described(QStringLiteral("2-3"), QStringLiteral("DUPLICATE")),
        described(QStringLiteral("2-2"), QStringLiteral("duplicate")),
    };
    const Lookup lookup = DeviceChoice::find(listed, name);
    QCOMPARE(lookup.result, result);
    QCOMPARE(lookup.index, index);
}

void TestDeviceChoice::listSelectsTheNamedDevice_data()
{
    QTest::addColumn<QString>("named");
    QTest::addColumn<int>("selected");
    QTest::newRow("none named: the first") << QString() << 0;
    QTest::newRow("by serial") << "100000002" << 4;
    QTest::newRow("by path") << "2-1" << 5;
    QTest::newRow("not attached: none") << "1-9" << -1;
    QTest::newRow("not one: none") << "DUPLICATE" << -1;
}

void TestDeviceChoice::listSelectsTheNamedDevice()
{
    QFETCH(QString, named);
    QFETCH(int, selected);
    DialogueRig rig;
    attachAll(rig);
    rig.dialogue.deviceChoice().setNamed(named);
    rig.start();
    // Every device is listed, whichever is named.
    QCOMPARE(rig.deviceItems.size(), kBench.size());
    QCOMPARE(rig.deviceItems.at(1), QStringLiteral("Vemo3 #2"));
    QCOMPARE(rig.selectedDeviceIndex(), selected);
}

void TestDeviceChoice::runsWorkWithTheNamedDeviceOnly_data()
{
    QTest::addColumn<QString>("named");
    QTest::addColumn<bool>("serialRun");
    QTest::addColumn<int>("device"); // of the bench; -1: refused
    QTest::addColumn<QString>("line");

    const QString attached = QStringLiteral(
        "attached: Vemo2 200000001 at 1-1.1, Vemo3 300000001 at 1-1.2, Vemo 100000001 at 1-1.3, "
        "Vemo2 DUPLICATE at 1-1.4, Vemo 100000002 at 1-2, Vemo3 300000002 at 2-1, Vemo2 "
        "DUPLICATE at 2-2");
    for (const bool serialRun : {false, true}) {
        const char *run = serialRun ? "serial run" : "update";
        QTest::addRow("%s, by serial", run) << "300000002" << serialRun << 5 << QString();
        QTest::addRow("%s, by path", run) << "1-1.3" << serialRun << 2 << QString();
        QTest::addRow("%s, one of a serial's two by path", run)
            << "1-1.4" << serialRun << 3 << QString();
        QTest::addRow("%s, absent", run)
            << "400000000" << serialRun << -1 << "Device '400000000' is not attached; " + attached;
        QTest::addRow("%s, ambiguous", run)
            << "duplicate" << serialRun << -1
            << "Device 'duplicate' is not one device: several give this serial number, name it "
               "by its bus path; " +
                   attached;
    }
}

void TestDeviceChoice::runsWorkWithTheNamedDeviceOnly()
{
    QFETCH(QString, named);
    QFETCH(bool, serialRun);
    QFETCH(int, device);
    QFETCH(QString, line);

    QTemporaryDir dir;
    DialogueRig rig;
    const QList<usbio::SimDevice *> devices = attachAll(rig);
    rig.dialogue.deviceChoice().setNamed(named);
    rig.start({serialRun ? QStringLiteral("/SERIAL123456789") : imageFile(dir)});

    if (device < 0) {
        // One line, as the box the run shows; nothing opened, nothing sent.
        QCOMPARE(rig.ends.size(), 1);
        QCOMPARE(rig.ends.first().kind, dialogue::EndKind::NoDevice);
        QCOMPARE(rig.ends.first().reason, line);
        QCOMPARE(rig.host().boxes().size(), 1);
        QCOMPARE(rig.host().boxes().first().text, line);
        QVERIFY(!rig.link()->Opened);
    } else {
        QVERIFY(rig.link()->Opened);
        QCOMPARE(rig.selectedDeviceIndex(), device);
        const QByteArray first = serialRun ? "DEVNR123456789" : "USB-Vemo:BWF!!!";
        QTRY_VERIFY(devices.at(device)->receivedCommands().contains(first));
    }
    QTest::qWait(20);
    // No other device heard a word.
    for (int i = 0; i < devices.size(); ++i) {
        if (i != device)
            QVERIFY2(devices.at(i)->receivedPieces().isEmpty(), qPrintable(kBench.at(i).id));
    }
    rig.setTimerEnabled(Timer::BWF, false);
}

void TestDeviceChoice::openOfTheWindowOpensTheNamedDevice()
{
    DialogueRig rig;
    const QList<usbio::SimDevice *> devices = attachAll(rig);
    rig.dialogue.deviceChoice().setNamed(QStringLiteral("1-2"));
    rig.start();
    // The operator picks another item: Open still opens the named device.
    rig.selectDeviceItem(0);
    rig.dialogue.openClick();
    QVERIFY(rig.link()->Opened);
    QCOMPARE(rig.selectedDeviceIndex(), 4);
    QCOMPARE(rig.lines.filter(QStringLiteral("Device opend:")),
             QStringList{QStringLiteral("Device opend: Vemo #5")});
    rig.dialogue.closeClick();

    // Gone: nothing is opened, and the line says what is attached.
    rig.bus().detach(devices.at(4));
    QTRY_COMPARE(rig.deviceItems.size(), kBench.size() - 1);
    QCOMPARE(rig.selectedDeviceIndex(), -1);
    const int before = int(rig.lines.size());
    rig.dialogue.openClick();
    QVERIFY(!rig.link()->Opened);
    const QStringList added = rig.linesFrom(before);
    QCOMPARE(added.size(), 1);
    QVERIFY2(added.first().startsWith("Device '1-2' is not attached; attached: Vemo2 200000001 "
                                      "at 1-1.1, "),
             qPrintable(added.first()));
    QVERIFY(!added.first().contains(QStringLiteral("100000002")));
}

void TestDeviceChoice::updateFollowsTheDeviceByItsPath()
{
    QTemporaryDir dir;
    DialogueRig rig;
    QList<usbio::SimDevice *> devices;
    for (const Bench &b : kBench)
        devices << attachBench(rig, b, 30);
    rig.dialogue.deviceChoice().setNamed(QStringLiteral("300000001"));
    const QString image = imageFile(dir, 64 * 3 + 5);
    rig.start({image});

    // Through its loader and back, the named device takes the image; the
    // others hear nothing of it.
    usbio::SimDevice *named = devices.at(1);
    QTRY_VERIFY_WITH_TIMEOUT(!rig.ends.isEmpty(), 10000);
    QCOMPARE(rig.ends.first().failed(), false);
    QCOMPARE(named->image(), QByteArray(64 * 3 + 5, 'i'));
    QCOMPARE(rig.lines.filter(QStringLiteral("Device opend:")),
             (QStringList{"Device opend: Vemo3 #2", "Device opend: Vemo3 #2"}));
    for (int i = 0; i < devices.size(); ++i) {
        if (i != 1)
            QVERIFY(devices.at(i)->receivedPieces().isEmpty());
    }
}

void TestDeviceChoice::loaderWithoutSerialKeepsTheNumberKnown()
{
    DialogueRig rig;
    attachAll(rig);
    rig.start();
    DeviceChoice &choice = rig.dialogue.deviceChoice();
    choice.follow(
        rig, 1,
        described(QStringLiteral("1-1.2"), QStringLiteral("300000001"), usbio::kVemo3ProductId));
    QCOMPARE(choice.followedName(), QStringLiteral("Vemo3"));
    // Its loader at its path gives none: still the device whose number is known.
    choice.follow(rig, 1, described(QStringLiteral("1-1.2"), QString(), usbio::kVemo3ProductId));
    QVERIFY(choice.following());
    QCOMPARE(choice.followed()->serialNumber, QStringLiteral("300000001"));
    // Another device, or one at another path, is followed as it is.
    choice.follow(rig, 2, described(QStringLiteral("1-1.3"), QString(), usbio::kVemoProductId));
    QCOMPARE(choice.followed()->serialNumber, QString());
    QCOMPARE(choice.followedName(), QStringLiteral("Vemo"));
    choice.forget();
    QVERIFY(!choice.following());
}

void TestDeviceChoice::anotherDeviceWhereTheUpdatedOneLeft_data()
{
    QTest::addColumn<QString>("comes"); // what arrives while the device is away
    QTest::addColumn<QString>("line");  // empty: it is not refused
    QTest::addColumn<bool>("autoUpdate");

    QTest::newRow("another generation at its path")
        << "Vemo 1-1.2 100000009"
        << "Another device came where Vemo3 300000001 at 1-1.2 left: Vemo 100000009 at 1-1.2; "
           "it is not loaded"
        << true;
    QTest::newRow("another serial number at its path")
        << "Vemo3 1-1.2 300000009"
        << "Another device came where Vemo3 300000001 at 1-1.2 left: Vemo3 300000009 at 1-1.2; "
           "it is not loaded"
        << true;
    QTest::newRow("it, at another path")
        << "Vemo3 3-1 300000001"
        << "Vemo3 300000001 at 1-1.2 came back at 3-1, not where it left; it is not loaded" << true;
    QTest::newRow("the operator's update: a box")
        << "Vemo 1-1.2 100000009"
        << "Another device came where Vemo3 300000001 at 1-1.2 left: Vemo 100000009 at 1-1.2; "
           "it is not loaded"
        << false;
    // At its path in a loader (no serial number) of its generation: it is
    // taken for the device that left.
    QTest::newRow("a loader of its generation at its path") << "Vemo3 1-1.2 -" << QString() << true;
    // Elsewhere, another device is only listed; the update waits on.
    QTest::newRow("another device elsewhere") << "Vemo2 3-1 200000009" << QString() << true;
}

void TestDeviceChoice::anotherDeviceWhereTheUpdatedOneLeft()
{
    QFETCH(QString, comes);
    QFETCH(QString, line);
    QFETCH(bool, autoUpdate);

    DialogueRig rig;
    const QList<usbio::SimDevice *> devices = attachAll(rig);
    rig.dialogue.deviceChoice().setNamed(QStringLiteral("1-1.2"));
    rig.start();
    rig.dialogue.openClick();
    QVERIFY(rig.link()->Opened);
    rig.dialogue.update().setStateForTest(dialogue::UpdateFlow::State::LoaderOpen);
    if (autoUpdate)
        rig.dialogue.update().beginUnattended(false);

    // The device leaves for its loader, and something else arrives.
    rig.bus().detach(devices.at(1));
    QTRY_VERIFY(rig.timerEnabled(Timer::RestartVemo));
    QVERIFY(!rig.link()->Opened);
    const int before = int(rig.lines.size());
    const QStringList parts = comes.split(' ');
    usbio::SimDeviceSettings settings;
    settings.generation = parts.at(0) == QLatin1String("Vemo")    ? Generation::Vemo
                          : parts.at(0) == QLatin1String("Vemo2") ? Generation::Vemo2
                                                                  : Generation::Vemo3;
    settings.id = parts.at(1);
    settings.serialNumber =
        parts.at(2) == QLatin1String("-") ? QByteArray("000000000") : parts.at(2).toLatin1();
    settings.instanceId = QStringLiteral("newcomer");
    usbio::SimDevice *newcomer = rig.bus().attach(settings);
    if (parts.at(2) == QLatin1String("-")) {
        // Into its loader before anyone looks at it.
        newcomer->firmware().receive(usbio::kCommandEndpoint, "USB-Vemo:BWF!!!");
    }
    QTRY_VERIFY(rig.lines.mid(before).contains(QStringLiteral("OnPnPAddNotification")));
    QTest::qWait(50);

    if (line.isEmpty()) {
        const bool opened = parts.at(1) == QLatin1String("1-1.2");
        QTRY_COMPARE(rig.link()->Opened, opened);
        QVERIFY(rig.ends.isEmpty());
        QCOMPARE(rig.timerEnabled(Timer::RestartVemo), !opened);
        return;
    }
    // Refused: one line, nothing opened, nothing sent to it.
    QVERIFY(rig.lines.mid(before).contains(line));
    QVERIFY(!rig.link()->Opened);
    QVERIFY(newcomer->receivedPieces().isEmpty());
    QVERIFY(!rig.timerEnabled(Timer::RestartVemo));
    QVERIFY(!rig.timerEnabled(Timer::BWF));
    if (autoUpdate) {
        QCOMPARE(rig.ends.size(), 1);
        QCOMPARE(rig.ends.first().reason, line);
        QCOMPARE(rig.ends.first().kind, dialogue::EndKind::ImageNotLoaded);
    } else {
        QVERIFY(rig.ends.isEmpty());
        QCOMPARE(rig.host().boxes().size(), 1);
        QCOMPARE(rig.host().boxes().first().text, line);
    }
}

void TestDeviceChoice::verificationFollowsTheUpdatedDevice_data()
{
    QTest::addColumn<QString>("named"); // empty: the bench's Vemo3 at 1-1.2 alone
    QTest::addColumn<QString>("comes"); // arrives as the device restarts with its image
    QTest::addColumn<bool>("replaces"); // and the updated device stays away
    QTest::addColumn<dialogue::EndKind>("kind");
    QTest::addColumn<QString>("reason"); // empty: the update's own done end

    QTest::newRow("among others, by path")
        << "1-1.2" << QString() << false << dialogue::EndKind::Done << QString();
    QTest::newRow("among others, by serial")
        << "300000001" << QString() << false << dialogue::EndKind::Done << QString();
    // Before it is back another device arrives elsewhere: only listed.
    QTest::newRow("another device elsewhere first")
        << "300000001"
        << "Vemo2 3-1 200000009" << false << dialogue::EndKind::Done << QString();
    QTest::newRow("another device elsewhere first, none named")
        << QString() << "Vemo3 3-1 300000009" << false << dialogue::EndKind::Done << QString();
    QTest::newRow("another device at its path")
        << "1-1.2"
        << "Vemo3 1-1.2 300000009" << true << dialogue::EndKind::ImageNotLoaded
        << "verification failed: Another device came where Vemo3 300000001 at 1-1.2 left: Vemo3 "
           "300000009 at 1-1.2";
    QTest::newRow("it, at another path")
        << "300000001"
        << "Vemo3 3-1 300000001" << true << dialogue::EndKind::ImageNotLoaded
        << "verification failed: Vemo3 300000001 at 1-1.2 came back at 3-1, not where it left";
}

void TestDeviceChoice::verificationFollowsTheUpdatedDevice()
{
    QFETCH(QString, named);
    QFETCH(QString, comes);
    QFETCH(bool, replaces);
    QFETCH(dialogue::EndKind, kind);
    QFETCH(QString, reason);

    QTemporaryDir dir;
    DialogueRig rig;
    rig.dialogue.setRunSettings({false, true, QString()});
    QList<usbio::SimDevice *> devices;
    for (const Bench &b : kBench) {
        if (!named.isEmpty() || b.id == QLatin1String("1-1.2"))
            devices << attachBench(rig, b, 30);
    }
    usbio::SimDevice *updated = devices.at(named.isEmpty() ? 0 : 1);
    usbio::SimDevice *newcomer = nullptr;
    // As the device leaves to boot its new image, and before it is back.
    QObject::connect(updated, &usbio::SimDevice::busStateChanged, updated, [&](bool onBus) {
        if (onBus || updated->image().isEmpty() || newcomer || comes.isEmpty())
            return;
        if (replaces)
            rig.bus().detach(updated);
        const QStringList parts = comes.split(' ');
        usbio::SimDeviceSettings settings;
        settings.generation =
            parts.at(0) == QLatin1String("Vemo2") ? Generation::Vemo2 : Generation::Vemo3;
        settings.id = parts.at(1);
        settings.serialNumber = parts.at(2).toLatin1();
        settings.instanceId = QStringLiteral("newcomer");
        newcomer = rig.bus().attach(settings);
    });
    rig.dialogue.deviceChoice().setNamed(named);
    rig.start({imageFile(dir, 64 * 3 + 5)});

    QTRY_VERIFY_WITH_TIMEOUT(!rig.ends.isEmpty(), 10000);
    QCOMPARE(rig.ends.first().kind, kind);
    if (!reason.isEmpty())
        QCOMPARE(rig.ends.first().reason, reason);
    QCOMPARE(updated->image(), QByteArray(64 * 3 + 5, 'i'));
    // Opened for the update, in its loader, and back with its image; no
    // other device heard a word.
    const QString opened =
        QStringLiteral("Device opend: Vemo3 #") + QString::number(named.isEmpty() ? 1 : 2);
    QCOMPARE(rig.lines.filter(QStringLiteral("Device opend:")),
             QStringList(replaces ? 2 : 3, opened));
    QCOMPARE(rig.lines.filter(QStringLiteral("firmware after update: ")).size(), replaces ? 0 : 1);
    for (usbio::SimDevice *device : devices) {
        if (device != updated)
            QVERIFY(device->receivedPieces().isEmpty());
    }
    if (newcomer)
        QVERIFY(newcomer->receivedPieces().isEmpty());
    else
        QVERIFY(comes.isEmpty());
}

void TestDeviceChoice::backAtAnotherSocket_data()
{
    QTest::addColumn<QString>("named");     // --device; empty: none
    QTest::addColumn<bool>("other");        // another device stays attached
    QTest::addColumn<QByteArray>("serial"); // the serial it comes back with; "-": its loader's none
    QTest::addColumn<bool>("opened");

    // Alone on the bus, the device that left is the one back, wherever it is.
    QTest::newRow("alone, in its loader") << "" << false << QByteArray("-") << true;
    QTest::newRow("alone, its serial number") << "" << false << QByteArray("200000001") << true;
    // Another serial number is another device, alone or not.
    QTest::newRow("alone, another serial number")
        << "" << false << QByteArray("200000009") << false;
    // Told its device, or among others, the run keeps to the socket it left.
    QTest::newRow("named, in its loader") << "200000001" << false << QByteArray("-") << false;
    QTest::newRow("among others, in its loader") << "" << true << QByteArray("-") << false;
}

// The device restarts into its loader and comes back at another socket
// during an operator's update.
void TestDeviceChoice::backAtAnotherSocket()
{
    QFETCH(QString, named);
    QFETCH(bool, other);
    QFETCH(QByteArray, serial);
    QFETCH(bool, opened);

    DialogueRig rig;
    usbio::SimDeviceSettings settings;
    settings.generation = Generation::Vemo2;
    settings.serialNumber = "200000001";
    settings.id = QStringLiteral("1-1.1");
    usbio::SimDevice *device = rig.bus().attach(settings);
    if (other) {
        usbio::SimDeviceSettings another;
        another.generation = Generation::Vemo3;
        another.serialNumber = "300000001";
        another.id = QStringLiteral("1-1.4");
        rig.bus().attach(another);
    }
    rig.dialogue.deviceChoice().setNamed(named);
    rig.start();
    rig.selectDeviceItem(0);
    rig.dialogue.openClick();
    QVERIFY(rig.link()->Opened);
    rig.dialogue.update().setStateForTest(dialogue::UpdateFlow::State::LoaderOpen);

    rig.bus().detach(device);
    QTRY_COMPARE(rig.updateState(), dialogue::UpdateFlow::State::DeviceAway);
    settings.id = QStringLiteral("1-1.3");
    settings.serialNumber = serial == "-" ? QByteArray("000000000") : serial;
    settings.instanceId = QStringLiteral("back");
    usbio::SimDevice *back = rig.bus().attach(settings);
    if (serial == "-")
        back->firmware().receive(usbio::kCommandEndpoint, "USB-Vemo:BWF!!!");
    QTRY_COMPARE(rig.deviceItems.size(), other ? 2 : 1);

    if (opened) {
        QTRY_COMPARE(rig.updateState(), dialogue::UpdateFlow::State::LoaderOpen);
        QVERIFY(rig.link()->Opened);
        QVERIFY(rig.timerEnabled(Timer::BWF));
        QVERIFY(!rig.timerEnabled(Timer::RestartVemo));
    } else {
        // The reminder goes on (or the update refuses it): nothing is opened.
        QTRY_VERIFY(rig.lines.contains(QStringLiteral("OnPnPAddNotification")));
        QVERIFY(!rig.link()->Opened);
        QVERIFY(back->receivedPieces().isEmpty());
        QVERIFY(rig.updateState() != dialogue::UpdateFlow::State::LoaderOpen);
    }
    rig.setTimerEnabled(Timer::BWF, false);
    rig.setTimerEnabled(Timer::RestartVemo, false);
}

QTEST_GUILESS_MAIN(TestDeviceChoice)
#include "tst_devicechoice.moc"
