#include "app/Application.h"
#include "app/Unit1.h"
#include "tests/app/WindowFixture.h"
#include "tests/support/TestMain.h"
#include "usbio/sim/SimDevice.h"

#include <QCheckBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>

using usbio::Generation;

// What the window makes of the device's output, chunk by chunk, with the
// simulated device sending and the real window offscreen.
class TestIncomingWindow : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void linesJoinedAndShown_data();
    void linesJoinedAndShown();
    void loaderReadyIsHandedOver();
    void blankBeeps();
    void lifeTicksHiddenOnRequest();
    void eightBitText();
    void serialReplies_data();
    void serialReplies();
    void calibrationReplies_data();
    void calibrationReplies();
    void echo_data();
    void echo();
    void nestedCallInsideTheBoxClearsTheHeldChunk();

private:
    // Sends chunks (one read each) and waits until the raw log has them.
    void deviceSends(const QList<QByteArray> &chunks);
    QStringList added() const { return m_fixture->log().mid(m_linesBefore); }
    QStringList rawLog() const
    {
        return m_form->WithoutFilter->toPlainText().split(QLatin1Char('\n'));
    }

    std::unique_ptr<WindowFixture> m_fixture;
    TForm1 *m_form = nullptr;
    usbio::SimDevice *m_device = nullptr;
    int m_linesBefore = 0;
};

void TestIncomingWindow::init()
{
    m_fixture = std::make_unique<WindowFixture>();
    m_device = m_fixture->attach(Generation::Vemo2, "000004711");
    m_form = &m_fixture->start();
    QTest::mouseClick(m_form->Open, Qt::LeftButton);
    // The answer to the new-firmware query comes first; then a clean slate.
    QTRY_VERIFY(m_fixture->log().last().startsWith(QStringLiteral("Vemo2")));
    m_device->clearRecords();
    m_fixture->host().clearCalls();
    m_linesBefore = m_fixture->log().size();
}

void TestIncomingWindow::cleanup()
{
    m_fixture.reset();
    m_form = nullptr;
}

void TestIncomingWindow::deviceSends(const QList<QByteArray> &chunks)
{
    const int rawBefore = rawLog().size();
    for (const QByteArray &chunk : chunks) {
        QVERIFY(chunk.size() <= 16);
        m_device->sendToHost(chunk);
    }
    // Handlers may make the device answer: at least these chunks are in.
    QTRY_VERIFY(rawLog().size() >= rawBefore + chunks.size());
}

void TestIncomingWindow::linesJoinedAndShown_data()
{
    QTest::addColumn<QList<QByteArray>>("chunks");
    QTest::addColumn<QStringList>("entries");

    QTest::newRow("one line") << QList<QByteArray>{"OK\r"} << QStringList{"OK"};
    QTest::newRow("16 and 3 letters")
        << QList<QByteArray>{"0123456789ABCDEF", "abc\r"} << QStringList{"0123456789ABCDEFabc"};
    QTest::newRow("two full chunks") << QList<QByteArray>{"0123456789ABCDEF", "fedcba9876543210"}
                                     << QStringList{"0123456789ABCDEFfedcba9876543210"};
    QTest::newRow("three full chunks")
        << QList<QByteArray>{"0123456789ABCDEF", "fedcba9876543210", "0123456789abcdef"}
        << QStringList{"0123456789ABCDEFfedcba9876543210"};
    QTest::newRow("15 shown at once")
        << QList<QByteArray>{"0123456789ABCDE"} << QStringList{"0123456789ABCDE"};
}

void TestIncomingWindow::linesJoinedAndShown()
{
    QFETCH(QList<QByteArray>, chunks);
    QFETCH(QStringList, entries);
    deviceSends(chunks);
    QCOMPARE(added(), entries);
}

void TestIncomingWindow::loaderReadyIsHandedOver()
{
    m_form->BWFTimer->start(60000);
    deviceSends({"0123456789ABCDEF", "Flash is BLANK\r"});

    QVERIFY(!m_form->BWFTimer->isActive());
    QCOMPARE(added(), QStringList{"sending File...."});
    // Only the raw log has the chunk; the held chunk waits for the next line.
    QCOMPARE(rawLog().last(), QStringLiteral("Flash is BLANK \t15"));
    QCOMPARE(m_form->Dialogue().pendingChunk(), QByteArray("0123456789ABCDEF"));
    QCOMPARE(m_fixture->host().beeps(), 1);
    // The transfer was asked for: with no file there, the cursor went back.
    QCOMPARE(m_fixture->host().journal(), (QStringList{"beep", "cursor busy", "cursor normal"}));
}

void TestIncomingWindow::blankBeeps()
{
    deviceSends({"BLANK\r", "blank\r"});
    QCOMPARE(added(), (QStringList{"BLANK", "blank"}));
    QCOMPARE(m_fixture->host().beeps(), 1);
}

