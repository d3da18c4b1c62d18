#include "app/Unit1.h"
#include "dialogue/UpdateFlow.h"
#include "registry/RegTools.h"
#include "tests/app/WindowFixture.h"
#include "tests/support/TestMain.h"
#include "usbio/Backend.h"

#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTimer>

// Start-up in its fixed order for the device situations a host can be in,
// the program's self-registration, the message log and its file copy, and
// the order of shutdown.
class TestForm1Startup : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void startupLog_data();
    void startupLog();
    void startupLeavesDeviceControlsOff();
    void startupErrorIsShownAndEnds();
    void selfRegistration_data();
    void selfRegistration();
    void logLineEntries_data();
    void logLineEntries();
    void logFileMirrorsMessageLog();
    void logFileThatCannotBeOpened();
    void shutdown_data();
    void shutdown();
};

namespace {

using registry::RootKey;

const QString kSelfKey = QStringLiteral("Software\\ORVIK\\Vemo");
const QString kSelfValue = QStringLiteral("VemoUSBDemo");
const QString kUnknownPath = QStringLiteral("USB\\VID_5E1A&PID_0999\\5&2C1B&0&1");
const QString kNoVemoDetected =
    QStringLiteral("No Vemo detected, be shure Vemo is connected and latest driver is installed!!");
const QString kNotRegisteredBox =
    QStringLiteral("USBIOCOM not registered! Use regsvr32 usbio230.dll|USBIO not registerd|16");
const QString kUnknownBox =
    QStringLiteral("Unknown device detected, please send a bugreport to Orvik|Device unknown|16");

// Puts the host into one of the situations of the start-up table.
void setUp(WindowFixture &fixture, const QString &situation)
{
    using usbio::Generation;
    if (situation == QLatin1String("one Vemo2")) {
        fixture.attach(Generation::Vemo2, "000004711");
    } else if (situation == QLatin1String("two known")) {
        fixture.attach(Generation::Vemo, "000000001");
        fixture.attach(Generation::Vemo3, "000000002");
    } else if (situation == QLatin1String("unknown product")) {
        // Another product of the maker, listed by the driver service.
        fixture.attach(Generation::Vemo2, "000004711");
        fixture.store().writeString(RootKey::LocalMachine, WindowFixture::ServiceEnum,
                                    QStringLiteral("0"), kUnknownPath);
    } else if (situation == QLatin1String("fewer names than devices")) {
        fixture.attach(Generation::Vemo2, "000000001");
        fixture.attach(Generation::Vemo2, "000000002");
        fixture.store().deleteValue(RootKey::LocalMachine, WindowFixture::ServiceEnum,
                                    QStringLiteral("1"));
    } else if (situation == QLatin1String("backend not registered")) {
        fixture.attach(Generation::Vemo2, "000004711");
        usbio::selectBackend(QStringLiteral("libusb-missing"));
    } else if (situation == QLatin1String("component unregistered")) {
        fixture.bus().setComponentRegistered(false);
    } else if (situation == QLatin1String("PnP refused")) {
        fixture.attach(Generation::Vemo2, "000004711");
        fixture.bus().pnpEnableStatus = usbio::status::AccessDenied;
    } else {
        QVERIFY2(situation == QLatin1String("none"), qPrintable(situation));
    }
}

} // namespace

