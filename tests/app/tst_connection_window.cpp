#include "app/Application.h"
#include "app/Unit1.h"
#include "dialogue/UpdateFlow.h"
#include "registry/KeyStore.h"
#include "tests/app/WindowFixture.h"
#include "tests/support/TestMain.h"
#include "usbio/sim/SimDevice.h"

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>

using usbio::Generation;

// Opening and closing a device, the generation it prepares the window for,
// the driver line, and the window following devices as they leave and join
// the bus: the real window offscreen over the simulated bus.
class TestConnectionWindow : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void openWithEmptyListDoesNothing();
    void openPreparesTheGeneration_data();
    void openPreparesTheGeneration();
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
    void pnpHandlerThatRaisesIsShownAndTheProgramGoesOn();
};

namespace {

const QString kNsf = QStringLiteral("USB-Vemo:NSF?!!");

// "Open"/"Close"/... -> enabled, in the order of the controls table.
QString controlsState(TForm1 &form)
{
    QStringList on;
    const QList<QWidget *> controls{form.Open,   form.DevicesCB,  form.Close,    form.SendCommand,
                                    form.Update, form.ChooseFile, form.DownloadB};
    for (QWidget *control : controls)
        on << (control->isEnabled() ? QStringLiteral("on") : QStringLiteral("off"));
    return on.join(QLatin1Char(' '));
}

bool logHas(WindowFixture &fixture, const QString &line)
{
    return fixture.log().contains(line);
}

} // namespace

void TestConnectionWindow::openWithEmptyListDoesNothing()
{
    WindowFixture fixture;
    TForm1 &form = fixture.start();
    const QStringList before = fixture.log();
    fixture.host().clearCalls();

    QTest::mouseClick(form.Open, Qt::LeftButton);

    QCOMPARE(fixture.log(), before);
    QVERIFY2(fixture.host().calls().isEmpty(), qPrintable(fixture.host().journal().join('\n')));
}

void TestConnectionWindow::openPreparesTheGeneration_data()
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

void TestConnectionWindow::openPreparesTheGeneration()
{
    QFETCH(int, generation);
    QFETCH(QString, listedAs);
    QFETCH(QString, fileBefore);
    QFETCH(bool, defaultPresent);
    QFETCH(QString, filter);
    QFETCH(int, bwf);
    QFETCH(QString, fileAfter);

    WindowFixture fixture;
    fixture.attach(Generation(generation), "000004711");
    if (!listedAs.isEmpty())
        fixture.store().writeString(registry::RootKey::LocalMachine, WindowFixture::ServiceEnum,
                                    QStringLiteral("0"), listedAs);
    if (defaultPresent) {
        for (const char *name : {"vemo.exe", "vemo2.exe", "vemo3.exe"})
            fixture.host().presentFiles
                << QStringLiteral("/Homepage/orvik/download/uC/") + QLatin1String(name);
    }
    TForm1 &form = fixture.start();
    form.FileNameE->setText(fileBefore);

    QTest::mouseClick(form.Open, Qt::LeftButton);

    const QString name = listedAs.isEmpty()
                             ? QString::fromLatin1(usbio::generationName(Generation(generation)))
                             : listedAs.toUpper();
    QVERIFY2(logHas(fixture, QStringLiteral("Device opend: ") + name + QStringLiteral(" #1")),
             qPrintable(fixture.log().join('\n')));
    QCOMPARE(form.OpenDialog1.Filter, filter);
    QCOMPARE(form.BWFTimer->interval(), bwf);
    QVERIFY(!form.BWFTimer->isActive());
    QCOMPARE(form.FileNameE->text(), fileAfter);
}

