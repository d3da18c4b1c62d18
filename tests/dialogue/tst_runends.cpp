#include "dialogue/UpdateFlow.h"
#include "link/VemoUSBinterface.h"
#include "tests/support/DialogueRig.h"
#include "tests/support/TestBytes.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

using dialogue::EndKind;
using State = dialogue::UpdateFlow::State;
using usbio::Generation;

Q_DECLARE_METATYPE(dialogue::EndKind)

// How production command lines end as whoever started them sees it: a run
// that cannot go on says why (a box for an operator, the line for a line
// script); an update the operator closes before it ended is not done; the
// window's Update looks at the image before it erases the device; a serial
// number is written only when it reads back.
class TestRunEnds : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void refusedRunsSayWhy_data();
    void refusedRunsSayWhy();
    void closedBeforeTheEnd_data();
    void closedBeforeTheEnd();
    void updateLooksAtTheImageFirst_data();
    void updateLooksAtTheImageFirst();
    void serialWrittenWhenItReadsBack_data();
    void serialWrittenWhenItReadsBack();

private:
    QString writeFile(const QString &name, const QByteArray &bytes);

    QTemporaryDir m_dir;
};

QString TestRunEnds::writeFile(const QString &name, const QByteArray &bytes)
{
    QFile file(m_dir.filePath(name));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size())
        return QString();
    return file.fileName();
}

void TestRunEnds::refusedRunsSayWhy_data()
{
    QTest::addColumn<QString>("file"); // in the test's folder; "fifo", "folder"
    QTest::addColumn<bool>("batch");
    QTest::addColumn<EndKind>("kind");
    QTest::addColumn<QString>("line"); // DIR: the test's folder
    QTest::addColumn<QString>("box");  // the operator's box; empty: the line

    for (bool batch : {false, true}) {
        const char *who = batch ? "--batch" : "operator";
        QTest::addRow("folder, %s", who) << "folder" << batch << EndKind::BadInput
                                         << "Firmware file is not a regular file: DIR/folder"
                                         << "File not found";
        QTest::addRow("FIFO, %s", who) << "fifo" << batch << EndKind::BadInput
                                       << "Firmware file is not a regular file: DIR/fifo"
                                       << "File not found";
        QTest::addRow("empty image, %s", who) << "vemo2.bin:0" << batch << EndKind::BadInput
                                              << "Firmware file is empty: DIR/vemo2.bin"
                                              << "";
        QTest::addRow("another generation, %s", who)
            << "vemo3.bin:100" << batch << EndKind::NoDevice
            << "Firmware of another generation: vemo3.bin is for a Vemo3, the device is a "
               "Vemo2 (--force loads it)"
            << "";
    }
}

// Each end says why in the log; an operator also gets one box before the
// window goes, a line script only the line. Nothing reaches the device.
void TestRunEnds::refusedRunsSayWhy()
{
    QFETCH(QString, file);
    QFETCH(bool, batch);
    QFETCH(EndKind, kind);
    QFETCH(QString, line);
    QFETCH(QString, box);

    QString path = m_dir.filePath(file);
    // What an earlier row left there.
    QDir(path).removeRecursively();
    QFile::remove(path);
    if (file == QLatin1String("folder")) {
        QVERIFY(QDir(m_dir.path()).mkpath(file));
    } else if (file == QLatin1String("fifo")) {
        QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
    } else {
        const QString name = file.section(QLatin1Char(':'), 0, 0);
        path = writeFile(name, testBytes(file.section(QLatin1Char(':'), 1).toInt()));
    }
    line.replace(QLatin1String("DIR"), m_dir.path());

    DialogueRig rig;
    usbio::SimDevice *device = rig.attach(Generation::Vemo2, "000004711");
    rig.dialogue.setRunSettings({false, false, QString(), batch});
    rig.start({path});

    QCOMPARE(rig.ends.size(), 1);
    QCOMPARE(rig.ends.first().kind, kind);
    QCOMPARE(rig.ends.first().reason, line);
    QVERIFY(rig.lines.contains(line));
    QCOMPARE(rig.host().boxTexts(),
             batch ? QStringList() : QStringList{box.isEmpty() ? line : box});
    QVERIFY(device->receivedPieces().isEmpty());
    QVERIFY(rig.host().terminateRequested());
}

