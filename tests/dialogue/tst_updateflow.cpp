#include "dialogue/UpdateFlow.h"
#include "link/VemoUSBinterface.h"
#include "tests/support/DialogueRig.h"
#include "tests/support/TestBytes.h"

#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

using dialogue::EndKind;
using State = dialogue::UpdateFlow::State;
using usbio::Generation;

Q_DECLARE_METATYPE(dialogue::EndKind)
Q_DECLARE_METATYPE(dialogue::UpdateFlow::State)

// The firmware update without a window. First its transitions, one row per
// state and event: the next state, what is sent to the device, what is
// logged, which timers run and how the run ends. Then whole updates over the
// simulated bus: an image that cannot be sent ends an unattended run at
// once; the update's done end waits for the calibration certificate and,
// with --verify, for the device back with its new firmware; a signal ends
// the run, during a transfer with how far the image got.
class TestUpdateFlow : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void transitions_data();
    void transitions();
    void unsentImageEndsTheRun_data();
    void unsentImageEndsTheRun();
    void operatorsUnsentImageEndsNothing();
    void secondLoaderReadyDuringTheTransfer();
    void calibrationCertificate_data();
    void calibrationCertificate();
    void verification_data();
    void verification();
    void timeOutWhileVerifying();
    void interrupted_data();
    void interrupted();
    void loaderAgainAfterTheUpdate();
    void boxWhileWaiting();
    void recoveryFromTheLoader_data();
    void recoveryFromTheLoader();

private:
    // An unattended update of file (in the test's folder) on one quick Vemo2
    // whose loader announces its blank flash.
    usbio::SimDevice *startRun(DialogueRig &rig, const QString &file, const QStringList &more = {},
                               const QMap<QByteArray, QByteArray> &answers = {},
                               int lifeTickMs = 0);
    QString writeFile(const QString &name, const QByteArray &bytes);

    QTemporaryDir m_dir;
};

namespace {

const QByteArray kLoaderRequest = "USB-Vemo:BWF!!!";
const QString kAgain = QStringLiteral("Did not receive Flash is blank. Sending additional BWF...");
constexpr int kNoEnd = -1;

} // namespace

