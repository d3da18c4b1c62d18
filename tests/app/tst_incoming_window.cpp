#include "app/Application.h"
#include "app/Unit1.h"
#include "tests/app/WindowFixture.h"
#include "tests/support/TestMain.h"
#include "usbio/sim/SimDevice.h"

#include <QCheckBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>

using usbio::Generation;

// What the window does itself with the device's output, with the simulated
// device sending and the real window offscreen: 8-bit text decoded as the
// message log shows it, the raw log's one line per chunk, and the check
// boxes the dialogue reads. How chunks become lines and what the replies do
// is tested without a window (tests/dialogue/tst_incoming).
class TestIncomingWindow : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void eightBitText();
    void checkBoxesReachTheDialogue_data();
    void checkBoxesReachTheDialogue();

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

void TestIncomingWindow::eightBitText()
{
    // Windows-1252: one byte, one character; a zero byte ends the read's text.
    deviceSends({QByteArray("25\xb0"
                            "C \x80"
                            "5\r"),
                 QByteArray("ab\0cd\r", 6)});
    QCOMPARE(added(), (QStringList{QStringLiteral("25\u00b0C \u20ac5"), "ab"}));
}

void TestIncomingWindow::checkBoxesReachTheDialogue_data()
{
    QTest::addColumn<QString>("box");
    QTest::addColumn<QList<QByteArray>>("chunks");
    QTest::addColumn<QStringList>("entries");
    QTest::addColumn<QStringList>("raw"); // one line per chunk, breaks as blanks
    QTest::addColumn<QList<QByteArray>>("commands");

    QTest::newRow("Filter Life Tick")
        << "FilterLifeTick" << QList<QByteArray>{"VEMO:RUN\r", "12:34:56.7890\r", "x VEMO:\r"}
        << QStringList{"x VEMO:"}
        << QStringList{"VEMO:RUN \t9", "12:34:56.7890 \t14", "x VEMO: \t8"} << QList<QByteArray>{};
    // The device's "DTP" answers are shown too.
    QTest::newRow("Echo") << "EchoCB" << QList<QByteArray>{"HELLO\r"}
                          << QStringList{"HELLO", "Echo is on: Sending 2x DTPHELLO", "DTP", "DTP"}
                          << QStringList{"HELLO \t6"} << QList<QByteArray>{"DTPHELLO", "DTPHELLO"};
}

void TestIncomingWindow::checkBoxesReachTheDialogue()
{
    QFETCH(QString, box);
    QFETCH(QList<QByteArray>, chunks);
    QFETCH(QStringList, entries);
    QFETCH(QStringList, raw);
    QFETCH(QList<QByteArray>, commands);

    QCheckBox *check = m_form->findChild<QCheckBox *>(box);
    QVERIFY(check);
    check->setChecked(true);
    const int rawBefore = int(rawLog().size());
    deviceSends(chunks);

    QTRY_COMPARE(added(), entries);
    QCOMPARE(rawLog().mid(rawBefore, chunks.size()), raw);
    // What went to the device: everything before a command sent after it.
    const QByteArray marker = "MARKER";
    QCOMPARE(m_form->USBLink->SendCommand(marker + '\r'), usbio::status::Success);
    QTRY_VERIFY(m_device->receivedCommands().contains(marker));
    const QList<QByteArray> received = m_device->receivedCommands();
    QCOMPARE(received.mid(0, received.indexOf(marker)), commands);
}

int main(int argc, char *argv[])
{
    useOffscreenUnlessSet();
    VemoApplication app(argc, argv);
    TestIncomingWindow test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_incoming_window.moc"