void TestForm1Startup::startupLog_data()
{
    QTest::addColumn<QString>("situation");
    QTest::addColumn<QStringList>("log");
    QTest::addColumn<QStringList>("items");
    QTest::addColumn<QStringList>("boxes");
    QTest::addColumn<bool>("endRequested");

    const QString dir = WindowFixture::CurrentDir;
    QTest::newRow("one Vemo2") << "one Vemo2" << QStringList{"Vemo USB driver not installed",
                                                             "Vemo2 USB driver installed",
                                                             "Vemo3 USB driver not installed",
                                                             "Vemo2 found",
                                                             "PnPNotification enabled",
                                                             dir}
                               << QStringList{"Vemo2 #1"} << QStringList{} << false;
    QTest::newRow("none") << "none"
                          << QStringList{"Vemo USB driver not installed",
                                         "Vemo2 USB driver not installed",
                                         "Vemo3 USB driver not installed",
                                         "No Vemo found",
                                         "PnPNotification enabled",
                                         dir,
                                         kNoVemoDetected}
                          << QStringList{} << QStringList{} << false;
    QTest::newRow("two known") << "two known"
                               << QStringList{"Vemo USB driver installed",
                                              "Vemo2 USB driver not installed",
                                              "Vemo3 USB driver installed",
                                              "Vemo found",
                                              "Vemo3 found",
                                              "PnPNotification enabled",
                                              dir}
                               << QStringList{"Vemo #1", "Vemo3 #2"} << QStringList{} << false;
    QTest::newRow("unknown product")
        << "unknown product"
        << QStringList{"Vemo USB driver not installed",
                       "Vemo2 USB driver installed",
                       "Vemo3 USB driver not installed",
                       kUnknownPath.toUpper() + " found",
                       "PnPNotification enabled",
                       "Unknown device detected: " + kUnknownPath.toUpper(),
                       dir,
                       kNoVemoDetected}
        << QStringList{} << QStringList{kUnknownBox} << false;
    // The second device has no name: an empty name is an unknown device.
    QTest::newRow("fewer names than devices") << "fewer names than devices"
                                              << QStringList{"Vemo USB driver not installed",
                                                             "Vemo2 USB driver installed",
                                                             "Vemo3 USB driver not installed",
                                                             "Vemo2 found",
                                                             " found",
                                                             "PnPNotification enabled",
                                                             "Unknown device detected: ",
                                                             dir,
                                                             kNoVemoDetected}
                                              << QStringList{} << QStringList{kUnknownBox} << false;
    // The link reports the missing component first, then the window.
    QTest::newRow("backend not registered")
        << "backend not registered"
        << QStringList{"Vemo USB driver not installed", "Vemo2 USB driver installed",
                       "Vemo3 USB driver not installed", "Vemo2 found", kNoVemoDetected}
        << QStringList{} << QStringList{"Error init Vemo object|Error|0", kNotRegisteredBox}
        << true;
    QTest::newRow("component unregistered")
        << "component unregistered"
        << QStringList{"Vemo USB driver not installed", "Vemo2 USB driver not installed",
                       "Vemo3 USB driver not installed", "No Vemo found", kNoVemoDetected}
        << QStringList{} << QStringList{"Error init Vemo object|Error|0", kNotRegisteredBox}
        << true;
    QTest::newRow("PnP refused") << "PnP refused" << QStringList{"Vemo USB driver not installed",
                                                                 "Vemo2 USB driver installed",
                                                                 "Vemo3 USB driver not installed",
                                                                 "Vemo2 found",
                                                                 "PnPNotification failed",
                                                                 dir}
                                 << QStringList{"Vemo2 #1"} << QStringList{} << false;
}

void TestForm1Startup::startupLog()
{
    QFETCH(QString, situation);
    QFETCH(QStringList, log);
    QFETCH(QStringList, items);
    QFETCH(QStringList, boxes);
    QFETCH(bool, endRequested);

    WindowFixture fixture;
    setUp(fixture, situation);
    TForm1 &form = fixture.start();

    QCOMPARE(fixture.log(), log);
    QStringList listed;
    for (int i = 0; i < form.DevicesCB->count(); ++i)
        listed << form.DevicesCB->itemText(i);
    QCOMPARE(listed, items);
    QCOMPARE(form.DevicesCB->currentIndex(), items.isEmpty() ? -1 : 0);
    QCOMPARE(form.DevicesCB->currentText(), items.value(0));
    QCOMPARE(fixture.boxes(), boxes);
    QCOMPARE(fixture.host().terminateRequested(), endRequested);
    QVERIFY(fixture.host().exceptions().isEmpty());
    // The window holds its link whether or not it could be wired.
    QVERIFY(form.USBLink != nullptr);
    QVERIFY(!form.USBLink->Opened);
}