void TestRunEnds::closedBeforeTheEnd_data()
{
    QTest::addColumn<QStringList>("arguments"); // VEMO2: an image in the test's folder
    QTest::addColumn<int>("eraseDelayMs");      // the loader's time to "Flash is BLANK"
    QTest::addColumn<bool>("failed");
    QTest::addColumn<QString>("reason");

    // The loader never says it is ready: the run waits until it is closed.
    QTest::newRow("update stalled in the loader")
        << QStringList{"VEMO2"} << 600000 << true << "closed before the run ended";
    // An update that ended keeps its end; a serial run has nothing to end.
    QTest::newRow("update done") << QStringList{"VEMO2"} << 0 << false << "";
    QTest::newRow("serial run") << QStringList{"/SERIAL123456789"} << 0 << false << "";
    QTest::newRow("no command line") << QStringList{} << 0 << false << "";
}

// An operator closes the window of a production command line: a run that did
// not reach its end is not done.
void TestRunEnds::closedBeforeTheEnd()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, eraseDelayMs);
    QFETCH(bool, failed);
    QFETCH(QString, reason);

    const QString image = writeFile(QStringLiteral("vemo2.bin"), testBytes(300));
    arguments.replaceInStrings(QStringLiteral("VEMO2"), image);
    DialogueRig rig;
    usbio::SimDeviceSettings settings;
    settings.restartDelayMs = 20;
    settings.eraseDelayMs = eraseDelayMs;
    settings.loaderAnnouncesBlank = true;
    rig.bus().attach(settings);
    rig.start(arguments);
    if (eraseDelayMs > 0)
        QTRY_COMPARE(rig.updateState(), State::LoaderOpen);
    else if (!arguments.isEmpty() && arguments.first() == image)
        QTRY_VERIFY(rig.dialogue.outcome().ended());

    rig.dialogue.windowClosing();

    QCOMPARE(rig.dialogue.outcome().failed(), failed);
    if (failed) {
        QCOMPARE(rig.dialogue.outcome().kind(), EndKind::Failed);
        QCOMPARE(rig.dialogue.outcome().reason(), reason);
        QCOMPARE(rig.dialogue.outcome().exitStatus(false), 1);
        QCOMPARE(rig.dialogue.outcome().endLine(false),
                 QStringLiteral("run ended: 1 closed before the run ended"));
    } else {
        QCOMPARE(rig.dialogue.outcome().exitStatus(false), 0);
    }
    rig.setTimerEnabled(dialogue::WindowPort::Timer::BWF, false);
}

void TestRunEnds::updateLooksAtTheImageFirst_data()
{
    QTest::addColumn<QString>("file"); // NAME:SIZE in the test's folder; "folder"
    QTest::addColumn<QString>("box");  // DIR: the test's folder; empty: the update starts

    QTest::newRow("empty") << "vemo2.bin:0"
                           << "Firmware file is empty: DIR/vemo2.bin";
    QTest::newRow("larger than an image can be")
        << "vemo2.bin:33554433"
        << "Firmware file is larger than 32 MiB: DIR/vemo2.bin";
    QTest::newRow("a folder") << "folder"
                              << "File does not exist";
    QTest::newRow("an image") << "vemo2.bin:100"
                              << "";
}

