#include "link/VemoUSBinterface.h"
#include "tests/support/DialogueRig.h"

#include <QTest>

using usbio::Generation;
using Timer = dialogue::WindowPort::Timer;

// The incoming lines without a window: the device's output chunk by chunk,
// joined into lines, shown, hidden or held; the loader's readiness handed
// to the update; the serial and calibration replies (the certificate
// printed, also when the printer fails, the serial reply handed to whoever
// waits for it); the echo, also when it cannot be sent; and a chunk that
// arrives inside the box of another.
class TestIncoming : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void linesShown_data();
    void linesShown();
    void loaderReadyIsHandedOver();
    void serialReplies_data();
    void serialReplies();
    void calibrationReplies_data();
    void calibrationReplies();
    void echo_data();
    void echo();
    void nestedCallInsideTheBoxClearsTheHeldChunk();
    void calibrationReplyPrints_data();
    void calibrationReplyPrints();
    void serialReplyHandedOn_data();
    void serialReplyHandedOn();
    void echoWithoutALink();
};

namespace {

// Each chunk as one read of the link hands it over.
void receive(DialogueRig &rig, const QList<QByteArray> &chunks)
{
    for (const QByteArray &chunk : chunks)
        rig.dialogue.deviceDataReceived(chunk);
}

// One Vemo2 open, its answer to the new-firmware query in; then a clean
// slate: nothing recorded on the device or the host.
usbio::SimDevice *openDevice(DialogueRig &rig)
{
    usbio::SimDevice *device = rig.attach(Generation::Vemo2, "000004711");
    rig.start();
    rig.dialogue.openClick();
    if (!QTest::qWaitFor(
            [&] { return !rig.lines.isEmpty() && rig.lines.last().startsWith("Vemo2"); }, 10000))
        return nullptr;
    device->clearRecords();
    rig.host().clearCalls();
    return device;
}

} // namespace

void TestIncoming::linesShown_data()
{
    QTest::addColumn<QList<QByteArray>>("chunks");
    QTest::addColumn<bool>("filterLifeTick");
    QTest::addColumn<QStringList>("entries");
    QTest::addColumn<int>("beeps");

    QTest::newRow("one line") << QList<QByteArray>{"OK\r"} << false << QStringList{"OK"} << 0;
    QTest::newRow("16 and 3 letters") << QList<QByteArray>{"0123456789ABCDEF", "abc\r"} << false
                                      << QStringList{"0123456789ABCDEFabc"} << 0;
    QTest::newRow("two full chunks")
        << QList<QByteArray>{"0123456789ABCDEF", "fedcba9876543210"} << false
        << QStringList{"0123456789ABCDEFfedcba9876543210"} << 0;
    QTest::newRow("three full chunks")
        << QList<QByteArray>{"0123456789ABCDEF", "fedcba9876543210", "0123456789abcdef"} << false
        << QStringList{"0123456789ABCDEFfedcba9876543210"} << 0;
    QTest::newRow("15 shown at once")
        << QList<QByteArray>{"0123456789ABCDE"} << false << QStringList{"0123456789ABCDE"} << 0;
    QTest::newRow("BLANK beeps, blank does not")
        << QList<QByteArray>{"BLANK\r", "blank\r"} << false << QStringList{"BLANK", "blank"} << 1;
    const QList<QByteArray> ticks{"VEMO:RUN\r", "12:34:56.7890\r", "x VEMO:\r"};
    QTest::newRow("life ticks shown")
        << ticks << false << QStringList{"VEMO:RUN", "12:34:56.7890", "x VEMO:"} << 0;
    // Only the raw log has them.
    QTest::newRow("life ticks hidden on request") << ticks << true << QStringList{"x VEMO:"} << 0;
}