void TestForm1Startup::startupLeavesDeviceControlsOff()
{
    WindowFixture fixture;
    fixture.attach(usbio::Generation::Vemo2, "000004711");
    TForm1 &form = fixture.start();

    for (QPushButton *off :
         {form.Close, form.SendCommand, form.Update, form.ChooseFile, form.DownloadB})
        QVERIFY2(!off->isEnabled(), qPrintable(off->objectName()));
    QVERIFY(form.Open->isEnabled());
    QVERIFY(form.DevicesCB->isEnabled());
    QVERIFY(form.ProgressBar1->isHidden());
    QVERIFY(!form.Dialogue().update().updating());
    QVERIFY(!form.Dialogue().update().unattended());
    QVERIFY(form.Dialogue().serialNo().isEmpty());
    QVERIFY(form.Dialogue().pendingChunk().isEmpty());
    // Start-up waits for nothing from the device and starts no timer.
    QVERIFY(!form.BWFTimer->isActive());
    QVERIFY(!form.RestartVemoTimer->isActive());
    QVERIFY(!form.VemoWind->isActive());
}

void TestForm1Startup::startupErrorIsShownAndEnds()
{
    WindowFixture fixture;
    fixture.attach(usbio::Generation::Vemo2, "000004711");
    // A listed device whose instance path is a number cannot be read.
    fixture.store().writeInteger(RootKey::LocalMachine, WindowFixture::ServiceEnum,
                                 QStringLiteral("0"), 42);
    TForm1 &form = fixture.start();

    QCOMPARE(fixture.log(),
             (QStringList{"Vemo USB driver not installed", "Vemo2 USB driver installed",
                          "Vemo3 USB driver not installed"}));
    const QStringList shown = fixture.host().exceptions();
    QCOMPARE(shown.size(), 1);
    QVERIFY2(shown.first().contains(QLatin1String("integer")), qPrintable(shown.first()));
    QVERIFY(fixture.host().terminateRequested());
    QVERIFY(form.USBLink == nullptr);
    QVERIFY(fixture.boxes().isEmpty());
}

void TestForm1Startup::selfRegistration_data()
{
    QTest::addColumn<QVariant>("before"); // invalid: no value
    QTest::addColumn<bool>("readOnly");
    QTest::addColumn<QVariant>("after");
    QTest::addColumn<bool>("errorLine");

    const QString path = WindowFixture::ProgramPath;
    QTest::newRow("fresh store") << QVariant() << false << QVariant(path) << false;
    QTest::newRow("already this path") << QVariant(path) << false << QVariant(path) << false;
    QTest::newRow("started from another folder")
        << QVariant("/media/usb/vemotool") << false << QVariant(path) << false;
    QTest::newRow("differs only in letter case")
        << QVariant(path.toUpper()) << false << QVariant(path) << false;
    QTest::newRow("stored as a number") << QVariant(7) << false << QVariant(7) << true;
    // A store that refuses writes: only a needed write fails.
    QTest::newRow("read-only, already this path")
        << QVariant(path) << true << QVariant(path) << false;
    QTest::newRow("read-only, missing") << QVariant() << true << QVariant() << true;
    QTest::newRow("read-only, another path")
        << QVariant("/media/usb/vemotool") << true << QVariant("/media/usb/vemotool") << true;
}