// Update sends the loader request, which erases the flash, only for an
// image that can go in.
void TestRunEnds::updateLooksAtTheImageFirst()
{
    QFETCH(QString, file);
    QFETCH(QString, box);

    QString path = m_dir.filePath(file);
    if (file == QLatin1String("folder")) {
        QVERIFY(QDir(m_dir.path()).mkpath(file));
    } else {
        const QString name = file.section(QLatin1Char(':'), 0, 0);
        path = writeFile(name, testBytes(file.section(QLatin1Char(':'), 1).toInt()));
    }
    box.replace(QLatin1String("DIR"), m_dir.path());

    DialogueRig rig;
    usbio::SimDeviceSettings settings;
    settings.restartDelayMs = 600000; // a request takes it away, not back
    usbio::SimDevice *device = rig.bus().attach(settings);
    rig.start();
    rig.dialogue.openClick();
    QTRY_VERIFY(device->receivedCommands().contains("USB-Vemo:NSF?!!"));
    rig.fileText = path;
    rig.host().clearCalls();

    rig.dialogue.updateClick();

    if (box.isEmpty()) {
        QCOMPARE(rig.updateState(), State::AskingLoader);
        QTRY_VERIFY(device->receivedCommands().contains("USB-Vemo:BWF!!!"));
        QVERIFY(rig.host().boxes().isEmpty());
        return;
    }
    QCOMPARE(rig.host().boxTexts(), QStringList{box});
    QCOMPARE(rig.updateState(), State::Idle);
    QVERIFY(rig.controlEnabled(dialogue::WindowPort::Control::Update));
    // A marker the device takes after anything sent before it.
    QCOMPARE(rig.link()->SendCommand("DTP\r"), usbio::status::Success);
    QTRY_VERIFY(device->receivedCommands().contains("DTP"));
    QVERIFY(!device->receivedCommands().contains("USB-Vemo:BWF!!!"));
}

void TestRunEnds::serialWrittenWhenItReadsBack_data()
{
    QTest::addColumn<bool>("batch");
    QTest::addColumn<QByteArray>("reply"); // the device's answer to "DEVNR?"; empty: its own
    QTest::addColumn<QStringList>("lines");
    QTest::addColumn<int>("endKind"); // -1: the run goes on

    QTest::newRow("operator, read back")
        << false << QByteArray()
        << QStringList{"serial number written: 123456789", "serial number read back: 123456789"}
        << -1;
    QTest::newRow("operator, another number")
        << false << QByteArray("DEVNR999999999")
        << QStringList{"serial number read back differs: 999999999"} << -1;
    QTest::newRow("--batch, read back")
        << true << QByteArray()
        << QStringList{"serial number written: 123456789", "serial number read back: 123456789"}
        << int(EndKind::Done);
    QTest::newRow("--batch, another number") << true << QByteArray("DEVNR999999999")
                                             << QStringList{"serial number read back differs: "
                                                            "999999999"}
                                             << int(EndKind::Failed);
}

// The serial run says the number is written when the device gives it back,
// with or without an operator; only an unattended run ends there.
void TestRunEnds::serialWrittenWhenItReadsBack()
{
    QFETCH(bool, batch);
    QFETCH(QByteArray, reply);
    QFETCH(QStringList, lines);
    QFETCH(int, endKind);

    DialogueRig rig;
    usbio::SimDeviceSettings settings;
    if (!reply.isEmpty())
        settings.answers.insert("DEVNR?", reply);
    rig.bus().attach(settings);
    rig.dialogue.setRunSettings({false, false, QString(), batch});
    rig.start({QStringLiteral("/SERIAL123456789")});

    QTRY_VERIFY(!rig.dialogue.readBack().Waiting());
    QStringList said;
    for (const QString &line : std::as_const(rig.lines)) {
        if (line.startsWith(QLatin1String("serial number ")))
            said << line;
    }
    QCOMPARE(said, lines);
    if (endKind < 0) {
        QVERIFY(rig.ends.isEmpty());
        QVERIFY(!rig.host().terminateRequested());
        return;
    }
    QCOMPARE(rig.ends.size(), 1);
    QCOMPARE(int(rig.ends.first().kind), endKind);
}

QTEST_GUILESS_MAIN(TestRunEnds)
#include "tst_runends.moc"
