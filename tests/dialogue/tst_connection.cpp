#include "dialogue/UpdateFlow.h"
#include "link/VemoUSBinterface.h"
#include "registry/KeyStore.h"
#include "tests/support/DialogueRig.h"
#include "tests/support/TestBytes.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <stdexcept>

using usbio::Generation;
using Control = dialogue::WindowPort::Control;
using Timer = dialogue::WindowPort::Timer;
using State = dialogue::UpdateFlow::State;

// The connection control without a window, over the simulated bus: opening
// and closing a device, the generation an open prepares for, the driver
// line, the read start's retries, and the dialogue following devices as they
// leave and join the bus. Then what rarely happens: a close whose
// transfer's end opens the device again, and an open that raises inside a
// plug-and-play arrival.
class TestConnection : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void openWithEmptyListDoesNothing();
    void openPreparesTheGeneration_data();
    void openPreparesTheGeneration();
    void controlsFollowOpenAndClose_data();
    void controlsFollowOpenAndClose();
    void openRefused_data();
    void openRefused();
    void readStartRetries_data();
    void readStartRetries();
    void driverLine_data();
    void driverLine();
    void removal_data();
    void removal();
    void arrivalWithoutUpdateOnlyLists();
    void eventsOfAnotherDeviceLeaveTheOpenOneAlone();
    void arrivalDuringUpdateReopensInUpdateMode();
    void closeThatLeavesTheDeviceOpen();
    void reopenDuringAnUpdate_data();
    void reopenDuringAnUpdate();
    void reopenWithADamagedKeyStore();
};

namespace {

const QByteArray kNsf = "USB-Vemo:NSF?!!";

// "on"/"off" for each device control, in the order of the controls table.
QString controlsState(FakeWindowPort &window)
{
    QStringList on;
    for (Control control : {Control::Open, Control::DevicesCB, Control::Close, Control::SendCommand,
                            Control::Update, Control::ChooseFile, Control::DownloadB})
        on << (window.controlEnabled(control) ? QStringLiteral("on") : QStringLiteral("off"));
    return on.join(QLatin1Char(' '));
}

// Every box as "text|caption|flags".
QStringList boxes(DialogueRig &rig)
{
    QStringList result;
    for (const FakeHostServices::Call &box : rig.host().boxes())
        result << QStringLiteral("%1|%2|%3").arg(box.text, box.caption).arg(box.flags);
    return result;
}

} // namespace

void TestConnection::openWithEmptyListDoesNothing()
{
    DialogueRig rig;
    rig.start();
    const QStringList before = rig.lines;
    rig.host().clearCalls();

    rig.dialogue.openClick();

    QCOMPARE(rig.lines, before);
    QVERIFY2(rig.host().calls().isEmpty(), qPrintable(rig.host().journal().join('\n')));
}

void TestConnection::openPreparesTheGeneration_data()
{
    QTest::addColumn<int>("generation");
    QTest::addColumn<QString>("listedAs"); // empty: the generation's own name
    QTest::addColumn<QString>("fileBefore");
    QTest::addColumn<bool>("defaultPresent");
    QTest::addColumn<QString>("filter");
    QTest::addColumn<int>("bwf");
    QTest::addColumn<QString>("fileAfter");

    const QString dir = QStringLiteral("/Homepage/orvik/download/uC/");
    QTest::newRow("Vemo, default present")
        << int(Generation::Vemo) << ""
        << "" << true << "Vemo update files|vemo.exe;vemo.bin" << 20000 << dir + "vemo.exe";
    QTest::newRow("Vemo2, default present")
        << int(Generation::Vemo2) << ""
        << "" << true << "Vemo2 update files|vemo2.exe;vemo2.bin" << 30000 << dir + "vemo2.exe";
    QTest::newRow("Vemo3, default missing")
        << int(Generation::Vemo3) << ""
        << "" << false << "Vemo3 update files|vemo3.exe;vemo3.bin" << 30000 << "";
    QTest::newRow("Vemo3, file field kept")
        << int(Generation::Vemo3) << ""
        << "/data/mine.bin" << true << "Vemo3 update files|vemo3.exe;vemo3.bin" << 30000
        << "/data/mine.bin";
    // Another product that the registry lists under a name holding VEMO.
    QTest::newRow("unknown name") << int(Generation::Vemo2) << "USB\\VID_5E1A&PID_0999\\VEMO-7"
                                  << "" << true << "Vemo update files|vemo.exe;vemo.bin" << 20000
                                  << dir + "vemo.exe";
}

