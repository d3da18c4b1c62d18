#include "dialogue/SerialReadBack.h"
#include "link/VemoUSBinterface.h"
#include "tests/support/DialogueRig.h"

#include <QTest>

using usbio::Generation;

// The end of an unattended serial run without a window: the query for the
// number after the write, and how the device's reply (or a box, or no way to
// ask) ends the run.
class TestSerialReadBack : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void replyDecidesTheRun_data();
    void replyDecidesTheRun();
    void queryThatCannotBeSent_data();
    void queryThatCannotBeSent();
    void nothingWaitsBeforeTheQuery();
    void deviceReplies_data();
    void deviceReplies();
};

namespace {

const QByteArray kWritten = "AB1234567";

// An unattended serial run on one Vemo2 whose answers are scripted; the
// number written.
usbio::SimDevice *serialRun(DialogueRig &rig, const QMap<QByteArray, QByteArray> &answers)
{
    usbio::SimDeviceSettings settings;
    settings.serialNumber = "000004711";
    settings.answers = answers;
    usbio::SimDevice *device = rig.bus().attach(settings);
    rig.dialogue.setRunSettings({false, false, QString(), true});
    rig.start({QStringLiteral("/SERIAL") + QString::fromLatin1(kWritten)});
    return device;
}

} // namespace

void TestSerialReadBack::replyDecidesTheRun_data()
{
    QTest::addColumn<QString>("event"); // "accepted", "refused", "box", "abandoned"
    QTest::addColumn<QByteArray>("serial");
    QTest::addColumn<QStringList>("lines");
    QTest::addColumn<bool>("failed");
    QTest::addColumn<QString>("reason");

    QTest::newRow("the number written")
        << "accepted" << kWritten
        << QStringList{"serial number written: AB1234567", "serial number read back: AB1234567"}
        << false << "serial number read back";
    QTest::newRow("another number") << "accepted" << QByteArray("999999999")
                                    << QStringList{"serial number read back differs: 999999999"}
                                    << true << "serial number read back differs";
    // The refused reply's box has said why.
    QTest::newRow("reply of the wrong length")
        << "refused" << QByteArray() << QStringList{} << true << "Error length of device number";
    QTest::newRow("a box while waiting")
        << "box" << QByteArray() << QStringList{} << true << "a message box was shown";
    // The time-out ended the run: the read-back ends nothing.
    QTest::newRow("abandoned") << "abandoned" << QByteArray() << QStringList{} << false << "";
}

void TestSerialReadBack::replyDecidesTheRun()
{
    QFETCH(QString, event);
    QFETCH(QByteArray, serial);
    QFETCH(QStringList, lines);
    QFETCH(bool, failed);
    QFETCH(QString, reason);

    DialogueRig rig;
    // The device stays silent to the query: the test gives the reply.
    usbio::SimDevice *device = serialRun(rig, {{"DEVNR?", ""}});
    // The open's query, the write, then the query for the number, from the
    // run itself.
    QTRY_COMPARE(device->receivedCommands(),
                 (QList<QByteArray>{"USB-Vemo:NSF?!!", "DEVNRAB1234567", "DEVNR?"}));
    QVERIFY(rig.dialogue.readBack().Waiting());
    QVERIFY(rig.ends.isEmpty());
    // Not written until the device gives the number back.
    QVERIFY(rig.lines.filter(QStringLiteral("serial number written")).isEmpty());
    const int before = int(rig.lines.size());

    if (event == QLatin1String("box"))
        rig.dialogue.readBack().BoxShown();
    else if (event == QLatin1String("abandoned"))
        rig.dialogue.readBack().Abandon();
    else
        rig.dialogue.readBack().SerialReply(event == QLatin1String("accepted"), serial);

    const int ends = reason.isEmpty() ? 0 : 1;
    QCOMPARE(rig.linesFrom(before), lines);
    QCOMPARE(rig.ends.size(), ends);
    if (ends) {
        QCOMPARE(rig.ends.first().failed(), failed);
        QCOMPARE(rig.ends.first().reason, reason);
    }
    QVERIFY(!rig.dialogue.readBack().Waiting());
    // Over: later replies and boxes change nothing.
    rig.dialogue.readBack().SerialReply(true, kWritten);
    rig.dialogue.readBack().BoxShown();
    QCOMPARE(rig.ends.size(), ends);
    QCOMPARE(rig.linesFrom(before), lines);
}