void TestIncoming::linesShown()
{
    QFETCH(QList<QByteArray>, chunks);
    QFETCH(bool, filterLifeTick);
    QFETCH(QStringList, entries);
    QFETCH(int, beeps);

    DialogueRig rig;
    rig.filterLifeTickTicked = filterLifeTick;

    receive(rig, chunks);

    QCOMPARE(rig.lines, entries);
    QCOMPARE(rig.host().beeps(), beeps);
    // The raw log has every chunk as it came, with its length.
    QList<QByteArray> raw;
    for (const QByteArray &chunk : chunks)
        raw << chunk + '\t' + QByteArray::number(chunk.size());
    QCOMPARE(rig.rawLines, raw);
}

void TestIncoming::loaderReadyIsHandedOver()
{
    DialogueRig rig;
    QVERIFY(openDevice(rig));
    const int before = int(rig.lines.size());
    rig.setTimerEnabled(Timer::BWF, true);

    receive(rig, {"0123456789ABCDEF", "Flash is BLANK\r"});

    QVERIFY(!rig.timerEnabled(Timer::BWF));
    QCOMPARE(rig.linesFrom(before), QStringList{"sending File...."});
    // Only the raw log has the chunk; the held chunk waits for the next line.
    QCOMPARE(rig.rawLines.last(), QByteArray("Flash is BLANK\r\t15"));
    QCOMPARE(rig.dialogue.pendingChunk(), QByteArray("0123456789ABCDEF"));
    QCOMPARE(rig.host().beeps(), 1);
    // The transfer was asked for: with no file there, the cursor went back.
    QCOMPARE(rig.host().journal(), (QStringList{"beep", "cursor busy", "cursor normal"}));
}

void TestIncoming::serialReplies_data()
{
    QTest::addColumn<QByteArray>("chunk");
    QTest::addColumn<QByteArray>("serial"); // empty: refused

    QTest::newRow("15") << QByteArray("DEVNR123456789\r") << QByteArray("123456789");
    QTest::newRow("14, not ending in CR")
        << QByteArray("DEVNR1234567\rX") << QByteArray("1234567\rX");
    QTest::newRow("14 ending in CR") << QByteArray("DEVNR12345678\r") << QByteArray();
    QTest::newRow("13") << QByteArray("DEVNR1234567\r") << QByteArray();
    QTest::newRow("13 without CR, completed to 14") << QByteArray("DEVNR12345678") << QByteArray();
    QTest::newRow("16 joined with the next") << QByteArray("DEVNR1234567890A") << QByteArray();
}

void TestIncoming::serialReplies()
{
    QFETCH(QByteArray, chunk);
    QFETCH(QByteArray, serial);

    DialogueRig rig;
    rig.dialogue.setSerialNo("OLDSERIAL");
    QList<QByteArray> chunks{chunk};
    if (chunk.size() == 16)
        chunks << QByteArray("\r");
    receive(rig, chunks);

    if (!serial.isEmpty()) {
        QCOMPARE(rig.dialogue.serialNo(), serial);
        QVERIFY(rig.host().boxes().isEmpty());
        return;
    }
    QCOMPARE(rig.dialogue.serialNo(), QByteArray("OLDSERIAL"));
    QCOMPARE(rig.host().boxes().size(), 1);
    const FakeHostServices::Call box = rig.host().lastBox();
    QCOMPARE(box.text, QStringLiteral("Error length of device number"));
    QByteArray line = chunk.size() == 16 ? chunk + '\r' : chunk;
    if (!line.contains('\r'))
        line += '\r';
    QCOMPARE(box.caption,
             QStringLiteral("Please check device number!") + QString::fromLatin1(line));
    QCOMPARE(box.flags, 16);
}