void TestUpdateFlow::transitions_data()
{
    QTest::addColumn<State>("from");
    QTest::addColumn<QString>("run");   // operator, unattended, calibrating, verifying
    QTest::addColumn<QString>("event"); // see transitions()
    QTest::addColumn<State>("to");
    QTest::addColumn<QList<QByteArray>>("sent");
    QTest::addColumn<QStringList>("logged"); // "*": anything
    QTest::addColumn<QStringList>("timersOn");
    QTest::addColumn<int>("endKind"); // EndKind, or kNoEnd
    QTest::addColumn<QString>("endReason");

    const QList<QByteArray> nothing;
    const QList<QByteArray> request{kLoaderRequest};
    const QStringList none;
    const QStringList bwf{"BWF"};
    const QStringList reminder{"RestartVemo"};
    const QStringList sending{"sending File...."};
    const QStringList any{"*"};
    const QString noReason;
    const int done = int(EndKind::Done);
    const int failed = int(EndKind::Failed);
    const int notLoaded = int(EndKind::ImageNotLoaded);

    auto row = [&](const char *name, State from, const char *run, const char *event, State to,
                   const QList<QByteArray> &sent, const QStringList &logged,
                   const QStringList &timers, int end = kNoEnd, const QString &reason = {}) {
        QTest::newRow(name) << from << QString::fromLatin1(run) << QString::fromLatin1(event) << to
                            << sent << logged << timers << end << reason;
    };

    // Idle: an operator's window at rest.
    row("idle, Update", State::Idle, "operator", "update", State::AskingLoader, request, none,
        none);
    row("idle, loader ready without an image", State::Idle, "operator", "loader ready, no image",
        State::Idle, nothing, sending, none);
    row("idle, loader ready", State::Idle, "operator", "loader ready", State::Transferring, nothing,
        sending, none);
    row("idle, loader tick", State::Idle, "operator", "bwf tick", State::Idle, nothing, none, none);
    row("idle, reminder tick", State::Idle, "operator", "reminder tick", State::Idle, nothing, none,
        none);
    row("idle, removal", State::Idle, "operator", "removal", State::Idle, nothing, none, none);
    row("idle, answer", State::Idle, "operator", "answer", State::Idle, nothing, none, none);
    row("idle, box", State::Idle, "unattended", "box", State::Idle, nothing, none, none);
    row("idle, signal", State::Idle, "unattended", "signal", State::Ended, nothing, none, none,
        failed, "interrupted by SIGTERM");

    // The loader was asked for; the device has not left.
    row("asking, removal", State::AskingLoader, "operator", "removal", State::DeviceAway, nothing,
        none, reminder);
    row("asking, loader tick", State::AskingLoader, "operator", "bwf tick", State::AskingLoader,
        nothing, none, none);
    row("asking, Update again", State::AskingLoader, "operator", "update", State::AskingLoader,
        request, none, none);
    row("asking, loader ready", State::AskingLoader, "operator", "loader ready",
        State::Transferring, nothing, sending, none);
    row("asking, loader ready without an image", State::AskingLoader, "operator",
        "loader ready, no image", State::Stalled, nothing, sending, none);
    row("asking, unattended, loader ready without an image", State::AskingLoader, "unattended",
        "loader ready, no image", State::Ended, nothing, any, none, int(EndKind::BadInput),
        "firmware image missing: MISSING");

    // Off the bus.
    row("away, reminder tick", State::DeviceAway, "operator", "reminder tick", State::DeviceAway,
        nothing, {"Please restart Vemo!!"}, reminder);
    row("away, loader tick", State::DeviceAway, "operator", "bwf tick", State::DeviceAway, nothing,
        none, reminder);
    row("away, back", State::DeviceAway, "operator", "arrival", State::LoaderOpen, nothing, any,
        bwf);
    row("away, nothing listed", State::DeviceAway, "operator", "arrival of none", State::DeviceAway,
        nothing, none, reminder);

    // The loader is open.
    row("loader open, loader tick", State::LoaderOpen, "operator", "bwf tick", State::LoaderOpen,
        request, {kAgain}, bwf);
    row("loader open, removal", State::LoaderOpen, "operator", "removal", State::DeviceAway,
        nothing, none, QStringList{"BWF", "RestartVemo"});
    row("loader open, loader ready", State::LoaderOpen, "operator", "loader ready",
        State::Transferring, nothing, sending, none);

    // No image could be sent: a replug or the loader resumes.
    row("stalled, loader tick", State::Stalled, "operator", "bwf tick", State::Stalled, request,
        {kAgain}, bwf);
    row("stalled, removal", State::Stalled, "operator", "removal", State::DeviceAway, nothing, none,
        QStringList{"BWF", "RestartVemo"});
    row("stalled, loader ready", State::Stalled, "operator", "loader ready", State::Transferring,
        nothing, sending, none);

    // The image streams.
    row("transferring, loader ready", State::Transferring, "operator", "loader ready",
        State::Transferring, nothing, {QString::fromLatin1(dialogue::UpdateFlow::BlankIgnored)},
        none);
    row("transferring, Update", State::Transferring, "operator", "update", State::Transferring,
        nothing, none, none);
    row("transferring, complete", State::Transferring, "operator", "complete", State::Idle, nothing,
        {"Firmware update complete: /fw/vemo2.bin, 8000 bytes in 1.2 s"}, none);
    row("transferring, failed", State::Transferring, "operator", "failed", State::Idle, nothing,
        {"Firmware transfer failed: /fw/vemo2.bin, 2048 of 8000 bytes taken: device removed"},
        none);
    row("transferring, unattended, complete", State::Transferring, "unattended", "complete",
        State::Ended, nothing, any, none, done, "the device took the whole image");
    row("transferring, unattended, failed", State::Transferring, "unattended", "failed",
        State::Ended, nothing, any, none, notLoaded,
        "transfer failed: device removed at 2048 of 8000 bytes");
    row("transferring, calibrating, complete", State::Transferring, "calibrating", "complete",
        State::AwaitingCertificate, nothing, any, none);
    row("transferring, verifying, complete", State::Transferring, "verifying", "complete",
        State::VerifyingReturn, nothing,
        {"Firmware update complete: /fw/vemo2.bin, 8000 bytes in 1.2 s",
         "waiting for the device to come back with its new firmware"},
        none);

    // After an unattended update.
    row("certificate awaited, certificate", State::AwaitingCertificate, "calibrating",
        "certificate", State::Ended, nothing, none, none, done);
    row("certificate awaited, no certificate", State::AwaitingCertificate, "calibrating",
        "certificate failed", State::Ended, nothing, none, none, failed,
        "certificate could not be made: out of paper");
    row("certificate awaited, box", State::AwaitingCertificate, "calibrating", "box", State::Ended,
        nothing, none, none, failed, "a message box was shown: Error: x");
    row("certificate awaited, loader ready", State::AwaitingCertificate, "calibrating",
        "loader ready", State::Ended, nothing, none, none, notLoaded,
        "the device came back in its loader after the update");
    row("verifying, removal", State::VerifyingReturn, "verifying", "removal",
        State::VerifyingReturn, nothing, none, none);
    row("verifying, a line", State::VerifyingReturn, "verifying", "answer", State::VerifyingReturn,
        nothing, none, none);
    row("verifying, signal", State::VerifyingReturn, "verifying", "signal", State::Ended, nothing,
        none, none, failed, "interrupted by SIGTERM");
    row("answer awaited, answer", State::VerifyingAnswer, "verifying", "answer", State::Ended,
        nothing, {"firmware after update: Vemo2 firmware V2.11"}, none, done);
    row("answer awaited, life tick", State::VerifyingAnswer, "verifying", "life tick",
        State::VerifyingAnswer, nothing, none, none);
    row("answer awaited, removal", State::VerifyingAnswer, "verifying", "removal",
        State::VerifyingReturn, nothing, none, none);

    // The run has ended: nothing more is sent.
    row("ended, loader ready", State::Ended, "unattended", "loader ready", State::Ended, nothing,
        none, none);
    row("ended, Update", State::Ended, "unattended", "update", State::Ended, nothing, none, none);
    row("ended, loader tick", State::Ended, "unattended", "bwf tick", State::Ended, nothing, none,
        none);
}