void TestConnection::openPreparesTheGeneration()
{
    QFETCH(int, generation);
    QFETCH(QString, listedAs);
    QFETCH(QString, fileBefore);
    QFETCH(bool, defaultPresent);
    QFETCH(QString, filter);
    QFETCH(int, bwf);
    QFETCH(QString, fileAfter);

    DialogueRig rig;
    rig.attach(Generation(generation), "000004711");
    if (!listedAs.isEmpty())
        rig.store().writeString(registry::RootKey::LocalMachine, DialogueRig::ServiceEnum,
                                QStringLiteral("0"), listedAs);
    if (defaultPresent) {
        for (const char *name : {"vemo.exe", "vemo2.exe", "vemo3.exe"})
            rig.host().presentFiles
                << QStringLiteral("/Homepage/orvik/download/uC/") + QLatin1String(name);
    }
    rig.start();
    rig.fileText = fileBefore;

    rig.dialogue.openClick();

    const QString name = listedAs.isEmpty()
                             ? QString::fromLatin1(usbio::generationName(Generation(generation)))
                             : listedAs.toUpper();
    QVERIFY2(rig.lines.contains(QStringLiteral("Device opend: ") + name + QStringLiteral(" #1")),
             qPrintable(rig.lines.join('\n')));
    QCOMPARE(rig.dialogFilter, filter);
    QCOMPARE(rig.timerInterval(Timer::BWF), bwf);
    QVERIFY(!rig.timerEnabled(Timer::BWF));
    QCOMPARE(rig.fileText, fileAfter);
}

void TestConnection::controlsFollowOpenAndClose_data()
{
    // Steps, one after the other from start-up on: "open", "close" (the
    // buttons), "update" (an update waits for the loader), "idle" (no update
    // any more, its loader request stopped), "refuse" (the device refuses
    // opens from now on).
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<QString>("controls");
    QTest::addColumn<bool>("bwfRunning");
    QTest::addColumn<QString>("lastLine"); // empty: not checked

    const QStringList opened{"open"};
    const QStringList closed = opened + QStringList{"close"};
    const QStringList openedInUpdate = closed + QStringList{"update", "open"};
    const QStringList closedAfterUpdate = openedInUpdate + QStringList{"idle", "close"};
    QTest::newRow("started") << QStringList() << "on on off off off off off" << false << "";
    QTest::newRow("opened") << opened << "off off on on on on on" << false << "";
    // Send Command keeps the state it had.
    QTest::newRow("closed") << closed << "on on off on off off off" << false << "Device closed";
    // An open during an update leaves every device control off.
    QTest::newRow("opened during an update")
        << openedInUpdate << "off off off off off off off" << true << "";
    QTest::newRow("closed after the update")
        << closedAfterUpdate << "on on off off off off off" << false << "Device closed";
    // A refused open changes no control.
    QTest::newRow("open refused") << closedAfterUpdate + QStringList{"refuse", "open"}
                                  << "on on off off off off off" << false << "";
}

