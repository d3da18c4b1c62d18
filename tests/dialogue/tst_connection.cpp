#include "dialogue/ConnectionControl.h"
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

// The connection control without a window, where a handler of the window
// does what the real one rarely does: a close whose transfer's end opens
// the device again, and an open that raises inside a plug-and-play arrival.
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

// A window whose handler of a cut-short transfer opens the device again.
class ReopeningRig : public DialogueRig
{
public:
    void transferFailed(const QByteArray &fileName, qint64 sent, qint64 size,
                        usbio::Status reason) override
    {
        DialogueRig::transferFailed(fileName, sent, size, reason);
        link()->OpenDevice(0);
    }
};

// A window whose Open raises (the registry probe failing under it).
class RaisingOpenRig : public DialogueRig
{
public:
    void openClick() override
    {
        FakeWindowPort::openClick();
        throw std::runtime_error("the registry cannot be read");
    }
};

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
    ReopeningRig rig;
    rig.attach(Generation::Vemo2, "000004711");
    rig.start();
    rig.connection.OpenClick();
    QCOMPARE(controlsState(rig), QStringLiteral("off off on on on on on"));
    QCOMPARE(rig.link()->SendFile(QFile::encodeName(image)), usbio::status::Success);
    const int before = int(rig.lines.size());

    rig.connection.CloseClick();

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
    QTest::addColumn<QString>("line"); // empty: the refused open's own

    QTest::newRow("open raises") << true << "Could not open Device";
    // A refused open only has its own line.
    QTest::newRow("open refused") << false << "";
}

void TestConnection::reopenDuringAnUpdate()
{
    QFETCH(bool, openRaises);
    QFETCH(QString, line);

    std::unique_ptr<DialogueRig> rig =
        openRaises ? std::make_unique<RaisingOpenRig>() : std::make_unique<DialogueRig>();
    rig->start();
    // The device is away, restarting into its loader.
    rig->setUpdating(true);
    rig->setTimerEnabled(Timer::RestartVemo, true);
    const int before = int(rig->lines.size());

    usbio::SimDeviceSettings settings;
    settings.serialNumber = "000004711";
    usbio::SimDevice *device = rig->bus().attach(settings);
    device->faults().openStatus = usbio::status::AccessDenied;
    QTRY_VERIFY(rig->handlerCalls.contains(QStringLiteral("openClick")));

    if (line.isEmpty())
        line = QStringLiteral("Open: ") +
               QString::fromLocal8Bit(rig->link()->StatusText(usbio::status::AccessDenied));
    QCOMPARE(rig->linesFrom(before), (QStringList{"OnPnPAddNotification", line}));
    QVERIFY(!rig->timerEnabled(Timer::RestartVemo));
    QVERIFY(!rig->timerEnabled(Timer::BWF));
    QVERIFY(!rig->link()->Opened);
    // The update goes on, waiting for the device.
    QVERIFY(rig->updating());
    QCOMPARE(rig->deviceItems, QStringList{"Vemo2 #1"});
}

void TestConnection::reopenWithADamagedKeyStore()
{
    DialogueRig rig;
    rig.start();
    rig.setUpdating(true);
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
    QTRY_VERIFY(rig.handlerCalls.contains(QStringLiteral("openClick")));

    // The device list and the open go on from the keys read before.
    QCOMPARE(rig.deviceItems, QStringList{"Vemo2 #1"});
    QVERIFY(rig.link()->Opened);
    QVERIFY(rig.updating());
    QVERIFY(rig.timerEnabled(Timer::BWF));
    QVERIFY(rig.host().boxes().isEmpty());
    QCOMPARE(rig.linesFrom(before).value(0), QStringLiteral("OnPnPAddNotification"));
}

QTEST_GUILESS_MAIN(TestConnection)
#include "tst_connection.moc"