void TestConnectionWindow::controlsFollowOpenAndClose()
{
    WindowFixture fixture;
    usbio::SimDevice *device = fixture.attach(Generation::Vemo2, "000004711");
    TForm1 &form = fixture.start();
    QCOMPARE(controlsState(form), QStringLiteral("on on off off off off off"));

    QTest::mouseClick(form.Open, Qt::LeftButton);
    QCOMPARE(controlsState(form), QStringLiteral("off off on on on on on"));
    // The new-firmware query went out after the open.
    QTRY_VERIFY(device->receivedCommands().contains(kNsf.toLatin1()));

    QTest::mouseClick(form.Close, Qt::LeftButton);
    // Send Command keeps the state it had.
    QCOMPARE(controlsState(form), QStringLiteral("on on off on off off off"));
    QCOMPARE(fixture.log().last(), QStringLiteral("Device closed"));

    // An open during an update leaves every device control off.
    form.Dialogue().update().setStateForTest(dialogue::UpdateFlow::State::LoaderOpen);
    QTest::mouseClick(form.Open, Qt::LeftButton);
    QCOMPARE(controlsState(form), QStringLiteral("off off off off off off off"));
    QVERIFY(form.BWFTimer->isActive());
    form.Dialogue().update().setStateForTest(dialogue::UpdateFlow::State::Idle);
    form.BWFTimer->stop();
    form.CloseClick(&form);
    QCOMPARE(controlsState(form), QStringLiteral("on on off off off off off"));

    // A refused open changes no control.
    device->faults().openStatus = usbio::status::AccessDenied;
    QTest::mouseClick(form.Open, Qt::LeftButton);
    QCOMPARE(controlsState(form), QStringLiteral("on on off off off off off"));
}

void TestConnectionWindow::openRefused_data()
{
    QTest::addColumn<quint32>("status");
    QTest::addColumn<QStringList>("boxes");

    QTest::newRow("in use") << quint32(usbio::status::AccessDenied) << QStringList();
    // The link's box first, then the window's.
    QTest::newRow("wrong driver") << quint32(usbio::status::VersionMismatch)
                                  << QStringList{"Please be shure to have latest driver "
                                                 "installed!|Driver Error!|0",
                                                 "Please update Vemo USB driver!|Wrong driver "
                                                 "version|16"};
}

void TestConnectionWindow::openRefused()
{
    QFETCH(quint32, status);
    QFETCH(QStringList, boxes);

    WindowFixture fixture;
    usbio::SimDevice *device = fixture.attach(Generation::Vemo2, "000004711");
    device->faults().openStatus = status;
    TForm1 &form = fixture.start();
    const int linesBefore = fixture.log().size();
    fixture.host().clearCalls();

    QTest::mouseClick(form.Open, Qt::LeftButton);

    const QStringList added = fixture.log().mid(linesBefore);
    QCOMPARE(added.size(), 1);
    QCOMPARE(added.first(),
             QStringLiteral("Open: ") + QString::fromLocal8Bit(form.USBLink->StatusText(status)));
    QVERIFY(added.first().size() > 6);
    QCOMPARE(fixture.boxes(), boxes);
    QVERIFY(!form.USBLink->Opened);
    QVERIFY(form.Open->isEnabled());
    QVERIFY(!fixture.host().busyCursor());
    QVERIFY(device->receivedCommands().isEmpty());
}

void TestConnectionWindow::readStartRetries_data()
{
    QTest::addColumn<int>("refusals");
    QTest::addColumn<bool>("reported");

    QTest::newRow("first start refused") << 1 << false;
    QTest::newRow("the fifth retry succeeds") << 5 << false;
    QTest::newRow("every retry refused") << 6 << true;
}

void TestConnectionWindow::readStartRetries()
{
    QFETCH(int, refusals);
    QFETCH(bool, reported);

    WindowFixture fixture;
    usbio::SimDevice *device = fixture.attach(Generation::Vemo2, "000004711");
    device->faults().startReadingFailures = refusals;
    TForm1 &form = fixture.start();

    QTest::mouseClick(form.Open, Qt::LeftButton);

    QCOMPARE(logHas(fixture, QStringLiteral("Could not start reading...")), reported);
    // A seventh start would have taken a refusal left over.
    QCOMPARE(device->faults().startReadingFailures, 0);
    // The device stays open and usable either way.
    QVERIFY(form.USBLink->Opened);
    QCOMPARE(controlsState(form), QStringLiteral("off off on on on on on"));
    QTRY_VERIFY(device->receivedCommands().contains(kNsf.toLatin1()));
}

void TestConnectionWindow::driverLine_data()
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