void TestIncoming::calibrationReplies_data()
{
    QTest::addColumn<QList<QByteArray>>("chunks");
    QTest::addColumn<bool>("printed");

    QTest::newRow("11") << QList<QByteArray>{"ABGL09-01-\r"} << false;
    QTest::newRow("12") << QList<QByteArray>{"ABGL09-01-0\r"} << true;
    QTest::newRow("13") << QList<QByteArray>{"ABGL09-01-01\r"} << true;
    // A chunk of 15 is a line of its own: the reply is split after 16.
    QTest::newRow("25") << QList<QByteArray>{"ABGL09-01-01 +0.", "00123456\r"} << true;
    QTest::newRow("26") << QList<QByteArray>{"ABGL09-01-01 +0.", "001234567\r"} << false;
}

void TestIncoming::calibrationReplies()
{
    QFETCH(QList<QByteArray>, chunks);
    QFETCH(bool, printed);

    DialogueRig rig;
    // The report engine fails, as it does without a printer.
    rig.printError = QStringLiteral("No default printer is set up");
    receive(rig, chunks);

    const QStringList lines = rig.lines;
    const int at = int(lines.indexOf(QStringLiteral("Print out Report:")));
    QCOMPARE(at >= 0, printed);
    QCOMPARE(rig.certificates.size(), printed ? 1 : 0);
    if (printed) {
        // The line itself first, then the print; the engine's failure is
        // one line.
        QCOMPARE(at, 1);
        QVERIFY(lines.value(2).startsWith(QStringLiteral("Could not create Report:")));
        QCOMPARE(lines.size(), 3);
    } else {
        QCOMPARE(lines.size(), 1);
    }
}

void TestIncoming::echo_data()
{
    QTest::addColumn<bool>("echo");
    QTest::newRow("on") << true;
    QTest::newRow("off") << false;
}

void TestIncoming::echo()
{
    QFETCH(bool, echo);

    DialogueRig rig;
    usbio::SimDevice *device = openDevice(rig);
    QVERIFY(device);
    const int before = int(rig.lines.size());
    rig.echoTicked = echo;

    receive(rig, {"HELLO\r"});

    if (!echo) {
        QCOMPARE(rig.linesFrom(before), QStringList{"HELLO"});
        // Nothing went to the device before a command sent after the line.
        QList<QByteArray> sent;
        QVERIFY(rig.commandsBeforeMarker(device, sent));
        QVERIFY2(sent.isEmpty(), sent.join(' ').constData());
        return;
    }
    QTRY_COMPARE(device->receivedCommands(), (QList<QByteArray>{"DTPHELLO", "DTPHELLO"}));
    // The device's "DTP" answers are shown and not echoed again.
    QTRY_COMPARE(rig.linesFrom(before).count(QStringLiteral("DTP")), 2);
    QCOMPARE(rig.linesFrom(before).count(QStringLiteral("Echo is on: Sending 2x DTPHELLO")), 1);
    QCOMPARE(rig.linesFrom(before).filter(QStringLiteral("Echo is on")).size(), 1);
    QCOMPARE(device->printerLines(), (QList<QByteArray>{"HELLO", "HELLO"}));
}

void TestIncoming::nestedCallInsideTheBoxClearsTheHeldChunk()
{
    DialogueRig rig;
    // While the box of a refused serial reply is open, a full chunk arrives
    // and is held; the outer call ends by clearing it.
    rig.host().onBox = [&rig](const FakeHostServices::Call &) {
        rig.dialogue.deviceDataReceived("0123456789ABCDEF");
        QCOMPARE(rig.dialogue.pendingChunk(), QByteArray("0123456789ABCDEF"));
    };
    receive(rig, {"DEVNR12\r"});
    QCOMPARE(rig.host().boxes().size(), 1);
    QVERIFY(rig.dialogue.pendingChunk().isEmpty());

    rig.host().onBox = nullptr;
    receive(rig, {"abc\r"});
    QCOMPARE(rig.lines, (QStringList{"DEVNR12", "abc"}));
}

void TestIncoming::calibrationReplyPrints_data()
{
    QTest::addColumn<QString>("printError"); // empty: the certificate prints
    QTest::addColumn<QStringList>("lines");

    QTest::newRow("printed") << "" << QStringList{"ABGL24-06-01 +0.00123", "Print out Report:"};
    QTest::newRow("printer fails")
        << "No default printer is set up"
        << QStringList{"ABGL24-06-01 +0.00123",
                       "Print out Report:", "Could not create Report:No default printer is set up"};
}