void TestForm1Startup::selfRegistration()
{
    QFETCH(QVariant, before);
    QFETCH(bool, readOnly);
    QFETCH(QVariant, after);
    QFETCH(bool, errorLine);

    WindowFixture fixture;
    registry::KeyStore &store = fixture.store();
    // Something in the file, so a read-only store has one to read.
    store.writeString(RootKey::LocalMachine, QStringLiteral("Software\\ORVIK"),
                      QStringLiteral("Owner"), QStringLiteral("line 3"));
    if (before.typeId() == QMetaType::QString)
        store.writeString(RootKey::LocalMachine, kSelfKey, kSelfValue, before.toString());
    else if (before.typeId() == QMetaType::Int)
        store.writeInteger(RootKey::LocalMachine, kSelfKey, kSelfValue, before.toInt());
    if (readOnly) {
        // A folder in the place of the store's lock file refuses every
        // write, whatever the rights of the user running the test.
        QVERIFY(QDir().mkpath(fixture.storeFile() + QStringLiteral(".lock")));
    }

    fixture.start();
    const QStringList log = fixture.log();

    const std::optional<registry::Value> stored =
        registry::KeyStore(fixture.storeFile()).value(RootKey::LocalMachine, kSelfKey, kSelfValue);
    if (!after.isValid()) {
        QVERIFY(!stored.has_value());
    } else if (after.typeId() == QMetaType::Int) {
        QVERIFY(stored.has_value() && std::holds_alternative<qint32>(*stored));
        QCOMPARE(std::get<qint32>(*stored), after.toInt());
    } else {
        QVERIFY(stored.has_value() && std::holds_alternative<QString>(*stored));
        QCOMPARE(std::get<QString>(*stored), after.toString());
    }

    // One clear line before everything else, and start-up goes on.
    const QString prefix = QStringLiteral("Could not record the program path in the registry: ");
    QCOMPARE(log.filter(prefix).size(), errorLine ? 1 : 0);
    if (errorLine) {
        QVERIFY2(log.first().startsWith(prefix), qPrintable(log.first()));
        QVERIFY(log.first().size() > prefix.size());
    }
    QCOMPARE(log.value(errorLine ? 1 : 0), QStringLiteral("Vemo USB driver not installed"));
    QVERIFY(log.contains(QStringLiteral("PnPNotification enabled")));
    QCOMPARE(log.last(), kNoVemoDetected);
    QVERIFY(fixture.boxes().isEmpty());
    QVERIFY(!fixture.host().terminateRequested());
}

void TestForm1Startup::logLineEntries_data()
{
    QTest::addColumn<QByteArray>("device"); // device text, one byte a character
    QTest::addColumn<QStringList>("shown");

    QTest::newRow("line with CR") << QByteArray("NSF 2.10\r") << QStringList{"NSF 2.10"};
    QTest::newRow("line without CR") << QByteArray("VEMO:12") << QStringList{"VEMO:12"};
    QTest::newRow("CR LF") << QByteArray("abc\r\n") << QStringList{"abc"};
    QTest::newRow("lone CR") << QByteArray("\r") << QStringList{""};
    QTest::newRow("CR inside") << QByteArray("ab\rcd\r") << QStringList{"ab", "cd"};
    QTest::newRow("8-bit text") << QByteArray("23.5\xb0"
                                              "C\r")
                                << QStringList{"23.5\u00b0C"};
    QTest::newRow("leading blanks kept") << QByteArray("  #1234\r") << QStringList{"  #1234"};
}

void TestForm1Startup::logLineEntries()
{
    QFETCH(QByteArray, device);
    QFETCH(QStringList, shown);

    WindowFixture fixture;
    TForm1 &form = fixture.start();
    const QStringList before = fixture.log();
    form.LogLine(AnsiString(device));
    form.LogLine("next");
    QCOMPARE(fixture.log(), before + shown + QStringList{"next"});
}

void TestForm1Startup::logFileMirrorsMessageLog()
{
    WindowFixture fixture;
    fixture.attach(usbio::Generation::Vemo2, "000004711");
    const QString path = fixture.dirPath() + QStringLiteral("/run.log");
    ProgramOptions options;
    options.logFile = path;

    TForm1 &form = fixture.start({}, options);
    form.LogLine(AnsiString("DEVNR000004711\r"));
    form.LogLine(AnsiString("Temp 23.5\xb0"
                            "C\r"));
    form.LogLine(QStringLiteral("Error writing Command: Success!"));

    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QString copy = QString::fromUtf8(file.readAll());
    QCOMPARE(copy, form.Message->toPlainText() + QLatin1Char('\n'));
    QCOMPARE(copy.count(QLatin1Char('\n')), fixture.log().size());
    QVERIFY(copy.startsWith(QStringLiteral("Vemo USB driver not installed\n")));
    QVERIFY(copy.endsWith(
        QStringLiteral("DEVNR000004711\nTemp 23.5\u00b0C\nError writing Command: Success!\n")));

    // A second run appends to the same file.
    fixture.destroyWindow();
    fixture.start({}, options);
    file.seek(0);
    const QString both = QString::fromUtf8(file.readAll());
    QVERIFY(both.startsWith(copy));
    QCOMPARE(both.mid(copy.size()), fixture.window().Message->toPlainText() + QLatin1Char('\n'));
}