// Each row starts with one Vemo2 open and its firmware file there, the flow
// put in the row's state, and the timers that state runs; then one event.
void TestUpdateFlow::transitions()
{
    QFETCH(State, from);
    QFETCH(QString, run);
    QFETCH(QString, event);
    QFETCH(State, to);
    QFETCH(QList<QByteArray>, sent);
    QFETCH(QStringList, logged);
    QFETCH(QStringList, timersOn);
    QFETCH(int, endKind);
    QFETCH(QString, endReason);

    using Timer = dialogue::WindowPort::Timer;
    DialogueRig rig;
    usbio::SimDeviceSettings settings;
    settings.serialNumber = "VX0000042";
    settings.restartDelayMs = 60000; // a request sent here takes it away later, not now
    settings.answers.insert("MARK", QByteArray()); // the test's marker gets no answer
    usbio::SimDevice *device = rig.bus().attach(settings);
    rig.dialogue.setRunSettings({false, run == QLatin1String("verifying"), QString()});
    rig.start();
    rig.dialogue.openClick();
    QVERIFY(rig.link()->Opened);
    QTRY_VERIFY(device->receivedCommands().contains("USB-Vemo:NSF?!!"));
    // Its answer is in too: it cannot arrive inside the event's own sends.
    QTRY_VERIFY(!rig.lines.filter(QStringLiteral("Vemo2 firmware V")).isEmpty());
    rig.fileText = writeFile(QStringLiteral("vemo2.bin"), testBytes(100));
    if (event == QLatin1String("loader ready, no image"))
        rig.fileText = m_dir.filePath(QStringLiteral("missing.bin"));
    if (run != QLatin1String("operator"))
        rig.dialogue.update().beginUnattended(run == QLatin1String("calibrating"));
    if (event == QLatin1String("arrival") || event == QLatin1String("arrival of none"))
        rig.link()->CloseDevice(); // it left for its loader
    rig.dialogue.update().setStateForTest(from);
    const bool away = from == State::DeviceAway;
    rig.setTimerEnabled(Timer::RestartVemo, away);
    rig.setTimerEnabled(Timer::BWF, from == State::LoaderOpen || from == State::Stalled);
    QList<QByteArray> commands;
    QObject::connect(device, &usbio::SimDevice::commandReceived, device,
                     [&](const QByteArray &command) { commands << command; });
    const int before = int(rig.lines.size());

    if (event == QLatin1String("update")) {
        rig.dialogue.updateClick();
    } else if (event == QLatin1String("removal")) {
        rig.dialogue.update().deviceLeft();
    } else if (event == QLatin1String("arrival")) {
        rig.dialogue.update().deviceArrived(1);
    } else if (event == QLatin1String("arrival of none")) {
        rig.dialogue.update().deviceArrived(0);
    } else if (event.startsWith(QLatin1String("loader ready"))) {
        rig.dialogue.loaderReady();
    } else if (event == QLatin1String("bwf tick")) {
        rig.dialogue.timerTick(Timer::BWF);
    } else if (event == QLatin1String("reminder tick")) {
        rig.dialogue.timerTick(Timer::RestartVemo);
    } else if (event == QLatin1String("complete")) {
        rig.dialogue.transferComplete("/fw/vemo2.bin", 8000, 1234);
    } else if (event == QLatin1String("failed")) {
        rig.dialogue.transferFailed("/fw/vemo2.bin", 2048, 8000, usbio::status::DeviceGone);
    } else if (event == QLatin1String("answer")) {
        rig.dialogue.lineShown("Vemo2 firmware V2.11\r");
    } else if (event == QLatin1String("life tick")) {
        rig.dialogue.lineShown("VEMO:12:34:56.7\r");
    } else if (event == QLatin1String("box")) {
        rig.dialogue.update().boxShown(QStringLiteral("Error: x"));
    } else if (event == QLatin1String("signal")) {
        rig.dialogue.interrupted(QStringLiteral("SIGTERM"));
    } else if (event == QLatin1String("certificate")) {
        rig.dialogue.certificateMade(true, QString());
    } else if (event == QLatin1String("certificate failed")) {
        rig.dialogue.certificateMade(false, QStringLiteral("out of paper"));
    } else {
        QFAIL(qPrintable(QStringLiteral("no such event: ") + event));
    }

    // What the event did at once.
    QCOMPARE(rig.updateState(), to);
    const QStringList added = rig.linesFrom(before);
    const QList<DialogueRig::End> ends = rig.ends;
    const bool endRequested = rig.host().terminateRequested();
    QStringList running;
    if (rig.timerEnabled(Timer::BWF))
        running << QStringLiteral("BWF");
    if (rig.timerEnabled(Timer::RestartVemo))
        running << QStringLiteral("RestartVemo");
    QCOMPARE(running, timersOn);
    // What reached the device; when nothing should have, up to a marker
    // sent after the event (the device takes commands in order).
    if (!sent.isEmpty()) {
        QTRY_COMPARE(commands, sent);
    } else if (rig.link()->Opened) {
        QCOMPARE(rig.link()->SendCommand("MARK\r"), usbio::status::Success);
        QTRY_VERIFY(commands.contains("MARK"));
        QCOMPARE(commands, QList<QByteArray>{"MARK"});
    } else {
        QVERIFY(commands.isEmpty());
    }
    if (logged != QStringList{"*"})
        QCOMPARE(added, logged);
    if (endKind == kNoEnd) {
        QVERIFY(ends.isEmpty());
        QVERIFY(!endRequested);
        return;
    }
    QCOMPARE(ends.size(), 1);
    QCOMPARE(int(ends.first().kind), endKind);
    endReason.replace(QLatin1String("MISSING"), m_dir.filePath(QStringLiteral("missing.bin")));
    if (!endReason.isEmpty())
        QCOMPARE(ends.first().reason, endReason);
    QVERIFY(endRequested);
}