void TestConnection::controlsFollowOpenAndClose()
{
    QFETCH(QStringList, steps);
    QFETCH(QString, controls);
    QFETCH(bool, bwfRunning);
    QFETCH(QString, lastLine);

    DialogueRig rig;
    usbio::SimDevice *device = rig.attach(Generation::Vemo2, "000004711");
    rig.start();
    for (const QString &step : steps) {
        if (step == QLatin1String("open")) {
            rig.dialogue.openClick();
        } else if (step == QLatin1String("close")) {
            rig.dialogue.closeClick();
        } else if (step == QLatin1String("update")) {
            rig.dialogue.update().setStateForTest(State::LoaderOpen);
        } else if (step == QLatin1String("idle")) {
            rig.dialogue.update().setStateForTest(State::Idle);
            rig.setTimerEnabled(Timer::BWF, false);
        } else if (step == QLatin1String("refuse")) {
            device->faults().openStatus = usbio::status::AccessDenied;
        } else {
            QFAIL(qPrintable(QStringLiteral("unknown step ") + step));
        }
    }

    QCOMPARE(controlsState(rig), controls);
    QCOMPARE(rig.timerEnabled(Timer::BWF), bwfRunning);
    if (!lastLine.isEmpty())
        QCOMPARE(rig.lines.last(), lastLine);
    // The new-firmware query went out after the first open.
    if (steps == QStringList{"open"})
        QTRY_VERIFY(device->receivedCommands().contains(kNsf));
}

void TestConnection::openRefused_data()
{
    QTest::addColumn<quint32>("status");
    QTest::addColumn<QStringList>("boxes");

    QTest::newRow("in use") << quint32(usbio::status::AccessDenied) << QStringList();
    // The link's box first, then the dialogue's.
    QTest::newRow("wrong driver") << quint32(usbio::status::VersionMismatch)
                                  << QStringList{"Please be shure to have latest driver "
                                                 "installed!|Driver Error!|0",
                                                 "Please update Vemo USB driver!|Wrong driver "
                                                 "version|16"};
}

void TestConnection::openRefused()
{
    QFETCH(quint32, status);
    QFETCH(QStringList, boxes);

    DialogueRig rig;
    usbio::SimDevice *device = rig.attach(Generation::Vemo2, "000004711");
    device->faults().openStatus = status;
    rig.start();
    const int before = int(rig.lines.size());
    rig.host().clearCalls();

    rig.dialogue.openClick();

    const QStringList added = rig.linesFrom(before);
    QCOMPARE(added.size(), 1);
    QCOMPARE(added.first(),
             QStringLiteral("Open: ") + QString::fromLocal8Bit(rig.link()->StatusText(status)));
    QVERIFY(added.first().size() > 6);
    QCOMPARE(::boxes(rig), boxes);
    QVERIFY(!rig.link()->Opened);
    QVERIFY(rig.controlEnabled(Control::Open));
    QVERIFY(!rig.host().busyCursor());
    QVERIFY(device->receivedCommands().isEmpty());
}

void TestConnection::readStartRetries_data()
{
    QTest::addColumn<int>("refusals");
    QTest::addColumn<bool>("reported");

    QTest::newRow("first start refused") << 1 << false;
    QTest::newRow("the fifth retry succeeds") << 5 << false;
    QTest::newRow("every retry refused") << 6 << true;
}

void TestConnection::readStartRetries()
{
    QFETCH(int, refusals);
    QFETCH(bool, reported);

    DialogueRig rig;
    usbio::SimDevice *device = rig.attach(Generation::Vemo2, "000004711");
    device->faults().startReadingFailures = refusals;
    rig.start();

    rig.dialogue.openClick();

    QCOMPARE(rig.lines.contains(QStringLiteral("Could not start reading...")), reported);
    // A seventh start would have taken a refusal left over.
    QCOMPARE(device->faults().startReadingFailures, 0);
    // The device stays open and usable either way.
    QVERIFY(rig.link()->Opened);
    QCOMPARE(controlsState(rig), QStringLiteral("off off on on on on on"));
    QTRY_VERIFY(device->receivedCommands().contains(kNsf));
}

void TestConnection::driverLine_data()
{
    QTest::addColumn<quint32>("driverVersion");
    QTest::addColumn<QString>("line");
    QTest::addColumn<bool>("warned");

    QTest::newRow("2.10") << quint32(2 * 256 + 10)
                          << "API:2.10 Driver:2.10 Driver Built:1234 Flags:0" << true;
    QTest::newRow("2.50") << quint32(2 * 256 + 50)
                          << "API:2.10 Driver:2.50 Driver Built:1234 Flags:0" << false;
    QTest::newRow("3.0") << quint32(3 * 256) << "API:2.10 Driver:3.0 Driver Built:1234 Flags:0"
                         << false;
}

