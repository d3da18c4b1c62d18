#include "dialogue/UpdateEnding.h"

#include "dialogue/CommandLineRuns.h"
#include "dialogue/FirmwareUpdate.h"
#include "dialogue/WindowPort.h"
#include "platform/HostServices.h"

#include <QFile>

namespace dialogue {

UpdateEnding::UpdateEnding(WindowPort &window, FirmwareUpdate &update, const CommandLineRuns &runs)
    : FWindow(window), FUpdate(update), FRuns(runs), FVerification(window)
{
    FGrace.setSingleShot(true);
    QObject::connect(&FGrace, &QTimer::timeout, [this] { Settle(); });
}

void UpdateEnding::SendFirmwareFile()
{
    // The loader asks for an image again after the update was done: the
    // device did not take it.
    if (Waiting()) {
        Finish(EndKind::ImageNotLoaded,
               QStringLiteral("the device came back in its loader after the update"));
        return;
    }
    const QString file = FWindow.fileName();
    const bool installer = FirmwareUpdate::isInstaller(file);
    // A second "Flash is BLANK" during the transfer: that one goes on.
    const bool wasRunning = FTransferRunning;
    FWindow.noteLinkFailure(QString());
    FUpdate.SendFirmwareFile();
    if (wasRunning)
        return;

    const QString image = FWindow.fileName();
    const bool refused = !FWindow.updating() ||
                         FWindow.lastLinkFailure().startsWith(QLatin1String("Error SendFile"));
    if (!(installer && image.isEmpty()) && platform::host().fileExists(image) && !refused) {
        FTransferRunning = true;
        FFailedSent = FFailedSize = -1;
        return;
    }
    if (FWindow.autoUpdate() && !FFinishing)
        EndUnsentImage(file, installer);
}

void UpdateEnding::EndUnsentImage(const QString &file, bool installer)
{
    const QString image = FWindow.fileName();
    if (installer && image.isEmpty()) {
        Finish(EndKind::BadInput, QStringLiteral("installer did not start: ") + file);
        return;
    }
    if (!platform::host().fileExists(image)) {
        Finish(EndKind::BadInput, installer
                                      ? QStringLiteral("the installer left no image: ") + image
                                      : QStringLiteral("firmware image missing: ") + image);
        return;
    }
    if (const QString unusable =
            FirmwareUpdate::unusableImageText(image, QStringLiteral("firmware file"));
        !unusable.isEmpty()) {
        Finish(EndKind::BadInput, unusable);
        return;
    }
    const QString why = FWindow.lastLinkFailure();
    Finish(EndKind::ImageNotLoaded,
           QStringLiteral("transfer did not start: ") +
               (why.isEmpty() ? QStringLiteral("the link refused it") : why));
}

void UpdateEnding::TransferFailed(qint64 sent, qint64 size)
{
    FTransferRunning = false;
    FFailedSent = sent;
    FFailedSize = size;
}

void UpdateEnding::DeviceArrived()
{
    if (!Waiting())
        return;
    FVerification.DeviceArrived();
    Settle();
}

void UpdateEnding::LineShown(const QByteArray &line)
{
    if (!Waiting())
        return;
    FVerification.LineShown(line);
    Settle();
}

void UpdateEnding::CertificateMade(bool made, const QString &error)
{
    if (made) {
        FCertificateMade = true;
    } else if (!FCertificateFailed) {
        FCertificateFailed = true;
        FCertificateError = error;
    }
    Settle();
}

void UpdateEnding::BoxShown(const QString &line)
{
    if (Waiting())
        Finish(EndKind::Failed, QStringLiteral("a message box was shown: ") + line);
}

void UpdateEnding::Interrupted(const QString &signalName)
{
    const QString what = QStringLiteral("interrupted by ") + signalName;
    if (!FTransferRunning) {
        Finish(EndKind::Failed, what);
        return;
    }
    // The device's close ends the transfer once the chunk in flight is done
    // and reports how far it got; the ends it causes are this one's.
    FInterrupting = true;
    FImageCompletedMeanwhile = false;
    FWindow.closeClick();
    FInterrupting = false;
    FTransferRunning = false;
    if (FImageCompletedMeanwhile && FFailedSent < 0) {
        Finish(EndKind::Failed, what + QStringLiteral(" after the whole image was sent"));
        return;
    }
    QString reason = QString::fromLatin1(TransferFailedPrefix) + QLatin1Char(' ') + what;
    if (FFailedSent >= 0)
        reason += QStringLiteral(" at %1 of %2 bytes").arg(FFailedSent).arg(FFailedSize);
    Finish(EndKind::ImageNotLoaded, reason);
}

bool UpdateEnding::TimeOutEnd(int seconds, QString *reason) const
{
    if (!Waiting() || !FVerification.waiting())
        return false;
    *reason = FVerification.timeOutFailure(seconds);
    return true;
}

bool UpdateEnding::HoldsEnd(EndKind kind, const QString &reason)
{
    if (FInterrupting) {
        FImageCompletedMeanwhile = FImageCompletedMeanwhile || kind == EndKind::Done;
        return true;
    }
    if (FFinishing)
        return false;
    if (kind != EndKind::Done) {
        // A failure ends the run as it is: nothing waits any more.
        FFinishing = true;
        Stop();
        return false;
    }
    if (!FWindow.autoUpdate())
        return false;
    if (FAfterUpdate)
        return true; // the same update's second report of its end

    // The update's done end: what the run still needs may come now.
    FTransferRunning = false;
    FAfterUpdate = true;
    FDoneReason = reason;
    if (Calibrating() && !FCertificateMade && !FCertificateFailed)
        FGrace.start(CalibrationGraceMs);
    if (FWindow.runSettings().verify)
        FVerification.Start();
    const Decision decision = Decide();
    if (decision.waiting)
        return true;
    if (decision.kind == EndKind::Done) {
        // Nothing to wait for: the end goes as it was asked for.
        FFinishing = true;
        return false;
    }
    Finish(decision.kind, decision.reason);
    return true;
}

UpdateEnding::Decision UpdateEnding::Decide() const
{
    if (FCertificateFailed)
        return {false, EndKind::Failed,
                QStringLiteral("certificate could not be made: ") + FCertificateError};
    if (FVerification.phase() == UpdateVerification::Phase::Failed)
        return {false, EndKind::ImageNotLoaded, FVerification.failure()};
    if (Calibrating() && !FCertificateMade) {
        if (FGrace.isActive())
            return {};
        return {false, EndKind::Failed,
                QStringLiteral("no calibration reply: the certificate was not printed")};
    }
    if (FVerification.waiting())
        return {};
    return {false, EndKind::Done, FDoneReason};
}

void UpdateEnding::Settle()
{
    if (!Waiting())
        return;
    const Decision decision = Decide();
    if (!decision.waiting)
        Finish(decision.kind, decision.reason);
}

void UpdateEnding::Finish(EndKind kind, const QString &reason)
{
    FFinishing = true;
    Stop();
    FWindow.endProgram(kind, reason);
}

void UpdateEnding::Stop()
{
    FGrace.stop();
    FVerification.Abandon();
}

bool UpdateEnding::Calibrating() const
{
    const ProductionCommandLine &line = FRuns.LastRun();
    return line.run == ProductionCommandLine::Run::Update && line.calibrate;
}

} // namespace dialogue