usbio::SimDevice *TestUpdateFlow::startRun(DialogueRig &rig, const QString &file,
                                           const QStringList &more,
                                           const QMap<QByteArray, QByteArray> &answers,
                                           int lifeTickMs)
{
    usbio::SimDeviceSettings settings;
    settings.lifeTickPeriodMs = lifeTickMs;
    settings.serialNumber = "VX0000042";
    settings.restartDelayMs = 20;
    settings.eraseDelayMs = 20;
    settings.loaderAnnouncesBlank = true;
    settings.answers = answers;
    usbio::SimDevice *device = rig.bus().attach(settings);
    rig.host().tempDir = m_dir.path();
    rig.start(QStringList{file} + more);
    return device;
}

QString TestUpdateFlow::writeFile(const QString &name, const QByteArray &bytes)
{
    QFile file(m_dir.filePath(name));
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        return QString();
    return file.fileName();
}

void TestUpdateFlow::unsentImageEndsTheRun_data()
{
    QTest::addColumn<QString>("how");
    QTest::addColumn<EndKind>("kind");
    QTest::addColumn<QString>("reason"); // TMP: the temporary folder; ends in "*": a prefix

    QTest::newRow("the link refuses the transfer")
        << "refused" << EndKind::ImageNotLoaded << "transfer did not start: Error SendFile: *";
    QTest::newRow("installer that does not start")
        << "no installer" << EndKind::BadInput << "installer did not start: TMP/vemo2.exe";
    QTest::newRow("installer that leaves no image")
        << "no image" << EndKind::BadInput << "the installer left no image: TMP/Vemo2.bin";
    QTest::newRow("installer that leaves an empty image")
        << "empty image" << EndKind::BadInput << "firmware file is empty: TMP/Vemo2.bin";
}

