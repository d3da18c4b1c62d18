#include "link/VemoUSBinterface.h"
#include "tests/support/DialogueRig.h"
#include "tests/support/TestBytes.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <stdexcept>

using usbio::Generation;
using Control = dialogue::WindowPort::Control;
using Timer = dialogue::WindowPort::Timer;

// The connection control without a window, where something does what
// rarely happens: a close whose transfer's end opens the device again, and
// an open that raises inside a plug-and-play arrival.
class TestConnection : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void closeThatLeavesTheDeviceOpen();
    void reopenDuringAnUpdate_data();
    void reopenDuringAnUpdate();
    void reopenWithADamagedKeyStore();
};

namespace {

// "on"/"off" for each device control, in the order of the controls table.
QString controlsState(FakeWindowPort &window)
{
    QStringList on;
    for (Control control : {Control::Open, Control::DevicesCB, Control::Close, Control::SendCommand,
                            Control::Update, Control::ChooseFile, Control::DownloadB})
        on << (window.controlEnabled(control) ? QStringLiteral("on") : QStringLiteral("off"));
    return on.join(QLatin1Char(' '));
}

} // namespace

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
