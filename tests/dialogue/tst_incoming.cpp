#include "tests/support/DialogueRig.h"

#include <QTest>

// The incoming lines without a window: the calibration reply printed as a
// certificate, also when the printer fails, the serial reply handed to
// whoever waits for it, and the echo when it cannot be sent.
class TestIncoming : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void calibrationReplyPrints_data();
    void calibrationReplyPrints();
    void serialReplyHandedOn_data();
    void serialReplyHandedOn();
    void echoWithoutALink();
};

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