void TestUpdateFlow::unsentImageEndsTheRun()
{
    QFETCH(QString, how);
    QFETCH(EndKind, kind);
    QFETCH(QString, reason);

    DialogueRig rig;
    QString file = writeFile(QStringLiteral("vemo2.bin"), testBytes(500));
    QFile::remove(m_dir.filePath(QStringLiteral("Vemo2.bin")));
    usbio::SimDevice *device = nullptr;
    if (how == QLatin1String("refused")) {
        // The device is ready; its file pipe then refuses to start writing.
        rig.onLog = [&](const QString &line) {
            if (line == QLatin1String("sending File...."))
                device->faults().startWritingStatus = usbio::status::TransferFailed;
        };
    } else {
        file = writeFile(QStringLiteral("vemo2.exe"), "#!/bin/sh\n");
        rig.host().programStarts = how != QLatin1String("no installer");
        rig.host().onProgram = [&](const QString &, const QStringList &) {
            if (how == QLatin1String("empty image"))
                writeFile(QStringLiteral("Vemo2.bin"), QByteArray());
        };
    }
    device = startRun(rig, file);

    // At once, not at a time-out: the rig has none.
    QTRY_COMPARE(rig.ends.size(), 1);
    QCOMPARE(rig.ends.first().kind, kind);
    reason.replace(QLatin1String("TMP"), m_dir.path());
    const QString got = rig.ends.first().reason;
    QVERIFY2(reason.endsWith(QLatin1Char('*')) ? got.startsWith(reason.chopped(1)) : got == reason,
             qPrintable(got));
    QVERIFY(device->image().isEmpty());
    QVERIFY(!(rig.updateState() == dialogue::UpdateFlow::State::Transferring));
}

void TestUpdateFlow::operatorsUnsentImageEndsNothing()
{
    DialogueRig rig;
    usbio::SimDeviceSettings settings;
    settings.loaderAnnouncesBlank = true;
    usbio::SimDevice *device = rig.bus().attach(settings);
    rig.start();
    rig.dialogue.openClick();
    rig.setFileName(writeFile(QStringLiteral("vemo2.bin"), testBytes(100)));
    rig.onLog = [&](const QString &line) {
        if (line == QLatin1String("sending File...."))
            device->faults().startWritingStatus = usbio::status::TransferFailed;
    };
    rig.dialogue.updateClick();
    QTRY_VERIFY(!rig.lines.filter(QStringLiteral("Error SendFile: ")).isEmpty());
    // The operator may start again: nothing ends the program.
    QTest::qWait(50);
    QVERIFY(rig.ends.isEmpty());
}

void TestUpdateFlow::secondLoaderReadyDuringTheTransfer()
{
    DialogueRig rig;
    const QByteArray image = testBytes(64 * 40 + 5);
    usbio::SimDevice *device = nullptr;
    rig.onLog = [&](const QString &line) {
        if (line == QLatin1String("sending File...."))
            device->faults().writeCompletionDelayMs = 5;
    };
    device = startRun(rig, writeFile(QStringLiteral("vemo2.bin"), image));
    QTRY_VERIFY((rig.updateState() == dialogue::UpdateFlow::State::Transferring));
    rig.onLog = nullptr;
    // The loader's readiness again: the running transfer goes on.
    rig.dialogue.deviceDataReceived("Flash is BLANK\r");
    QVERIFY(rig.ends.isEmpty());
    QTRY_COMPARE(device->image(), image);
    // Done, and only done (the completion may repeat it).
    QTRY_VERIFY(!rig.ends.isEmpty());
    for (const DialogueRig::End &end : std::as_const(rig.ends))
        QCOMPARE(end.kind, EndKind::Done);
}

void TestUpdateFlow::calibrationCertificate_data()
{
    QTest::addColumn<bool>("replies"); // the device answers "ABGL?"
    QTest::addColumn<QString>("printError");
    QTest::addColumn<bool>("lateReply"); // the test sends the reply after the update
    QTest::addColumn<EndKind>("kind");
    QTest::addColumn<QString>("reason"); // empty: the update's own done end

    QTest::newRow("certificate printed") << true << "" << false << EndKind::Done << "";
    QTest::newRow("no calibration reply")
        << false << "" << false << EndKind::Failed
        << "no calibration reply: the certificate was not printed";
    QTest::newRow("reply within the grace") << false << "" << true << EndKind::Done << "";
    QTest::newRow("certificate failing") << true << "printer on fire" << false << EndKind::Failed
                                         << "certificate could not be made: printer on fire";
}

