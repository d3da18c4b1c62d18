#include "dialogue/StartUp.h"
#include "link/VemoUSBinterface.h"
#include "registry/KeyStore.h"
#include "tests/support/DialogueRig.h"
#include "tests/support/TestBytes.h"
#include "usbio/Backend.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using registry::RootKey;
using usbio::Generation;
using Control = dialogue::WindowPort::Control;

// Start-up without a window: the lines it logs in their order, the state
// it leaves the window in, the link it has the window make and binds to the
// window's handlers, and the command line it hands on last.
class TestStartUp : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void log_data();
    void log();
    void windowLeftAtRest();
    void linkBoundToTheWindowsHandlers();
    void commandLineHandedOnLast_data();
    void commandLineHandedOnLast();
    void missingComponentStillRunsTheCommandLine();
    void registryErrorEscapesBeforeTheLink();
};

namespace {

const QString kNoVemoDetected = QString::fromLatin1(dialogue::StartUp::NoVemoDetected);
const QString kNotRegisteredBox =
    QStringLiteral("USBIOCOM not registered! Use regsvr32 usbio230.dll|USBIO not registerd|16");

QStringList boxes(DialogueRig &rig)
{
    QStringList shown;
    for (const FakeHostServices::Call &box : rig.host().boxes())
        shown << QStringLiteral("%1|%2|%3").arg(box.text, box.caption).arg(box.flags);
    return shown;
}

// Clears the backend note of the simulated bus when the test ends.
struct BackendNote
{
    explicit BackendNote(const QString &note)
    {
        usbio::setBackendNote(QStringLiteral("sim"), note);
    }
    ~BackendNote() { usbio::setBackendNote(QStringLiteral("sim"), QString()); }
};

} // namespace

void TestStartUp::log_data()
{
    QTest::addColumn<QString>("situation");
    QTest::addColumn<QStringList>("lines");
    QTest::addColumn<QStringList>("items");
    QTest::addColumn<QStringList>("boxes");
    QTest::addColumn<bool>("endRequested");

    const QString dir = DialogueRig::CurrentDir;
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
    // The backend's note says why nothing can be found, before the link.
    QTest::newRow("backend note") << "backend note"
                                  << QStringList{"Vemo USB driver not installed",
                                                 "Vemo2 USB driver not installed",
                                                 "Vemo3 USB driver not installed",
                                                 "No Vemo found",
                                                 "USB: no USB file system",
                                                 "PnPNotification enabled",
                                                 dir,
                                                 kNoVemoDetected}
                                  << QStringList{} << QStringList{} << false;
    QTest::newRow("PnP refused") << "PnP refused" << QStringList{"Vemo USB driver not installed",
                                                                 "Vemo2 USB driver installed",
                                                                 "Vemo3 USB driver not installed",
                                                                 "Vemo2 found",
                                                                 "PnPNotification failed",
                                                                 dir}
                                 << QStringList{"Vemo2 #1"} << QStringList{} << false;
    // The link reports the missing component first, then start-up; it goes
    // on to its end.
    QTest::newRow("component unregistered")
        << "component unregistered"
        << QStringList{"Vemo USB driver not installed", "Vemo2 USB driver not installed",
                       "Vemo3 USB driver not installed", "No Vemo found", kNoVemoDetected}
        << QStringList{} << QStringList{"Error init Vemo object|Error|0", kNotRegisteredBox}
        << true;
}

void TestStartUp::log()
{
    QFETCH(QString, situation);
    QFETCH(QStringList, lines);
    QFETCH(QStringList, items);
    QFETCH(QStringList, boxes);
    QFETCH(bool, endRequested);

    DialogueRig rig;
    std::unique_ptr<BackendNote> note;
    if (situation == QLatin1String("one Vemo2")) {
        rig.attach(Generation::Vemo2, "000004711");
    } else if (situation == QLatin1String("backend note")) {
        note = std::make_unique<BackendNote>(QStringLiteral("USB: no USB file system"));
    } else if (situation == QLatin1String("PnP refused")) {
        rig.attach(Generation::Vemo2, "000004711");
        rig.bus().pnpEnableStatus = usbio::status::AccessDenied;
    } else if (situation == QLatin1String("component unregistered")) {
        rig.bus().setComponentRegistered(false);
    }

    rig.start();

    QCOMPARE(rig.lines, lines);
    QCOMPARE(rig.deviceItems, items);
    QCOMPARE(rig.selectedItem, items.isEmpty() ? -1 : 0);
    QCOMPARE(::boxes(rig), boxes);
    QCOMPARE(rig.host().terminateRequested(), endRequested);
    // One link, the window's, whether or not it could be wired.
    QCOMPARE(rig.linksCreated, 1);
    QVERIFY(rig.link() != nullptr);
    QVERIFY(!rig.link()->Opened);
}

void TestStartUp::windowLeftAtRest()
{
    DialogueRig rig;
    rig.attach(Generation::Vemo2, "000004711");
    // Whatever the window held before.
    rig.setUpdating(true);
    rig.setAutoUpdate(true);
    rig.setSerialNo("123456789");
    rig.holdChunk("0123456789ABCDEF");
    rig.progressVisible = true;

    rig.start();

    const dialogue::WindowState state = rig.state();
    QVERIFY(!state.updating);
    QVERIFY(!state.autoUpdate);
    QVERIFY(state.serialNo.isEmpty());
    QVERIFY(state.pendingChunk.isEmpty());
    QVERIFY(!rig.progressVisible);
    for (Control off : {Control::Close, Control::SendCommand, Control::Update, Control::ChooseFile,
                        Control::DownloadB})
        QVERIFY(!rig.controlEnabled(off));
    // The list and its button keep the layout's state.
    QVERIFY(rig.controlEnabled(Control::Open));
    QVERIFY(rig.controlEnabled(Control::DevicesCB));
    // Start-up waits for nothing from the device and starts no timer.
    for (const FakeWindowPort::TimerState &timer : std::as_const(rig.timers))
        QVERIFY(!timer.enabled);
    QVERIFY(rig.host().boxes().isEmpty());
}

