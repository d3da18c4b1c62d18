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
    rig.dialogue.setSerialNo("123456789");
    rig.dialogue.holdChunk("0123456789ABCDEF");
    rig.progressVisible = true;

    rig.start();

    QCOMPARE(rig.updateState(), dialogue::UpdateFlow::State::Idle);
    QVERIFY(!rig.dialogue.update().unattended());
    QVERIFY(rig.dialogue.serialNo().isEmpty());
    QVERIFY(rig.dialogue.pendingChunk().isEmpty());
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
    const int from = int(rig.lines.size());

    // Arrival, then the device's text, then the end of a transfer and a
    // transfer cut short, each reaches the dialogue.
    rig.attach(Generation::Vemo3, "000004712");
    QTRY_VERIFY(rig.linesFrom(from).contains(QStringLiteral("OnPnPAddNotification")));
    QCOMPARE(rig.deviceItems, (QStringList{"Vemo2 #1", "Vemo3 #2"}));

    TVemoUSBinterface *link = rig.link();
    QCOMPARE(link->OpenDevice(0), usbio::status::Success);
    QCOMPARE(link->StartReceive(false), usbio::status::Success);
    first->sendToHost("OK\r");
    QTRY_VERIFY(rig.rawLines.contains("OK\r\t3"));
    QCOMPARE(rig.lines.last(), QStringLiteral("OK"));

    QCOMPARE(link->SendFile(QFile::encodeName(image)), usbio::status::Success);
    QTRY_VERIFY(rig.lines.last().startsWith(QStringLiteral("Firmware update complete: ") + image +
                                            QStringLiteral(", 1000 bytes in ")));
    QVERIFY(rig.progressPositions.contains(100));
    // The close stops a transfer after its chunk in flight.
    QCOMPARE(link->SendFile(QFile::encodeName(image)), usbio::status::Success);
    link->CloseDevice();
    QCOMPARE(rig.lines.last(), QStringLiteral("Firmware transfer failed: ") + image +
                                   QStringLiteral(", 64 of 1000 bytes taken: stopped"));

    rig.bus().detach(first);
    QTRY_VERIFY(rig.linesFrom(from).contains(QStringLiteral("OnPnPRemoveNotification")));
    QCOMPARE(rig.deviceItems, QStringList{"Vemo3 #1"});
}

void TestStartUp::commandLineHandedOnLast_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("run");          // ProductionCommandLine::Run
    QTest::addColumn<QString>("runsLine"); // the run's first line; empty: none

    using Run = dialogue::ProductionCommandLine::Run;
    QTest::newRow("no arguments") << QStringList{} << int(Run::None) << "";
    QTest::newRow("serial run") << QStringList{"/SERIAL123456789"} << int(Run::Serial)
                                << "Error writing serial number!";
    QTest::newRow("every argument after the path")
        << QStringList{"/fw/vemo2.bin", "/CALIBRATE", "x"} << int(Run::Update) << "";
}

void TestStartUp::commandLineHandedOnLast()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, run);
    QFETCH(QString, runsLine);

    DialogueRig rig;
    rig.start(arguments);

    // Start-up has logged everything before it hands on.
    const int handedOn = int(rig.lines.indexOf(kNoVemoDetected));
    QVERIFY(handedOn >= 0);
    QCOMPARE(int(rig.dialogue.runs().LastRun().run), run);
    QCOMPARE(rig.linesFrom(handedOn + 1),
             runsLine.isEmpty() ? QStringList() : QStringList{runsLine});
    if (run == int(dialogue::ProductionCommandLine::Run::Update)) {
        QCOMPARE(rig.dialogue.runs().LastRun().firmwareFile, QStringLiteral("/fw/vemo2.bin"));
        QVERIFY(rig.dialogue.runs().LastRun().calibrate);
    }
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
    QVERIFY(rig.ends.first().failed());
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