void TestUpdateFlow::calibrationCertificate()
{
    QFETCH(bool, replies);
    QFETCH(QString, printError);
    QFETCH(bool, lateReply);
    QFETCH(EndKind, kind);
    QFETCH(QString, reason);

    DialogueRig rig;
    rig.printError = printError;
    rig.dialogue.update().CalibrationGraceMs = lateReply ? 60000 : 300;
    QMap<QByteArray, QByteArray> answers;
    if (!replies)
        answers.insert("ABGL?", QByteArray());
    usbio::SimDevice *device = startRun(rig, writeFile(QStringLiteral("vemo2.bin"), testBytes(300)),
                                        {QStringLiteral("/CALIBRATE")}, answers);

    if (lateReply) {
        // The update's end waits for the reply.
        QTRY_VERIFY(rig.dialogue.update().waitingAfterUpdate());
        QCOMPARE(rig.updateState(), State::AwaitingCertificate);
        QTest::qWait(100);
        QVERIFY(rig.ends.isEmpty());
        rig.dialogue.deviceDataReceived("ABGL24-06-01 +0.001\r");
    }
    // The first end decides (the transfer's completion may repeat a done end).
    QTRY_VERIFY(!rig.ends.isEmpty());
    QCOMPARE(rig.ends.first().kind, kind);
    // Empty: the update's own done end, whatever it says.
    if (!reason.isEmpty())
        QCOMPARE(rig.ends.first().reason, reason);
    QCOMPARE(rig.certificates.size(), replies || lateReply ? 1 : 0);
    QVERIFY(!device->image().isEmpty());
}

void TestUpdateFlow::verification_data()
{
    QTest::addColumn<QString>("expected");
    QTest::addColumn<bool>("opens");     // the device opens when it is back
    QTest::addColumn<int>("lifeTickMs"); // its life ticks come before the answer
    QTest::addColumn<EndKind>("kind");
    QTest::addColumn<QString>("reason");
    QTest::addColumn<QString>("answerLine"); // empty: none

    QTest::newRow("back and answered") << "" << true << 0 << EndKind::Done << ""
                                       << "firmware after update: Vemo2 firmware V2.11";
    QTest::newRow("the expected version") << "2.11" << true << 0 << EndKind::Done << ""
                                          << "firmware after update: Vemo2 firmware V2.11";
    QTest::newRow("life ticks are no answer") << "V2.11" << true << 30 << EndKind::Done << ""
                                              << "firmware after update: Vemo2 firmware V2.11";
    QTest::newRow("another version")
        << "2.10" << true << 0 << EndKind::ImageNotLoaded
        << "verification failed: firmware after update is 'Vemo2 firmware V2.11', not 2.10"
        << "firmware after update: Vemo2 firmware V2.11";
    QTest::newRow("does not open when back")
        << "" << false << 0 << EndKind::ImageNotLoaded
        << "verification failed: the device came back but did not open"
        << "";
}

void TestUpdateFlow::verification()
{
    QFETCH(QString, expected);
    QFETCH(bool, opens);
    QFETCH(int, lifeTickMs);
    QFETCH(EndKind, kind);
    QFETCH(QString, reason);
    QFETCH(QString, answerLine);

    DialogueRig rig;
    rig.dialogue.setRunSettings({false, true, expected});
    usbio::SimDevice *device = startRun(
        rig, writeFile(QStringLiteral("firmware.bin"), testBytes(1000)), {}, {}, lifeTickMs);
    // Once it has the image, the device is no longer what it was.
    QObject::connect(device, &usbio::SimDevice::busStateChanged, device, [&](bool onBus) {
        if (!onBus && !opens && !device->image().isEmpty())
            device->faults().openStatus = usbio::status::AccessDenied;
    });

    QTRY_COMPARE(rig.ends.size(), 1);
    // The update was done and waited for the check before the run ended.
    QVERIFY(rig.states.contains(State::VerifyingReturn));
    QCOMPARE(rig.states.last(), State::Ended);
    QCOMPARE(rig.ends.first().kind, kind);
    // Empty: the update's own done end, whatever it says.
    if (!reason.isEmpty())
        QCOMPARE(rig.ends.first().reason, reason);
    QCOMPARE(rig.lines.filter(QStringLiteral("firmware after update: ")),
             answerLine.isEmpty() ? QStringList() : QStringList{answerLine});
    QVERIFY(!rig.dialogue.update().waitingAfterUpdate());
}