void TestConnectionWindow::driverLine()
{
    QFETCH(quint32, driverVersion);
    QFETCH(QString, line);
    QFETCH(bool, warned);

    WindowFixture fixture;
    usbio::SimDevice *device = fixture.attach(Generation::Vemo2, "000004711");
    device->faults().driverInfo.driverVersion = driverVersion;
    TForm1 &form = fixture.start();
    QTest::mouseClick(form.Open, Qt::LeftButton);

    const QStringList log = fixture.log();
    const int at = log.indexOf(line);
    QVERIFY2(at > 0, qPrintable(log.join('\n')));
    QCOMPARE(log.at(at - 1), QStringLiteral("Device opend: Vemo2 #1"));
    const QString warning =
        QStringLiteral("Warning Driver Version old! Please update Vemo USB driver!");
    QCOMPARE(log.value(at + 1) == warning, warned);
}

void TestConnectionWindow::removal_data()
{
    QTest::addColumn<bool>("open");
    QTest::addColumn<bool>("updating");
    QTest::newRow("device open") << true << false;
    QTest::newRow("none open") << false << false;
    QTest::newRow("during an update") << true << true;
}

void TestConnectionWindow::removal()
{
    QFETCH(bool, open);
    QFETCH(bool, updating);

    WindowFixture fixture;
    usbio::SimDevice *device = fixture.attach(Generation::Vemo2, "000004711");
    TForm1 &form = fixture.start();
    if (open)
        QTest::mouseClick(form.Open, Qt::LeftButton);
    form.Dialogue().update().setStateForTest(updating ? dialogue::UpdateFlow::State::LoaderOpen
                                                      : dialogue::UpdateFlow::State::Idle);
    form.Dialogue().setSerialNo("123456789");
    const int linesBefore = fixture.log().size();

    fixture.bus().detach(device);
    QTRY_VERIFY(logHas(fixture, QStringLiteral("OnPnPRemoveNotification")));

    // The same lines whether a device was open or not.
    QCOMPARE(fixture.log().mid(linesBefore),
             (QStringList{"OnPnPRemoveNotification", "Device closed"}));
    QVERIFY(form.Dialogue().serialNo().isEmpty());
    QVERIFY(!form.USBLink->Opened);
    QCOMPARE(form.DevicesCB->count(), 0);
    QCOMPARE(controlsState(form).left(6), QStringLiteral("on on "));
    QCOMPARE(form.RestartVemoTimer->isActive(), updating);
    form.RestartVemoTimer->stop();
}

void TestConnectionWindow::arrivalWithoutUpdateOnlyLists()
{
    WindowFixture fixture;
    fixture.attach(Generation::Vemo2, "000004711");
    TForm1 &form = fixture.start();
    const int linesBefore = fixture.log().size();

    usbio::SimDevice *second = fixture.attach(Generation::Vemo3, "000000815");
    QTRY_VERIFY(logHas(fixture, QStringLiteral("OnPnPAddNotification")));

    // The list shows both, the first selected; nothing is opened.
    QCOMPARE(fixture.log().mid(linesBefore), (QStringList{"OnPnPAddNotification"}));
    QVERIFY(!form.USBLink->Opened);
    QCOMPARE(form.DevicesCB->count(), 2);
    QCOMPARE(form.DevicesCB->itemText(0), QStringLiteral("Vemo2 #1"));
    QCOMPARE(form.DevicesCB->itemText(1), QStringLiteral("Vemo3 #2"));
    QCOMPARE(form.DevicesCB->currentIndex(), 0);
    QVERIFY(second->receivedCommands().isEmpty());
}