void TestStartUp::linkBoundToTheWindowsHandlers()
{
    QTemporaryDir dir;
    const QString image = dir.filePath(QStringLiteral("vemo2.bin"));
    {
        QFile file(image);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(testBytes(1000));
    }
    DialogueRig rig;
    usbio::SimDevice *first = rig.attach(Generation::Vemo2, "000004711");
    rig.start();
    rig.handlerCalls.clear();

    // Arrival, then the device's text, then the end of a transfer and a
    // transfer cut short, each reaches the window's handler.
    rig.attach(Generation::Vemo3, "000004712");
    QTRY_VERIFY(rig.handlerCalls.contains(QStringLiteral("pnpAddNotification")));
    QCOMPARE(rig.deviceItems, (QStringList{"Vemo2 #1", "Vemo3 #2"}));

    TVemoUSBinterface *link = rig.link();
    QCOMPARE(link->OpenDevice(0), usbio::status::Success);
    QCOMPARE(link->StartReceive(false), usbio::status::Success);
    first->sendToHost("OK\r");
    QTRY_VERIFY(rig.handlerCalls.contains(QStringLiteral("deviceDataReceived OK\r")));
    QCOMPARE(rig.lines.last(), QStringLiteral("OK"));

    QCOMPARE(link->SendFile(QFile::encodeName(image)), usbio::status::Success);
    QTRY_VERIFY(rig.handlerCalls.contains(QStringLiteral("transferComplete ") + image +
                                          QStringLiteral(" 1000")));
    QVERIFY(rig.handlerCalls.contains(QStringLiteral("transferProgress 100")));
    // The close stops a transfer after its chunk in flight.
    QCOMPARE(link->SendFile(QFile::encodeName(image)), usbio::status::Success);
    link->CloseDevice();
    QCOMPARE(rig.handlerCalls.last(),
             QStringLiteral("transferFailed ") + image + QStringLiteral(" 64/1000 Cancelled"));

    rig.bus().detach(first);
    QTRY_VERIFY(rig.handlerCalls.contains(QStringLiteral("pnpRemoveNotification")));
    QCOMPARE(rig.deviceItems, QStringList{"Vemo3 #1"});
}

void TestStartUp::commandLineHandedOnLast_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("dispatch"); // empty: none

    QTest::newRow("no arguments") << QStringList{} << "";
    QTest::newRow("serial run") << QStringList{"/SERIAL123456789"}
                                << "dispatchCommandLine /SERIAL123456789";
    QTest::newRow("every argument after the path")
        << QStringList{"/fw/vemo2.bin", "/CALIBRATE", "x"}
        << "dispatchCommandLine /fw/vemo2.bin /CALIBRATE x";
}

void TestStartUp::commandLineHandedOnLast()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, dispatch);

    // The window's port itself: the dispatch is only recorded.
    ScopedHost host;
    TempKeyStore store;
    usbio::SimBus bus(&store.store());
    bus.install();
    FakeWindowPort window;
    dialogue::StartUp(window).Run(QStringList{DialogueRig::ProgramPath} + arguments);

    // Start-up has logged everything before it hands on.
    QCOMPARE(window.lines.last(), kNoVemoDetected);
    QCOMPARE(window.handlerCalls.filter(QStringLiteral("dispatchCommandLine")).size(),
             dispatch.isEmpty() ? 0 : 1);
    if (!dispatch.isEmpty())
        QCOMPARE(window.handlerCalls.last(), dispatch);
    window.destroyLink();
}

void TestStartUp::missingComponentStillRunsTheCommandLine()
{
    QTemporaryDir dir;
    const QString image = dir.filePath(QStringLiteral("vemo2.bin"));
    {
        QFile file(image);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(testBytes(100));
    }
    DialogueRig rig;
    rig.attach(Generation::Vemo2, "000004711");
    usbio::selectBackend(QStringLiteral("libusb-missing"));

    rig.start({image});

    // The update finds no listed device and ends the program, after the
    // component's boxes.
    QCOMPARE(boxes(rig), (QStringList{"Error init Vemo object|Error|0", kNotRegisteredBox,
                                      "No Vemo found|Error|16"}));
    QCOMPARE(rig.lines.last(), kNoVemoDetected);
    QCOMPARE(rig.ends.size(), 1);
    QVERIFY(rig.ends.first().failed);
    QCOMPARE(rig.ends.first().reason, QStringLiteral("No Vemo found"));
}

void TestStartUp::registryErrorEscapesBeforeTheLink()
{
    DialogueRig rig;
    rig.attach(Generation::Vemo2, "000004711");
    // A listed device whose instance path is a number cannot be read.
    rig.store().writeInteger(RootKey::LocalMachine, DialogueRig::ServiceEnum, QStringLiteral("0"),
                             42);

    QVERIFY_THROWS_EXCEPTION(registry::RegistryError, rig.start());
    QCOMPARE(rig.lines, (QStringList{"Vemo USB driver not installed", "Vemo2 USB driver installed",
                                     "Vemo3 USB driver not installed"}));
    QCOMPARE(rig.linksCreated, 0);
    QVERIFY(rig.host().boxes().isEmpty());
}

QTEST_GUILESS_MAIN(TestStartUp)
#include "tst_startup.moc"