void TestUpdateFlow::timeOutWhileVerifying()
{
    DialogueRig rig;
    rig.dialogue.setRunSettings({false, true, QString()});
    QString reason;
    QVERIFY(!rig.dialogue.update().timeOutEnd(7, &reason));
    // A whole number of chunks: the device waits for more and never
    // restarts, though the transfer is done.
    usbio::SimDevice *device =
        startRun(rig, writeFile(QStringLiteral("firmware.bin"), testBytes(6400)));
    QTRY_VERIFY(rig.dialogue.update().waitingAfterUpdate());
    QVERIFY(device->onBus() && device->inLoader());
    QVERIFY(rig.dialogue.update().timeOutEnd(7, &reason));
    QCOMPARE(reason,
             QStringLiteral("verification failed: the device did not come back within 7 s"));
    QVERIFY(rig.ends.isEmpty());
}

void TestUpdateFlow::interrupted_data()
{
    QTest::addColumn<bool>("duringTransfer");
    QTest::newRow("before the transfer") << false;
    QTest::newRow("during the transfer") << true;
}

void TestUpdateFlow::interrupted()
{
    QFETCH(bool, duringTransfer);

    DialogueRig rig;
    const int size = 64 * 100 + 8;
    usbio::SimDevice *device = nullptr;
    // Slow chunks once the loader is ready; a device that never restarts
    // into its loader before that.
    rig.onLog = [&](const QString &line) {
        if (line == QLatin1String("sending File...."))
            device->faults().writeCompletionDelayMs = 10;
    };
    device = startRun(rig, writeFile(QStringLiteral("vemo2.bin"), testBytes(size)));
    if (duringTransfer) {
        QTRY_VERIFY(rig.progressPositions.size() > 3);
    } else {
        // The update has asked for the loader; no transfer yet.
        QVERIFY(rig.lines.contains(QStringLiteral("Automatic Update progress started! ") +
                                   m_dir.filePath(QStringLiteral("vemo2.bin"))));
        QVERIFY(!(rig.updateState() == dialogue::UpdateFlow::State::Transferring));
    }
    rig.onLog = nullptr;
    rig.dialogue.interrupted(QStringLiteral("SIGTERM"));

    // One end, the signal's: the transfer's own end is folded into it.
    QCOMPARE(rig.ends.size(), 1);
    const DialogueRig::End end = rig.ends.first();
    if (!duringTransfer) {
        QCOMPARE(end.kind, EndKind::Failed);
        QCOMPARE(end.reason, QStringLiteral("interrupted by SIGTERM"));
        return;
    }
    QCOMPARE(end.kind, EndKind::ImageNotLoaded);
    const QRegularExpression how(
        QStringLiteral("^transfer failed: interrupted by SIGTERM at (\\d+) of %1 bytes$")
            .arg(size));
    const QRegularExpressionMatch match = how.match(end.reason);
    QVERIFY2(match.hasMatch(), qPrintable(end.reason));
    QVERIFY(match.captured(1).toInt() > 0 && match.captured(1).toInt() < size);
    QCOMPARE(rig.lines.filter(QStringLiteral("Firmware transfer failed: ")).size(), 1);
    QVERIFY(!rig.link()->Opened);
    QVERIFY(device->image().isEmpty());
}

void TestUpdateFlow::loaderAgainAfterTheUpdate()
{
    DialogueRig rig;
    rig.dialogue.setRunSettings({false, true, QString()});
    usbio::SimDevice *device =
        startRun(rig, writeFile(QStringLiteral("firmware.bin"), testBytes(6400)));
    QTRY_VERIFY(rig.dialogue.update().waitingAfterUpdate());
    const int chunks = int(device->receivedChunks().size());
    // The loader announces its blank flash again: it has no image.
    rig.dialogue.deviceDataReceived("Flash is BLANK\r");
    QCOMPARE(rig.ends.size(), 1);
    QCOMPARE(rig.ends.first().kind, EndKind::ImageNotLoaded);
    QCOMPARE(rig.ends.first().reason,
             QStringLiteral("the device came back in its loader after the update"));
    // Nothing is sent again.
    QTest::qWait(50);
    QCOMPARE(device->receivedChunks().size(), chunks);
}

void TestUpdateFlow::boxWhileWaiting()
{
    DialogueRig rig;
    rig.dialogue.setRunSettings({false, true, QString()});
    startRun(rig, writeFile(QStringLiteral("firmware.bin"), testBytes(6400)));
    QTRY_VERIFY(rig.dialogue.update().waitingAfterUpdate());
    rig.dialogue.boxShown(QStringLiteral("Error: something"));
    QCOMPARE(rig.ends.size(), 1);
    QCOMPARE(rig.ends.first().kind, EndKind::Failed);
    QCOMPARE(rig.ends.first().reason, QStringLiteral("a message box was shown: Error: something"));
    QVERIFY(!rig.dialogue.update().waitingAfterUpdate());
}