void TestIncomingWindow::lifeTicksHiddenOnRequest()
{
    const QList<QByteArray> ticks{"VEMO:RUN\r", "12:34:56.7890\r", "x VEMO:\r"};
    deviceSends(ticks);
    QCOMPARE(added(), (QStringList{"VEMO:RUN", "12:34:56.7890", "x VEMO:"}));

    m_form->FilterLifeTick->setChecked(true);
    m_linesBefore = m_fixture->log().size();
    deviceSends(ticks);
    QCOMPARE(added(), QStringList{"x VEMO:"});
    QCOMPARE(rawLog().mid(rawLog().size() - 3),
             (QStringList{"VEMO:RUN \t9", "12:34:56.7890 \t14", "x VEMO: \t8"}));
}

void TestIncomingWindow::eightBitText()
{
    // Windows-1252: one byte, one character; a zero byte ends the read's text.
    deviceSends({QByteArray("25\xb0"
                            "C \x80"
                            "5\r"),
                 QByteArray("ab\0cd\r", 6)});
    QCOMPARE(added(), (QStringList{QStringLiteral("25\u00b0C \u20ac5"), "ab"}));
}

void TestIncomingWindow::serialReplies_data()
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

void TestIncomingWindow::serialReplies()
{
    QFETCH(QByteArray, chunk);
    QFETCH(QByteArray, serial);

    m_form->Dialogue().setSerialNo("OLDSERIAL");
    QList<QByteArray> chunks{chunk};
    if (chunk.size() == 16)
        chunks << QByteArray("\r");
    deviceSends(chunks);

    if (!serial.isEmpty()) {
        QCOMPARE(m_form->Dialogue().serialNo(), serial);
        QVERIFY(m_fixture->host().boxes().isEmpty());
        return;
    }
    QCOMPARE(m_form->Dialogue().serialNo(), QByteArray("OLDSERIAL"));
    QCOMPARE(m_fixture->host().boxes().size(), 1);
    const FakeHostServices::Call box = m_fixture->host().lastBox();
    QCOMPARE(box.text, QStringLiteral("Error length of device number"));
    QByteArray line = chunk.size() == 16 ? chunk + '\r' : chunk;
    if (!line.contains('\r'))
        line += '\r';
    QCOMPARE(box.caption,
             QStringLiteral("Please check device number!") + QString::fromLatin1(line));
    QCOMPARE(box.flags, 16);
}

void TestIncomingWindow::calibrationReplies_data()
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

void TestIncomingWindow::calibrationReplies()
{
    QFETCH(QList<QByteArray>, chunks);
    QFETCH(bool, printed);
    deviceSends(chunks);

    const QStringList lines = added();
    const int at = lines.indexOf(QStringLiteral("Print out Report:"));
    QCOMPARE(at >= 0, printed);
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

void TestIncomingWindow::echo_data()
{
    QTest::addColumn<bool>("echo");
    QTest::newRow("on") << true;
    QTest::newRow("off") << false;
}

void TestIncomingWindow::echo()
{
    QFETCH(bool, echo);
    m_form->EchoCB->setChecked(echo);
    deviceSends({"HELLO\r"});

    if (!echo) {
        QCOMPARE(added(), QStringList{"HELLO"});
        QTest::qWait(20);
        QVERIFY(m_device->receivedCommands().isEmpty());
        return;
    }
    QTRY_COMPARE(m_device->receivedCommands(), (QList<QByteArray>{"DTPHELLO", "DTPHELLO"}));
    // The device's "DTP" answers are shown and not echoed again.
    QTRY_COMPARE(added().count(QStringLiteral("DTP")), 2);
    QCOMPARE(added().count(QStringLiteral("Echo is on: Sending 2x DTPHELLO")), 1);
    QCOMPARE(added().filter(QStringLiteral("Echo is on")).size(), 1);
    QCOMPARE(m_device->printerLines(), (QList<QByteArray>{"HELLO", "HELLO"}));
}

void TestIncomingWindow::nestedCallInsideTheBoxClearsTheHeldChunk()
{
    // While the box of a refused serial reply is open, a full chunk arrives
    // and is held; the outer call ends by clearing it.
    m_fixture->host().onBox = [this](const FakeHostServices::Call &) {
        AnsiString chunk("0123456789ABCDEF");
        m_form->DeviceDataReceived(nullptr, chunk);
        QCOMPARE(m_form->Dialogue().pendingChunk(), QByteArray("0123456789ABCDEF"));
    };
    deviceSends({"DEVNR12\r"});
    QCOMPARE(m_fixture->host().boxes().size(), 1);
    QVERIFY(m_form->Dialogue().pendingChunk().isEmpty());

    m_fixture->host().onBox = nullptr;
    deviceSends({"abc\r"});
    QCOMPARE(added(), (QStringList{"DEVNR12", "abc"}));
}

int main(int argc, char *argv[])
{
    useOffscreenUnlessSet();
    VemoApplication app(argc, argv);
    TestIncomingWindow test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_incoming_window.moc"