void TestIncoming::calibrationReplyPrints()
{
    QFETCH(QString, printError);
    QFETCH(QStringList, lines);

    DialogueRig rig;
    rig.printError = printError;
    rig.dialogue.setSerialNo("VX1234567");

    rig.dialogue.incoming().DeviceDataReceived("ABGL24-06-01 +0.");
    rig.dialogue.incoming().DeviceDataReceived("00123\r");

    QCOMPARE(rig.lines, lines);
    QCOMPARE(rig.certificates.size(), 1);
    const FakeWindowPort::Certificate &certificate = rig.certificates.first();
    QCOMPARE(certificate.serialNo, QByteArray("VX1234567"));
    QCOMPARE(certificate.deviation, QByteArray("+0.00123\r"));
    QCOMPARE(certificate.setDate, QByteArray("24-06-01"));
    // A certificate that cannot be made is only a line: no box, nothing ends.
    QVERIFY(rig.host().boxes().isEmpty());
    QVERIFY(rig.ends.isEmpty());
    QVERIFY(rig.dialogue.pendingChunk().isEmpty());
}

void TestIncoming::serialReplyHandedOn_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<QByteArray>("serial");

    QTest::newRow("accepted") << QByteArray("DEVNR123456789\r") << true << QByteArray("123456789");
    QTest::newRow("14 without CR")
        << QByteArray("DEVNR12345678X") << true << QByteArray("12345678X");
    QTest::newRow("too short") << QByteArray("DEVNR99\r") << false << QByteArray();
}

void TestIncoming::serialReplyHandedOn()
{
    QFETCH(QByteArray, line);
    QFETCH(bool, accepted);
    QFETCH(QByteArray, serial);

    // A device that does not answer the query itself: the test's line is
    // the reply the read-back waits for.
    DialogueRig rig;
    usbio::SimDeviceSettings settings;
    settings.answers.insert("DEVNR?", QByteArray());
    rig.bus().attach(settings);
    rig.start();
    // Unattended from here: the read-back ends the run.
    rig.dialogue.setRunSettings({false, false, QString(), true});
    rig.dialogue.openClick();
    rig.dialogue.setSerialNo("OLDSERIAL");
    rig.dialogue.readBack().Start(accepted ? serial : QByteArray("123456789"));
    QVERIFY(rig.dialogue.readBack().Waiting());

    rig.dialogue.deviceDataReceived(line);

    // The reply was handed on once its number was taken (or its box shown).
    QCOMPARE(rig.ends.size(), 1);
    QCOMPARE(rig.ends.first().kind, accepted ? dialogue::EndKind::Done : dialogue::EndKind::Failed);
    QCOMPARE(rig.ends.first().reason, accepted ? QStringLiteral("serial number read back")
                                               : QStringLiteral("Error length of device number"));
    QCOMPARE(rig.dialogue.serialNo(), accepted ? serial : QByteArray("OLDSERIAL"));
    QCOMPARE(rig.host().boxTexts(),
             accepted ? QStringList{} : QStringList{"Error length of device number"});
}

void TestIncoming::echoWithoutALink()
{
    DialogueRig rig;
    rig.echoTicked = true;

    rig.dialogue.incoming().DeviceDataReceived("HELLO\r");

    // Both echo writes fail and say so; the line itself is shown first.
    const QString closed = usbio::statusDescription(usbio::status::NoLink);
    QCOMPARE(rig.lines,
             (QStringList{"HELLO", "Echo is on: Sending 2x DTPHELLO",
                          "Error writing DTP1: " + closed, "Error writing DTP2: " + closed}));
}

QTEST_GUILESS_MAIN(TestIncoming)
#include "tst_incoming.moc"