void TestUpdateFlow::recoveryFromTheLoader_data()
{
    QTest::addColumn<QStringList>("arguments"); // IMAGE: the image; none: Update in the window
    QTest::addColumn<bool>("verify");
    QTest::addColumn<QString>("named"); // --device; empty: none
    QTest::addColumn<EndKind>("kind");
    QTest::addColumn<QString>("reason"); // empty: the update's own done end

    QTest::newRow("production run") << QStringList{"IMAGE"} << false << "" << EndKind::Done << "";
    QTest::newRow("production run, --verify")
        << QStringList{"IMAGE"} << true << "" << EndKind::Done << "";
    QTest::newRow("production run, --device=PATH")
        << QStringList{"IMAGE"} << false << "slot-1" << EndKind::Done << "";
    // The loader cannot answer the calibration steps: the image goes in all
    // the same, and the run says why it is not done.
    QTest::newRow("calibration run")
        << QStringList{"IMAGE", "/CALIBRATE"} << false << "" << EndKind::Failed
        << "no calibration reply: the certificate was not printed";
    QTest::newRow("calibration run, --verify")
        << QStringList{"IMAGE", "/CALIBRATE"} << true << "" << EndKind::Failed
        << "no calibration reply: the certificate was not printed";
    QTest::newRow("Update in the window") << QStringList{} << false << "" << EndKind::Done << "";
    // A loader that says it is ready as soon as it is asked anything: the
    // image goes in from the open on, before Update.
    QTest::newRow("ready at the open")
        << QStringList{"IMAGE", "/CALIBRATE", "BLANK"} << false << "" << EndKind::Failed
        << "no calibration reply: the certificate was not printed";
}

// A failed update left the device in its loader with an erased flash: the
// update run again loads the image into it, byte for byte. Its loader says
// it is ready at once, inside the request (and answers the open's version
// query with its own text).
void TestUpdateFlow::recoveryFromTheLoader()
{
    QFETCH(QStringList, arguments);
    QFETCH(bool, verify);
    QFETCH(QString, named);
    QFETCH(EndKind, kind);
    QFETCH(QString, reason);

    DialogueRig rig;
    rig.dialogue.update().CalibrationGraceMs = 300;
    usbio::SimDeviceSettings settings;
    settings.id = QStringLiteral("slot-1");
    settings.bootsInto = usbio::SimDeviceSettings::Boot::Loader;
    settings.restartDelayMs = 20;
    if (arguments.removeAll(QStringLiteral("BLANK")) > 0)
        settings.answers.insert("USB-Vemo:NSF?!!", "Flash is BLANK");
    usbio::SimDevice *device = rig.bus().attach(settings);
    QVERIFY(device->inLoader());
    const QByteArray image = testBytes(64 * 20 + 7, 77);
    const QString file = writeFile(QStringLiteral("vemo2.bin"), image);
    rig.dialogue.setRunSettings({false, verify, QString()});
    rig.dialogue.deviceChoice().setNamed(named);
    arguments.replaceInStrings(QStringLiteral("IMAGE"), file);

    rig.start(arguments);
    if (arguments.isEmpty()) {
        rig.dialogue.openClick();
        QVERIFY(rig.link()->Opened);
        rig.fileText = file;
        rig.dialogue.updateClick();
        QTRY_VERIFY(rig.states.contains(State::Transferring));
        QTRY_COMPARE(rig.updateState(), State::Idle);
        QVERIFY(rig.lines.filter(QStringLiteral("Firmware update complete: ")).size() == 1);
    } else {
        QTRY_VERIFY_WITH_TIMEOUT(!rig.ends.isEmpty(), 20000);
        QCOMPARE(rig.ends.first().kind, kind);
        if (!reason.isEmpty())
            QCOMPARE(rig.ends.first().reason, reason);
        QVERIFY(rig.dialogue.runFacts().transferStarted());
    }
    QTRY_COMPARE(device->image(), image);
    QVERIFY(rig.lines.filter(QStringLiteral("transfer did not start")).isEmpty());
    QVERIFY(rig.lines.filter(QStringLiteral("Firmware transfer failed")).isEmpty());
    if (verify)
        QVERIFY(rig.lines.contains(QStringLiteral("firmware after update: Vemo2 firmware V2.11")));
}

QTEST_GUILESS_MAIN(TestUpdateFlow)
#include "tst_updateflow.moc"