void TestConnectionWindow::eventsOfAnotherDeviceLeaveTheOpenOneAlone()
{
    WindowFixture fixture;
    usbio::SimDevice *first = fixture.attach(Generation::Vemo2, "000004711");
    usbio::SimDevice *open = fixture.attach(Generation::Vemo3, "000000815");
    TForm1 &form = fixture.start();
    form.DevicesCB->setCurrentIndex(1);
    QTest::mouseClick(form.Open, Qt::LeftButton);
    QTRY_VERIFY(open->receivedCommands().contains(kNsf.toLatin1()));
    QTRY_VERIFY(!fixture.log().filter(QStringLiteral("Vemo3 firmware V")).isEmpty());
    form.Dialogue().setSerialNo("000000815");
    const int linesBefore = fixture.log().size();

    // The other device restarts (another instance updating it, say): it
    // leaves and comes back. Each event is listed, and the open device, its
    // state and what runs on it go on.
    first->powerCycle(30);
    QTRY_VERIFY(logHas(fixture, QStringLiteral("OnPnPAddNotification")));
    QCOMPARE(fixture.log().mid(linesBefore),
             (QStringList{"OnPnPRemoveNotification", "OnPnPAddNotification"}));
    QVERIFY(form.USBLink->Opened);
    QCOMPARE(form.Dialogue().serialNo(), QByteArray("000000815"));
    QCOMPARE(controlsState(form), QStringLiteral("off off on on on on on"));
    QCOMPARE(form.DevicesCB->count(), 2);
    QCOMPARE(form.DevicesCB->currentIndex(), 1);

    // Taken away for good, it leaves the open device first in the list,
    // and selected.
    fixture.bus().detach(first);
    QTRY_COMPARE(form.DevicesCB->count(), 1);
    QCOMPARE(form.DevicesCB->currentIndex(), 0);
    QVERIFY(form.USBLink->Opened);
    QCOMPARE(form.USBLink->SendCommand("NSF?\r"), usbio::status::Success);
    QTRY_VERIFY(open->receivedCommands().contains("NSF?"));
    QVERIFY(first->receivedCommands().isEmpty());

    // Its own removal closes it, as ever.
    fixture.bus().detach(open);
    QTRY_VERIFY(!form.USBLink->Opened);
    QVERIFY(logHas(fixture, QStringLiteral("Device closed")));
    QVERIFY(form.Dialogue().serialNo().isEmpty());
}

void TestConnectionWindow::arrivalDuringUpdateReopensInUpdateMode()
{
    WindowFixture fixture;
    usbio::SimDevice *device = fixture.attach(Generation::Vemo3, "000004711");
    TForm1 &form = fixture.start();
    QTest::mouseClick(form.Open, Qt::LeftButton);
    QTRY_VERIFY(device->receivedCommands().contains(kNsf.toLatin1()));
    device->clearRecords();
    form.Dialogue().update().setStateForTest(dialogue::UpdateFlow::State::LoaderOpen);

    // The device restarts: it leaves the bus and comes back.
    device->powerCycle(50);
    QTRY_VERIFY(form.RestartVemoTimer->isActive());
    QTRY_VERIFY(logHas(fixture, QStringLiteral("OnPnPAddNotification")));
    QTRY_VERIFY(form.USBLink->Opened);

    QVERIFY(!form.RestartVemoTimer->isActive());
    QVERIFY(form.BWFTimer->isActive());
    QCOMPARE(form.BWFTimer->interval(), 30000);
    QCOMPARE(controlsState(form), QStringLiteral("off off off off off off off"));
    const QStringList log = fixture.log();
    QCOMPARE(log.mid(log.indexOf(QStringLiteral("OnPnPAddNotification")), 2),
             (QStringList{"OnPnPAddNotification", "Device opend: Vemo3 #1"}));
    QTest::qWait(50);
    QVERIFY(!device->receivedCommands().contains(kNsf.toLatin1()));
    form.BWFTimer->stop();
}

void TestConnectionWindow::pnpHandlerThatRaisesIsShownAndTheProgramGoesOn()
{
    WindowFixture fixture;
    fixture.attach(Generation::Vemo2, "000004711");
    TForm1 &form = fixture.start();

    // A second device arrives, and the driver's list names it with a value
    // of the wrong type: listing it raises inside the arrival handler.
    fixture.attach(Generation::Vemo, "000000815");
    fixture.store().writeInteger(registry::RootKey::LocalMachine, WindowFixture::ServiceEnum,
                                 QStringLiteral("1"), 7);
    QTRY_VERIFY(logHas(fixture, QStringLiteral("OnPnPAddNotification")));
    QTRY_COMPARE(fixture.host().exceptions().size(), 1);
    QVERIFY(!fixture.host().exceptions().first().isEmpty());

    // The window still works: the next arrival lists both devices again.
    fixture.attach(Generation::Vemo3, "000000816");
    QTRY_COMPARE(form.DevicesCB->count(), 3);
    QTest::mouseClick(form.Open, Qt::LeftButton);
    QVERIFY(form.USBLink->Opened);
}

// The application object of the program, so an exception that leaves a
// handler reaches its display as in the program.
int main(int argc, char *argv[])
{
    useOffscreenUnlessSet();
    VemoApplication app(argc, argv);
    TestConnectionWindow test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_connection_window.moc"