void TestConnection::driverLine()
{
    QFETCH(quint32, driverVersion);
    QFETCH(QString, line);
    QFETCH(bool, warned);

    DialogueRig rig;
    usbio::SimDevice *device = rig.attach(Generation::Vemo2, "000004711");
    device->faults().driverInfo.driverVersion = driverVersion;
    rig.start();

    rig.dialogue.openClick();

    const int at = int(rig.lines.indexOf(line));
    QVERIFY2(at > 0, qPrintable(rig.lines.join('\n')));
    QCOMPARE(rig.lines.at(at - 1), QStringLiteral("Device opend: Vemo2 #1"));
    const QString warning =
        QStringLiteral("Warning Driver Version old! Please update Vemo USB driver!");
    QCOMPARE(rig.lines.value(at + 1) == warning, warned);
}

void TestConnection::removal_data()
{
    QTest::addColumn<bool>("open");
    QTest::addColumn<bool>("updating");
    QTest::newRow("device open") << true << false;
    QTest::newRow("none open") << false << false;
    QTest::newRow("during an update") << true << true;
}

void TestConnection::removal()
{
    QFETCH(bool, open);
    QFETCH(bool, updating);

    DialogueRig rig;
    usbio::SimDevice *device = rig.attach(Generation::Vemo2, "000004711");
    rig.start();
    if (open)
        rig.dialogue.openClick();
    rig.dialogue.update().setStateForTest(updating ? State::LoaderOpen : State::Idle);
    rig.dialogue.setSerialNo("123456789");
    const int before = int(rig.lines.size());

    rig.bus().detach(device);
    QTRY_VERIFY(rig.lines.contains(QStringLiteral("OnPnPRemoveNotification")));

    // The same lines whether a device was open or not.
    QCOMPARE(rig.linesFrom(before), (QStringList{"OnPnPRemoveNotification", "Device closed"}));
    QVERIFY(rig.dialogue.serialNo().isEmpty());
    QVERIFY(!rig.link()->Opened);
    QVERIFY(rig.deviceItems.isEmpty());
    QCOMPARE(controlsState(rig).left(6), QStringLiteral("on on "));
    QCOMPARE(rig.timerEnabled(Timer::RestartVemo), updating);
}

void TestConnection::arrivalWithoutUpdateOnlyLists()
{
    DialogueRig rig;
    rig.attach(Generation::Vemo2, "000004711");
    rig.start();
    const int before = int(rig.lines.size());

    usbio::SimDevice *second = rig.attach(Generation::Vemo3, "000000815");
    QTRY_VERIFY(rig.lines.contains(QStringLiteral("OnPnPAddNotification")));

    // The list shows both, the first selected; nothing is opened.
    QCOMPARE(rig.linesFrom(before), (QStringList{"OnPnPAddNotification"}));
    QVERIFY(!rig.link()->Opened);
    QCOMPARE(rig.deviceItems, (QStringList{"Vemo2 #1", "Vemo3 #2"}));
    QCOMPARE(rig.selectedItem, 0);
    QVERIFY(second->receivedCommands().isEmpty());
}

