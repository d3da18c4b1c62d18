#include "app/Application.h"
#include "app/Unit1.h"
#include "registry/KeyStore.h"
#include "tests/app/WindowFixture.h"
#include "tests/support/TestMain.h"
#include "usbio/sim/SimDevice.h"

#include <QComboBox>
#include <QPushButton>
#include <QTest>

using usbio::Generation;

// What the window does itself when a device opens and closes and joins the
// bus: the Open and Close clicks reach the dialogue and the controls show
// what it switched, and an exception in a plug-and-play handler is shown by
// the application while the window goes on. What the dialogue decides on
// open, close, removal and arrival is tested without a window
// (tests/dialogue/tst_connection).
class TestConnectionWindow : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void controlsFollowOpenAndClose();
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

} // namespace

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
    QTRY_VERIFY(fixture.log().contains(QStringLiteral("OnPnPAddNotification")));
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