void TestForm1Startup::logFileThatCannotBeOpened()
{
    WindowFixture fixture;
    const QString blocker = fixture.dirPath() + QStringLiteral("/blocker");
    QFile file(blocker);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();
    ProgramOptions options;
    options.logFile = blocker + QStringLiteral("/run.log");

    fixture.start({}, options);
    const QStringList log = fixture.log();
    // Said once, as the start-up's first line; an unattended run fails by it.
    QCOMPARE(log.value(0), QStringLiteral("The log file cannot be kept: cannot write '%1': "
                                          "Not a directory")
                               .arg(options.logFile));
    QVERIFY(fixture.window().Outcome().logFileFailed());
    QCOMPARE(log.value(1), QStringLiteral("Vemo USB driver not installed"));
    QCOMPARE(log.last(), kNoVemoDetected);
}

void TestForm1Startup::shutdown_data()
{
    QTest::addColumn<bool>("deviceOpen");
    QTest::addColumn<bool>("closeFirst"); // close the window before destroying it
    QTest::addColumn<bool>("updating");
    QTest::addColumn<QStringList>("steps");

    QTest::newRow("device open") << true << true << false
                                 << QStringList{"CloseDevice", "LinkDestroyed",
                                                "RegToolsDestroyed"};
    QTest::newRow("no device open")
        << false << true << false << QStringList{"LinkDestroyed", "RegToolsDestroyed"};
    QTest::newRow("closing during an update")
        << true << true << true << QStringList{"CloseDevice", "LinkDestroyed", "RegToolsDestroyed"};
    // A window destroyed without being closed lets go in the same order.
    QTest::newRow("destroyed, device open")
        << true << false << false
        << QStringList{"CloseDevice", "LinkDestroyed", "RegToolsDestroyed"};
    QTest::newRow("destroyed, none open")
        << false << false << false << QStringList{"LinkDestroyed", "RegToolsDestroyed"};
}

void TestForm1Startup::shutdown()
{
    QFETCH(bool, deviceOpen);
    QFETCH(bool, closeFirst);
    QFETCH(bool, updating);
    QFETCH(QStringList, steps);

    // Declared before the window, so they outlive it even when a check
    // fails and the window goes with the fixture.
    QStringList seen;
    bool linkClosedWhileAlive = false;
    WindowFixture fixture;
    fixture.attach(usbio::Generation::Vemo2, "000004711");
    TForm1 &form = fixture.start();
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    if (deviceOpen) {
        QCOMPARE(form.USBLink->OpenDevice(0), usbio::status::Success);
        QVERIFY(form.USBLink->Opened);
    }
    form.Dialogue().update().setStateForTest(updating ? dialogue::UpdateFlow::State::LoaderOpen
                                                      : dialogue::UpdateFlow::State::Idle);

    connect(&form, &TForm1::lifecycleStep, this, [&](const QString &step) {
        seen << step;
        if (step == QLatin1String("CloseDevice"))
            linkClosedWhileAlive = form.USBLink != nullptr && !form.USBLink->Opened;
        if (step == QLatin1String("LinkDestroyed")) {
            QVERIFY(form.USBLink == nullptr);
            QVERIFY(form.RegTools != nullptr); // the probe outlives the link
        }
    });

    if (closeFirst) {
        bool canClose = false;
        form.FormCloseQuery(&form, canClose);
        QVERIFY(canClose); // also during an update
        QVERIFY(form.close());
        QVERIFY(!form.isVisible());
        QVERIFY(form.USBLink == nullptr);
        QVERIFY(form.RegTools != nullptr);
        QCOMPARE(seen, steps.mid(0, steps.size() - 1));
        // A second close finds no link and does nothing more.
        form.FormClose(&form);
        QCOMPARE(seen, steps.mid(0, steps.size() - 1));
    }
    fixture.destroyWindow();
    QCOMPARE(seen, steps);
    QCOMPARE(linkClosedWhileAlive, deviceOpen);

    // The device was let go: a new link can open it.
    TVemoUSBinterface link(nullptr);
    link.ConnectInterfaces();
    QCOMPARE(link.ScanDevices(), 1);
    QCOMPARE(link.OpenDevice(0), usbio::status::Success);
    link.CloseDevice();
}

VEMO_TEST_MAIN(TestForm1Startup)
#include "tst_form1_startup.moc"