void TestConnection::eventsOfAnotherDeviceLeaveTheOpenOneAlone()
{
    DialogueRig rig;
    usbio::SimDevice *first = rig.attach(Generation::Vemo2, "000004711");
    usbio::SimDevice *open = rig.attach(Generation::Vemo3, "000000815");
    rig.start();
    rig.selectDeviceItem(1);
    rig.dialogue.openClick();
    QTRY_VERIFY(open->receivedCommands().contains(kNsf));
    QTRY_VERIFY(!rig.lines.filter(QStringLiteral("Vemo3 firmware V")).isEmpty());
    rig.dialogue.setSerialNo("000000815");
    const int before = int(rig.lines.size());

    // The other device restarts (another instance updating it, say): it
    // leaves and comes back. Each event is listed, and the open device, its
    // state and what runs on it go on.
    first->powerCycle(30);
    QTRY_VERIFY(rig.lines.contains(QStringLiteral("OnPnPAddNotification")));
    QCOMPARE(rig.linesFrom(before),
             (QStringList{"OnPnPRemoveNotification", "OnPnPAddNotification"}));
    QVERIFY(rig.link()->Opened);
    QCOMPARE(rig.dialogue.serialNo(), QByteArray("000000815"));
    QCOMPARE(controlsState(rig), QStringLiteral("off off on on on on on"));
    QCOMPARE(rig.deviceItems.size(), 2);
    QCOMPARE(rig.selectedItem, 1);

    // Taken away for good, it leaves the open device first in the list,
    // and selected.
    rig.bus().detach(first);
    QTRY_COMPARE(rig.deviceItems.size(), 1);
    QCOMPARE(rig.selectedItem, 0);
    QVERIFY(rig.link()->Opened);
    QCOMPARE(rig.link()->SendCommand("NSF?\r"), usbio::status::Success);
    QTRY_VERIFY(open->receivedCommands().contains("NSF?"));
    QVERIFY(first->receivedCommands().isEmpty());

    // Its own removal closes it, as ever.
    rig.bus().detach(open);
    QTRY_VERIFY(!rig.link()->Opened);
    QVERIFY(rig.lines.contains(QStringLiteral("Device closed")));
    QVERIFY(rig.dialogue.serialNo().isEmpty());
}

void TestConnection::arrivalDuringUpdateReopensInUpdateMode()
{
    DialogueRig rig;
    usbio::SimDevice *device = rig.attach(Generation::Vemo3, "000004711");
    rig.start();
    rig.dialogue.openClick();
    QTRY_VERIFY(device->receivedCommands().contains(kNsf));
    device->clearRecords();
    rig.dialogue.update().setStateForTest(State::LoaderOpen);

    // The device restarts: it leaves the bus and comes back.
    device->powerCycle(50);
    QTRY_VERIFY(rig.timerEnabled(Timer::RestartVemo));
    QTRY_VERIFY(rig.lines.contains(QStringLiteral("OnPnPAddNotification")));
    QTRY_VERIFY(rig.link()->Opened);

    QVERIFY(!rig.timerEnabled(Timer::RestartVemo));
    QVERIFY(rig.timerEnabled(Timer::BWF));
    QCOMPARE(rig.timerInterval(Timer::BWF), 30000);
    QCOMPARE(controlsState(rig), QStringLiteral("off off off off off off off"));
    const int arrived = int(rig.lines.indexOf(QStringLiteral("OnPnPAddNotification")));
    QCOMPARE(rig.lines.mid(arrived, 2),
             (QStringList{"OnPnPAddNotification", "Device opend: Vemo3 #1"}));
    // In update mode the open sends no new-firmware query: the device has
    // everything sent before a later command, and no query among it.
    QList<QByteArray> sent;
    QVERIFY(rig.commandsBeforeMarker(device, sent));
    QVERIFY2(!sent.contains(kNsf), sent.join(' ').constData());
}

void TestConnection::closeThatLeavesTheDeviceOpen()
{
    QTemporaryDir dir;
    const QString image = dir.filePath(QStringLiteral("vemo2.bin"));
    {
        QFile file(image);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(testBytes(1000));
    }
    DialogueRig rig;
    rig.attach(Generation::Vemo2, "000004711");
    rig.start();
    rig.dialogue.openClick();
    // Whoever hears of the cut-short transfer opens the device again.
    const TFileFailedEvent bound = rig.link()->OnFileFailed;
    rig.link()->OnFileFailed = [&](TObject *sender, const AnsiString &fileName, qint64 sent,
                                   qint64 size, usbio::Status reason) {
        bound(sender, fileName, sent, size, reason);
        rig.link()->OpenDevice(0);
    };
    QCOMPARE(controlsState(rig), QStringLiteral("off off on on on on on"));
    QCOMPARE(rig.link()->SendFile(QFile::encodeName(image)), usbio::status::Success);
    const int before = int(rig.lines.size());

    rig.dialogue.closeClick();

    QVERIFY(rig.link()->Opened);
    const QStringList added = rig.linesFrom(before);
    QVERIFY2(added.size() == 2 && added.first().startsWith("Firmware transfer failed: "),
             qPrintable(added.join('\n')));
    QCOMPARE(added.last(), QStringLiteral("Device NOT closed!"));
    // A refused close changes no control.
    QCOMPARE(controlsState(rig), QStringLiteral("off off on on on on on"));
}

