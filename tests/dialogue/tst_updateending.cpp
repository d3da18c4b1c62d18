#include "dialogue/UpdateEnding.h"
#include "dialogue/UpdateVerification.h"
#include "link/VemoUSBinterface.h"
#include "tests/support/DialogueRig.h"
#include "tests/support/TestBytes.h"

#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

using dialogue::EndKind;
using usbio::Generation;

Q_DECLARE_METATYPE(dialogue::EndKind)

// How an unattended update ends besides its transfer, without a window: an
// image that cannot be sent ends the run at once; the update's done end
// waits for the calibration certificate and, with --verify, for the device
// back with its new firmware; a signal ends the run, during a transfer with
// how far the image got.
class TestUpdateEnding : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void unsentImageEndsTheRun_data();
    void unsentImageEndsTheRun();
    void operatorsUnsentImageEndsNothing();
    void secondLoaderReadyDuringTheTransfer();
    void calibrationCertificate_data();
    void calibrationCertificate();
    void verification_data();
    void verification();
    void answerHoldsVersion_data();
    void answerHoldsVersion();
    void timeOutWhileVerifying();
    void interrupted_data();
    void interrupted();
    void loaderAgainAfterTheUpdate();
    void boxWhileWaiting();

private:
    // An unattended update of file (in the test's folder) on one quick Vemo2
    // whose loader announces its blank flash.
    usbio::SimDevice *startRun(DialogueRig &rig, const QString &file, const QStringList &more = {},
                               const QMap<QByteArray, QByteArray> &answers = {},
                               int lifeTickMs = 0);
    QString writeFile(const QString &name, const QByteArray &bytes);

    QTemporaryDir m_dir;
};

usbio::SimDevice *TestUpdateEnding::startRun(DialogueRig &rig, const QString &file,
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

QString TestUpdateEnding::writeFile(const QString &name, const QByteArray &bytes)
{
    QFile file(m_dir.filePath(name));
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        return QString();
    return file.fileName();
}

void TestUpdateEnding::unsentImageEndsTheRun_data()
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

void TestUpdateEnding::unsentImageEndsTheRun()
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

void TestUpdateEnding::operatorsUnsentImageEndsNothing()
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

void TestUpdateEnding::secondLoaderReadyDuringTheTransfer()
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

void TestUpdateEnding::calibrationCertificate_data()
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

void TestUpdateEnding::calibrationCertificate()
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
        QTRY_VERIFY(rig.handlerCalls.contains(QStringLiteral("endProgram held")));
        QVERIFY(rig.dialogue.update().waitingAfterUpdate());
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

void TestUpdateEnding::verification_data()
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

void TestUpdateEnding::verification()
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
    // The update's done end was held until the check decided.
    const int held = int(rig.handlerCalls.indexOf(QStringLiteral("endProgram held")));
    QVERIFY(held >= 0 && held < rig.handlerCalls.lastIndexOf(QStringLiteral("endProgram")));
    QCOMPARE(rig.ends.first().kind, kind);
    // Empty: the update's own done end, whatever it says.
    if (!reason.isEmpty())
        QCOMPARE(rig.ends.first().reason, reason);
    QCOMPARE(rig.lines.filter(QStringLiteral("firmware after update: ")),
             answerLine.isEmpty() ? QStringList() : QStringList{answerLine});
    QVERIFY(!rig.dialogue.update().waitingAfterUpdate());
}

void TestUpdateEnding::answerHoldsVersion_data()
{
    QTest::addColumn<QString>("answer");
    QTest::addColumn<QString>("version");
    QTest::addColumn<bool>("holds");

    QTest::newRow("after a V") << "Vemo2 firmware V2.11"
                               << "2.11" << true;
    QTest::newRow("with its V") << "Vemo2 firmware V2.11"
                                << "V2.11" << true;
    QTest::newRow("alone") << "FW 3.06 OK"
                           << "3.06" << true;
    QTest::newRow("a v in lower case") << "firmware v1.41"
                                       << "1.41" << true;
    QTest::newRow("a prefix is not the version") << "Vemo2 firmware V2.11"
                                                 << "2.1" << false;
    QTest::newRow("a longer version") << "Vemo2 firmware V2.110"
                                      << "2.11" << false;
    QTest::newRow("inside a word") << "Vemo2 SNV2.11"
                                   << "2.11" << false;
    QTest::newRow("the loader's") << "Vemo2 loader V1.00"
                                  << "2.11" << false;
}

void TestUpdateEnding::answerHoldsVersion()
{
    QFETCH(QString, answer);
    QFETCH(QString, version);
    QFETCH(bool, holds);
    QCOMPARE(dialogue::UpdateVerification::answerHoldsVersion(answer, version), holds);
}

void TestUpdateEnding::timeOutWhileVerifying()
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

void TestUpdateEnding::interrupted_data()
{
    QTest::addColumn<bool>("duringTransfer");
    QTest::newRow("before the transfer") << false;
    QTest::newRow("during the transfer") << true;
}

void TestUpdateEnding::interrupted()
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
        QTRY_VERIFY(rig.handlerCalls.filter(QStringLiteral("transferProgress")).size() > 3);
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

void TestUpdateEnding::loaderAgainAfterTheUpdate()
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

void TestUpdateEnding::boxWhileWaiting()
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

QTEST_GUILESS_MAIN(TestUpdateEnding)
#include "tst_updateending.moc"