void TestSerialReadBack::queryThatCannotBeSent_data()
{
    QTest::addColumn<bool>("withLink");
    QTest::newRow("no link") << false;
    QTest::newRow("no device open") << true;
}

void TestSerialReadBack::queryThatCannotBeSent()
{
    QFETCH(bool, withLink);

    DialogueRig rig;
    rig.attach(Generation::Vemo2, "000004711");
    if (withLink)
        rig.start();
    rig.dialogue.setRunSettings({false, false, QString(), true});
    const int before = int(rig.lines.size());

    rig.dialogue.readBack().Start(kWritten);

    QCOMPARE(rig.linesFrom(before), QStringList{"Could not read the serial number back"});
    QCOMPARE(rig.ends.size(), 1);
    QVERIFY(rig.ends.first().failed());
    QCOMPARE(rig.ends.first().reason, QStringLiteral("Could not read the serial number back"));
    QVERIFY(!rig.dialogue.readBack().Waiting());
}

void TestSerialReadBack::nothingWaitsBeforeTheQuery()
{
    DialogueRig rig;
    rig.dialogue.readBack().SerialReply(true, kWritten);
    rig.dialogue.readBack().SerialReply(false, QByteArray());
    rig.dialogue.readBack().BoxShown();
    QVERIFY(rig.ends.isEmpty());
    QVERIFY(rig.lines.isEmpty());
}

void TestSerialReadBack::deviceReplies_data()
{
    QTest::addColumn<QByteArray>("answer"); // empty: the device's own
    // Given in place of the device's reply, which then stays silent to the
    // query; empty: none.
    QTest::addColumn<QByteArray>("given");
    QTest::addColumn<QString>("line"); // empty: none
    QTest::addColumn<bool>("failed");
    QTest::addColumn<bool>("box");

    QTest::newRow("the number written")
        << QByteArray() << QByteArray() << "serial number read back: AB1234567" << false << false;
    QTest::newRow("another number")
        << QByteArray("DEVNR999999999") << QByteArray()
        << "serial number read back differs: 999999999" << true << false;
    QTest::newRow("reply of the wrong length")
        << QByteArray() << QByteArray("DEVNR99\r") << "" << true << true;
}

void TestSerialReadBack::deviceReplies()
{
    QFETCH(QByteArray, answer);
    QFETCH(QByteArray, given);
    QFETCH(QString, line);
    QFETCH(bool, failed);
    QFETCH(bool, box);

    DialogueRig rig;
    QMap<QByteArray, QByteArray> answers;
    if (!given.isEmpty())
        answers.insert("DEVNR?", QByteArray());
    else if (!answer.isEmpty())
        answers.insert("DEVNR?", answer);
    usbio::SimDevice *device = serialRun(rig, answers);
    if (!given.isEmpty()) {
        // The run asked, and the device has acknowledged the number written
        // and stays silent to the query: only the reply given here comes.
        QTRY_VERIFY(device->receivedCommands().contains("DEVNR?"));
        QTRY_VERIFY(rig.lines.contains(QStringLiteral("OK")));
        QVERIFY(rig.ends.isEmpty());
        rig.dialogue.deviceDataReceived(given);
    }
    QTRY_COMPARE(rig.ends.size(), 1);

    QCOMPARE(rig.ends.first().failed(), failed);
    if (!line.isEmpty())
        QCOMPARE(rig.lines.last(), line);
    QCOMPARE(rig.host().boxTexts(),
             box ? QStringList{"Error length of device number"} : QStringList{});
    QCOMPARE(rig.dialogue.serialNo(), box                ? QByteArray()
                                      : answer.isEmpty() ? kWritten
                                                         : answer.mid(5, 9));
}

QTEST_GUILESS_MAIN(TestSerialReadBack)
#include "tst_serialreadback.moc"