void TestConnection::reopenDuringAnUpdate_data()
{
    QTest::addColumn<bool>("openRaises");

    // Something under the open raises after the device opened (the probe
    // failing mid-way): said in one line, and the update waits for a replug.
    QTest::newRow("open raises") << true;
    // A refused open only has its own line.
    QTest::newRow("open refused") << false;
}

void TestConnection::reopenDuringAnUpdate()
{
    QFETCH(bool, openRaises);

    DialogueRig rig;
    rig.start();
    // The device is away, restarting into its loader.
    rig.dialogue.update().setStateForTest(dialogue::UpdateFlow::State::DeviceAway);
    rig.setTimerEnabled(Timer::RestartVemo, true);
    const int before = int(rig.lines.size());
    if (openRaises) {
        rig.onLog = [](const QString &line) {
            if (line.startsWith(QLatin1String("Device opend: ")))
                throw std::runtime_error("the registry cannot be read");
        };
    }

    usbio::SimDeviceSettings settings;
    settings.serialNumber = "000004711";
    usbio::SimDevice *device = rig.bus().attach(settings);
    if (!openRaises)
        device->faults().openStatus = usbio::status::AccessDenied;
    const QString last =
        openRaises
            ? QStringLiteral("Could not open Device")
            : QStringLiteral("Open: ") +
                  QString::fromLocal8Bit(rig.link()->StatusText(usbio::status::AccessDenied));
    QTRY_VERIFY(rig.lines.contains(last));
    rig.onLog = nullptr;

    const QStringList added = rig.linesFrom(before);
    QCOMPARE(added.first(), QStringLiteral("OnPnPAddNotification"));
    QCOMPARE(added.last(), last);
    QCOMPARE(added.size(), openRaises ? 3 : 2);
    QVERIFY(!rig.timerEnabled(Timer::RestartVemo));
    QVERIFY(!rig.timerEnabled(Timer::BWF));
    QCOMPARE(rig.link()->Opened, openRaises);
    // The update goes on, waiting for the device.
    QCOMPARE(rig.updateState(), dialogue::UpdateFlow::State::Stalled);
    QVERIFY(rig.dialogue.update().updating());
    QCOMPARE(rig.deviceItems, QStringList{"Vemo2 #1"});
}

void TestConnection::reopenWithADamagedKeyStore()
{
    DialogueRig rig;
    rig.start();
    rig.dialogue.update().setStateForTest(dialogue::UpdateFlow::State::DeviceAway);
    rig.setTimerEnabled(Timer::RestartVemo, true);
    QVERIFY(QFile::exists(rig.store().filePath()));
    // Another program spoils the key store while the device restarts.
    {
        QFile file(rig.store().filePath());
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write("{\"format\": \"vemo-registry\", \"roo");
    }
    const int before = int(rig.lines.size());

    usbio::SimDeviceSettings settings;
    settings.serialNumber = "000004711";
    rig.bus().attach(settings);
    QTRY_VERIFY(rig.link()->Opened);

    // The device list and the open go on from the keys read before.
    QCOMPARE(rig.deviceItems, QStringList{"Vemo2 #1"});
    QVERIFY(rig.link()->Opened);
    QCOMPARE(rig.updateState(), dialogue::UpdateFlow::State::LoaderOpen);
    QVERIFY(rig.timerEnabled(Timer::BWF));
    QVERIFY(rig.host().boxes().isEmpty());
    QCOMPARE(rig.linesFrom(before).value(0), QStringLiteral("OnPnPAddNotification"));
}

QTEST_GUILESS_MAIN(TestConnection)
#include "tst_connection.moc"
