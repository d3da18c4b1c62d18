#include "dialogue/DeviceDialogue.h"

#include "dialogue/DeviceText.h"
#include "platform/HostServices.h"
#include "platform/TerminationSignals.h"

#include <exception>

namespace dialogue {

DeviceDialogue::DeviceDialogue(WindowPort &window)
    : FWindow(window), FStartUp(*this), FDeviceList(*this), FConnection(*this), FOperator(*this),
      FIncoming(*this), FUpdate(*this, window), FRuns(*this), FReadBack(*this)
{}

// ---- Start-up ----------------------------------------------------------------------

void DeviceDialogue::start(const QStringList &arguments)
{
    FStartUp.Run(arguments);
}

void DeviceDialogue::startedUp()
{
    // An operator ends the program; an unattended run ends by itself.
    if (!FSettings.batch || FOutcome.timedOut())
        return;
    using Run = ProductionCommandLine::Run;
    switch (FRuns.LastRun().run) {
    case Run::None:
        // Nothing to run: start-up is all there is.
        end(EndKind::Done, QStringLiteral("nothing to run"));
        return;
    case Run::Serial:
        // Done only when the device gives the number back (the read-back
        // started with the write, and ends the run).
        if (!FRuns.SerialWritten())
            end(FRuns.SerialDeviceOpen() ? EndKind::Failed : EndKind::NoDevice,
                QStringLiteral("Error writing serial number!"));
        return;
    case Run::Update:
        // The update ends the run itself: when it is done, or as failed.
        return;
    }
}

// ---- Controls and timers ----------------------------------------------------------------

int DeviceDialogue::refreshDeviceList()
{
    return FDeviceList.Refresh();
}

void DeviceDialogue::openClick()
{
    // During an update the device opens in its loader, as the update has it.
    if (FUpdate.updating()) {
        FUpdate.openRequested();
        return;
    }
    FConnection.OpenClick(ConnectionControl::Mode::Normal);
}

void DeviceDialogue::closeClick()
{
    FConnection.CloseClick();
}

void DeviceDialogue::updateClick()
{
    FUpdate.updateClick();
}

void DeviceDialogue::timerTick(WindowPort::Timer timer)
{
    switch (timer) {
    case WindowPort::Timer::BWF:
        FUpdate.bwfTick();
        return;
    case WindowPort::Timer::RestartVemo:
        FUpdate.restartReminderTick();
        return;
    case WindowPort::Timer::VemoWind:
        FOperator.VemoWindTimer();
        return;
    }
}

bool DeviceDialogue::closeQuery()
{
    return FUpdate.closeQuery();
}

void DeviceDialogue::windowClosing()
{
    FUpdate.windowClosing();
    // A production update the operator closes before it ended is not done.
    if (FRuns.LastRun().run == ProductionCommandLine::Run::Update && !FOutcome.ended())
        FOutcome.recordEnd(EndKind::Failed, QStringLiteral("closed before the run ended"));
}

// ---- The link's callbacks ---------------------------------------------------------------

void DeviceDialogue::pnpRemoveNotification()
{
    // The open device's removal closes it; what that means to an update is
    // the update's.
    if (FConnection.PnPRemoveNotification())
        FUpdate.deviceLeft();
}

void DeviceDialogue::pnpAddNotification()
{
    const int count = FConnection.PnPAddNotification();
    if (count >= 0)
        FUpdate.deviceArrived(count);
}

void DeviceDialogue::deviceDataReceived(const QByteArray &chunk)
{
    FIncoming.DeviceDataReceived(chunk);
}

void DeviceDialogue::transferProgress(int percent)
{
    FUpdate.transferProgress(percent);
}

void DeviceDialogue::transferFailed(const QByteArray &fileName, qint64 taken, qint64 size,
                                    usbio::Status reason)
{
    FUpdate.transferFailed(fileName, taken, size, reason);
}

void DeviceDialogue::transferComplete(const QByteArray &fileName, qint64 size, qint64 elapsedMs)
{
    FUpdate.transferComplete(fileName, size, elapsedMs);
}

// ---- Between the units ------------------------------------------------------------------

void DeviceDialogue::dispatchCommandLine(const QStringList &arguments)
{
    FRuns.Dispatch(arguments);
}

void DeviceDialogue::loaderReady()
{
    FUpdate.loaderReady();
}

void DeviceDialogue::lineShown(const QByteArray &line)
{
    FUpdate.lineShown(line);
}

void DeviceDialogue::serialReply(bool accepted, const QByteArray &serial)
{
    FReadBack.SerialReply(accepted, serial);
}

void DeviceDialogue::printCertificate(const QByteArray &serialNo, const QByteArray &deviation,
                                      const QByteArray &setDate)
{
    // The reply's line break is no part of the values.
    FRunFacts.noteCalibration(DeviceText::decode(deviation).trimmed(),
                              DeviceText::decode(setDate).trimmed());
    try {
        const QString file = FWindow.printCertificate(serialNo, deviation, setDate);
        if (!file.isEmpty())
            FRunFacts.noteCertificateFile(file);
    } catch (const std::exception &e) {
        FOutcome.recordCertificateFailure(QString::fromUtf8(e.what()));
        throw;
    } catch (...) {
        FOutcome.recordCertificateFailure();
        throw;
    }
}

void DeviceDialogue::certificateMade(bool made, const QString &error)
{
    FUpdate.certificateMade(made, error);
}

// ---- How the run ends -------------------------------------------------------------------

void DeviceDialogue::end(EndKind kind, const QString &reason)
{
    // A signal that came while the run took its last step (the certificate,
    // the check) and still waits for the loop ends the run first: a run
    // that was interrupted before its end is not done.
    if (kind == EndKind::Done)
        platform::TerminationSignals::deliverPending();
    // Nothing waits any more, whoever ended the run.
    FUpdate.runEnded();
    FOutcome.recordEnd(kind, reason);
    if (OnEnd)
        OnEnd(kind, reason);
    platform::host().terminate();
}

void DeviceDialogue::endWithLine(EndKind kind, const QString &line, const QString &boxText)
{
    FWindow.log(line);
    // An operator who started a production command line by hand sees why
    // the window goes.
    if (!FSettings.batch)
        platform::host().messageBox(boxText.isEmpty() ? line : boxText, QStringLiteral("Error"),
                                    platform::MB_OK | platform::MB_ICONERROR);
    end(kind, line);
}

void DeviceDialogue::boxShown(const QString &line)
{
    FOutcome.recordBox(line);
    FWindow.log(line);
    FReadBack.BoxShown(line);
    FUpdate.boxShown(line);
}

void DeviceDialogue::exceptionShown(const QString &message)
{
    FOutcome.recordException(message);
}

void DeviceDialogue::interrupted(const QString &signalName)
{
    // A run that has ended already is left to end as it did.
    if (platform::host().terminateRequested())
        return;
    FReadBack.Abandon();
    FUpdate.interrupted(signalName);
}

void DeviceDialogue::timedOut(int seconds)
{
    FReadBack.Abandon();
    FWindow.log(QStringLiteral("Timed out after %1 s: the run did not end").arg(seconds));
    // A device that does not come back after its update did not take it.
    QString verification;
    if (FUpdate.timeOutEnd(seconds, &verification)) {
        end(EndKind::ImageNotLoaded, verification);
        return;
    }
    FOutcome.recordTimeOut(seconds);
    end(EndKind::TimeOut, QStringLiteral("time-out after %1 s").arg(seconds));
}

} // namespace dialogue
