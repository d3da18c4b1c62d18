#include "dialogue/UpdateFlow.h"

#include "dialogue/DeviceDialogue.h"
#include "dialogue/DeviceText.h"
#include "dialogue/FirmwareFile.h"
#include "dialogue/FirmwareVersion.h"
#include "dialogue/GenerationGuard.h"
#include "dialogue/LinkCalls.h"
#include "dialogue/Protocol.h"
#include "dialogue/WindowPort.h"
#include "link/VemoUSBinterface.h"
#include "platform/HostServices.h"
#include "registry/RegTools.h"

#include <QFile>

#include <exception>

namespace dialogue {

namespace {

using Control = WindowPort::Control;
using Timer = WindowPort::Timer;

constexpr int kErrorBox = platform::MB_OK | platform::MB_ICONERROR;

void setControls(WindowPort &window, std::initializer_list<Control> controls, bool enabled)
{
    for (Control control : controls)
        window.setControlEnabled(control, enabled);
}

} // namespace

UpdateFlow::UpdateFlow(DeviceDialogue &dialogue, WindowPort &window)
    : FDialogue(dialogue), FWindow(window)
{
    FGrace.setSingleShot(true);
    QObject::connect(&FGrace, &QTimer::timeout, [this] { settle(); });
    FRestartImage.setSingleShot(true);
    QObject::connect(&FRestartImage, &QTimer::timeout, [this] { restartImage(); });
}

const char *UpdateFlow::stateName(State state)
{
    switch (state) {
    case State::Idle:
        return "idle";
    case State::AskingLoader:
        return "asking the loader";
    case State::DeviceAway:
        return "device away";
    case State::LoaderOpen:
        return "loader open";
    case State::RunningInstaller:
        return "running the installer";
    case State::Stalled:
        return "stalled";
    case State::Transferring:
        return "transferring";
    case State::AwaitingCertificate:
        return "waiting for the certificate";
    case State::VerifyingReturn:
    case State::VerifyingAnswer:
        return "verifying";
    case State::Ended:
        return "ended";
    }
    return "";
}

bool UpdateFlow::updating() const
{
    switch (FState) {
    case State::AskingLoader:
    case State::DeviceAway:
    case State::LoaderOpen:
    case State::RunningInstaller:
    case State::Stalled:
    case State::Transferring:
        return true;
    case State::Idle:
    case State::AwaitingCertificate:
    case State::VerifyingReturn:
    case State::VerifyingAnswer:
    case State::Ended:
        return false;
    }
    return false;
}

bool UpdateFlow::waitingAfterUpdate() const
{
    return FState == State::AwaitingCertificate || FState == State::VerifyingReturn ||
           FState == State::VerifyingAnswer;
}

void UpdateFlow::enter(State state)
{
    if (FState == state)
        return;
    FState = state;
    if (OnStateChanged)
        OnStateChanged(state);
}

void UpdateFlow::beginUnattended(bool calibrating)
{
    FUnattended = true;
    FCalibrating = calibrating;
}

// ---- Update ----------------------------------------------------------------------

void UpdateFlow::updateClick()
{
    switch (FState) {
    case State::Idle:
    case State::AskingLoader:
    case State::DeviceAway:
    case State::LoaderOpen:
    case State::Stalled:
        break;
    case State::RunningInstaller:
    case State::Transferring:
    case State::AwaitingCertificate:
    case State::VerifyingReturn:
    case State::VerifyingAnswer:
    case State::Ended:
        return; // an image is on its way or the run is over: Update is off
    }

    platform::HostServices &host = platform::host();
    // A run told its device updates the one it opened, among any others.
    if (!FDialogue.deviceChoice().hasNamed() && FWindow.deviceItemCount() != 1) {
        host.messageBox(QStringLiteral("More than one Vemo found, please disconnect others first"),
                        QStringLiteral("Error"), kErrorBox);
        return;
    }
    const QString file = FWindow.fileName();
    if (!host.fileExists(file)) {
        host.messageBox(QStringLiteral("File does not exist"), QStringLiteral("Error"), kErrorBox);
        return;
    }
    // The loader request erases the device's flash: an image that cannot go
    // in is refused before it (an installer's image is looked at when it
    // has run).
    if (!FirmwareFile::isInstaller(file)) {
        if (const QString unusable =
                FirmwareFile::unusableImageText(file, QStringLiteral("Firmware file"));
            !unusable.isEmpty()) {
            host.messageBox(unusable, QStringLiteral("Error"), kErrorBox);
            return;
        }
    }
    // Another generation's firmware goes in only when the operator says so
    // (a production run was checked before it started).
    if (!FUnattended && !GenerationGuard::OperatorAgrees(FDialogue))
        return;

    // Asked for before the request goes out: a loader already running
    // answers "Flash is BLANK" at once, inside the send, and its transfer
    // starts from there.
    setControls(FWindow, {Control::SendCommand, Control::Update, Control::DownloadB}, false);
    FRestartImage.stop();
    FImageRestarts = 0;
    enter(State::AskingLoader);
    host.setBusyCursor(true);
    const usbio::Status status = LinkCalls::sendCommand(FWindow, protocol::LoaderRequest);
    if (status != usbio::status::Success) {
        // Asked for all the same: the device may have taken the request.
        host.messageBox(QStringLiteral("Error sending Update Command"), QStringLiteral("Error"),
                        kErrorBox);
        host.setBusyCursor(false);
    }
}

// ---- The device leaves and comes back ------------------------------------------------

void UpdateFlow::deviceLeft()
{
    switch (FState) {
    case State::AskingLoader:
    case State::LoaderOpen:
    case State::Stalled:
        FWindow.setTimerEnabled(Timer::RestartVemo, true);
        enter(State::DeviceAway);
        return;
    case State::DeviceAway:
        FWindow.setTimerEnabled(Timer::RestartVemo, true);
        return;
    case State::VerifyingAnswer:
        // Gone again before it answered: the check waits for it once more.
        enter(State::VerifyingReturn);
        return;
    case State::Transferring:
        // The close that came with the removal has ended the transfer.
    case State::Idle:
    case State::RunningInstaller:
    case State::AwaitingCertificate:
    case State::VerifyingReturn:
    case State::Ended:
        return;
    }
}

void UpdateFlow::deviceArrived(int count)
{
    switch (FState) {
    case State::AskingLoader:
    case State::DeviceAway:
    case State::LoaderOpen:
    case State::Stalled:
        reopenReturned(count);
        return;
    case State::VerifyingReturn:
        verifyArrival();
        return;
    case State::Idle:
    case State::RunningInstaller:
    case State::Transferring:
    case State::AwaitingCertificate:
    case State::VerifyingAnswer:
    case State::Ended:
        return; // the device is only listed
    }
}

void UpdateFlow::reopenReturned(int count)
{
    if (count <= 0)
        return;
    // Only the device that left comes back into the update: at its path, and
    // no other device in its place.
    DeviceChoice &choice = FDialogue.deviceChoice();
    if (choice.following()) {
        const DeviceChoice::Return back =
            choice.findReturn(FWindow, DeviceChoice::describeListed(FWindow));
        switch (back.result) {
        case DeviceChoice::Return::Result::NotYet:
            return; // the restart reminder goes on
        case DeviceChoice::Return::Result::Other:
            refuseOtherDevice(back.line + QStringLiteral("; it is not loaded"));
            return;
        case DeviceChoice::Return::Result::Back:
            FWindow.selectDeviceItem(back.index);
            break;
        }
    }
    FWindow.setTimerEnabled(Timer::RestartVemo, false);
    try {
        openInLoader();
    } catch (const std::exception &) {
        FWindow.log(QStringLiteral("Could not open Device"));
        if (FState != State::Ended)
            enter(State::Stalled);
    }
}

void UpdateFlow::openInLoader()
{
    const bool opened = FDialogue.connection().OpenClick(ConnectionControl::Mode::Update);
    // The open handles messages (the driver box): the run may have ended.
    if (FState == State::Ended)
        return;
    if (!opened) {
        enter(State::Stalled);
        return;
    }
    FWindow.setTimerEnabled(Timer::BWF, true);
    enter(State::LoaderOpen);
}

void UpdateFlow::restartImage()
{
    if (FState != State::Transferring)
        return; // the run ended, or the transfer failed, meanwhile
    if (LinkCalls::fileTransferRunning(FWindow)) {
        // The close lets the chunk in flight finish and reports the
        // transfer's end, which is the restart's.
        FRestarting = true;
        FDialogue.closeClick();
        FRestarting = false;
        if (FState != State::Transferring)
            return;
    }
    if (++FImageRestarts > MaxImageRestarts) {
        const QString line =
            QStringLiteral("the loader erased the flash again during the transfer, %1 times")
                .arg(FImageRestarts);
        if (FUnattended) {
            finishWithLine(EndKind::ImageNotLoaded, line);
            return;
        }
        FWindow.log(line);
        enter(State::Stalled);
        return;
    }
    // Opened in its loader again, which gets the request at once: its
    // "Flash is BLANK" starts the image from the first chunk.
    openInLoader();
    if (FState == State::LoaderOpen)
        LinkCalls::sendCommand(FWindow, protocol::LoaderRequest);
}

void UpdateFlow::openRequested()
{
    switch (FState) {
    case State::AskingLoader:
    case State::DeviceAway:
    case State::LoaderOpen:
    case State::Stalled:
        openInLoader();
        return;
    case State::RunningInstaller:
    case State::Transferring:
        // The device is open with its image on the way: the open refuses.
        FDialogue.connection().OpenClick(ConnectionControl::Mode::Update);
        return;
    case State::Idle:
    case State::AwaitingCertificate:
    case State::VerifyingReturn:
    case State::VerifyingAnswer:
    case State::Ended:
        FDialogue.connection().OpenClick(ConnectionControl::Mode::Normal);
        return;
    }
}

void UpdateFlow::refuseOtherDevice(const QString &line)
{
    FWindow.setTimerEnabled(Timer::RestartVemo, false);
    FWindow.setTimerEnabled(Timer::BWF, false);
    FWindow.log(line);
    if (FUnattended) {
        finish(EndKind::ImageNotLoaded, line);
        return;
    }
    enter(State::Stalled);
    platform::host().messageBox(line, QStringLiteral("Error"), kErrorBox);
}

// ---- The loader -----------------------------------------------------------------------

void UpdateFlow::bwfTick()
{
    switch (FState) {
    case State::LoaderOpen:
    case State::Stalled:
        break;
    case State::DeviceAway:
        return; // off the bus: nothing to ask
    case State::Idle:
    case State::AskingLoader:
    case State::RunningInstaller:
    case State::Transferring:
    case State::AwaitingCertificate:
    case State::VerifyingReturn:
    case State::VerifyingAnswer:
    case State::Ended:
        // The loader is not waiting for a request: the timer has nothing to do.
        FWindow.setTimerEnabled(Timer::BWF, false);
        return;
    }
    LinkCalls::sendCommand(FWindow, protocol::LoaderRequest);
    FWindow.log(QStringLiteral("Did not receive Flash is blank. Sending additional BWF..."));
}

void UpdateFlow::restartReminderTick()
{
    switch (FState) {
    case State::DeviceAway:
        FWindow.log(QStringLiteral("Please restart Vemo!!"));
        platform::host().beep();
        return;
    case State::Idle:
    case State::AskingLoader:
    case State::LoaderOpen:
    case State::RunningInstaller:
    case State::Stalled:
    case State::Transferring:
    case State::AwaitingCertificate:
    case State::VerifyingReturn:
    case State::VerifyingAnswer:
    case State::Ended:
        // Nothing is away: no reminder.
        FWindow.setTimerEnabled(Timer::RestartVemo, false);
        return;
    }
}

void UpdateFlow::loaderReady()
{
    // Whether a transfer runs is the link's to say.
    if (LinkCalls::fileTransferRunning(FWindow)) {
        if (FState != State::Transferring) {
            FWindow.log(QString::fromLatin1(BlankIgnored));
            return;
        }
        // The loader answers only once it has erased the flash: the chunks
        // it took before are gone, and the rest would make an image of the
        // tail alone.
        if (!restartPending()) {
            FWindow.log(QString::fromLatin1(BlankAgain));
            FRestartImage.start(0);
        }
        return;
    }
    switch (FState) {
    case State::Idle:
    case State::AskingLoader:
    case State::DeviceAway:
    case State::LoaderOpen:
    case State::Stalled:
        break;
    case State::Transferring:
        FWindow.log(QString::fromLatin1(BlankIgnored));
        return;
    case State::AwaitingCertificate:
    case State::VerifyingReturn:
    case State::VerifyingAnswer:
        // The loader asks for an image again after the update was done: the
        // device did not take it.
        finish(EndKind::ImageNotLoaded,
               QStringLiteral("the device came back in its loader after the update"));
        return;
    case State::RunningInstaller:
    case State::Ended:
        return; // an image is being made, or the run is over: nothing is sent
    }
    FWindow.setTimerEnabled(Timer::BWF, false);
    FWindow.log(QStringLiteral("sending File...."));
    sendImage();
}

void UpdateFlow::sendImage()
{
    platform::HostServices &host = platform::host();
    // An update that was asked for stays asked for when no image goes out.
    const bool asked = FState != State::Idle;
    host.setBusyCursor(true);

    const QString file = FWindow.fileName();
    const bool installer = FirmwareFile::isInstaller(file);
    if (installer) {
        // The installer leaves the image in the temporary directory; the
        // window handles no message while it runs.
        enter(State::RunningInstaller);
        if (!host.runProgramAndWait(file, {QString::fromLatin1(FirmwareFile::InstallerArgument)})) {
            host.messageBox(QStringLiteral("Error executing uC-Software"), file, kErrorBox);
            FWindow.setFileName(QString());
        } else {
            const int index = FWindow.selectedDeviceIndex();
            FWindow.setFileName(FirmwareFile::imagePath(host.tempDirectory(),
                                                        FWindow.regTools().GetDeviceName(index)));
        }
        // The box handled messages: the run may have ended meanwhile.
        if (FState == State::Ended)
            return;
    }

    const QString image = FWindow.fileName();
    if (!host.fileExists(image)) {
        host.setBusyCursor(false);
        enter(asked ? State::Stalled : State::Idle);
        if (FUnattended)
            endUnsentImage(file, installer, QString());
        return;
    }
    TVemoUSBinterface *link = FWindow.link();
    const usbio::Status status =
        link ? link->SendFile(QFile::encodeName(image)) : usbio::status::NoLink;
    if (status != usbio::status::Success) {
        const QString failure =
            QStringLiteral("Error SendFile: ") + LinkCalls::statusText(FWindow, status);
        FWindow.log(failure);
        // Nothing runs now: the operator gets the controls back and may
        // start again.
        setControls(FWindow, {Control::Update, Control::ChooseFile, Control::DownloadB}, true);
        host.setBusyCursor(false);
        enter(State::Idle);
        if (FUnattended)
            endUnsentImage(file, installer, failure);
        return;
    }
    // What goes into the device, as the link read it.
    FDialogue.runFacts().noteImage(image, link->FileImage());
    FDialogue.runFacts().noteTransferStarted();
    FFailedSent = FFailedSize = -1;
    FWindow.setProgressVisible(true);
    setControls(FWindow, {Control::Update, Control::ChooseFile, Control::DownloadB}, false);
    enter(State::Transferring);
}

void UpdateFlow::endUnsentImage(const QString &file, bool installer, const QString &linkFailure)
{
    // The installer's box and the link's have said why already; the other
    // reasons get their own.
    const QString image = FWindow.fileName();
    if (installer && image.isEmpty()) {
        finish(EndKind::BadInput, QStringLiteral("installer did not start: ") + file);
        return;
    }
    if (!platform::host().fileExists(image)) {
        finishWithLine(EndKind::BadInput,
                       installer ? QStringLiteral("the installer left no image: ") + image
                                 : QStringLiteral("firmware image missing: ") + image);
        return;
    }
    if (const QString unusable =
            FirmwareFile::unusableImageText(image, QStringLiteral("firmware file"));
        !unusable.isEmpty()) {
        finishWithLine(EndKind::BadInput, unusable);
        return;
    }
    finish(EndKind::ImageNotLoaded,
           QStringLiteral("transfer did not start: ") +
               (linkFailure.isEmpty() ? QStringLiteral("the link refused it") : linkFailure));
}

// ---- The transfer --------------------------------------------------------------------

void UpdateFlow::transferProgress(int percent)
{
    // 100 comes when the last chunk is handed over; the device may still
    // lose it, so the update ends only at its completion.
    FWindow.setProgressPosition(percent);
    platform::host().setBusyCursor(true);
}

void UpdateFlow::transferComplete(const QByteArray &fileName, qint64 size, qint64 elapsedMs)
{
    FDialogue.runFacts().noteBytesTaken(size);
    FWindow.log(QStringLiteral("Firmware update complete: %1, %2 bytes in %3 s")
                    .arg(QFile::decodeName(fileName))
                    .arg(size)
                    .arg(QString::number(double(elapsedMs) / 1000.0, 'f', 1)));
    endTransfer();
    if (TVemoUSBinterface *link = FWindow.link())
        link->StopReceive();
    // The loader erased the flash after the transfer began: it took the
    // image's tail alone. The image goes again.
    if (restartPending() && !FInterrupting && transferOfThisFlow())
        return;
    if (FInterrupting) {
        FImageCompletedMeanwhile = true;
        return; // the signal's close decides the end
    }
    if (!transferOfThisFlow())
        return; // nothing more to decide
    if (!FUnattended) {
        enter(State::Idle);
        return;
    }
    afterUpdate(QStringLiteral("the device took the whole image"));
}

void UpdateFlow::transferFailed(const QByteArray &fileName, qint64 taken, qint64 size,
                                usbio::Status reason)
{
    FDialogue.runFacts().noteBytesTaken(taken);
    const QString cause = failureCause(reason, LinkCalls::statusText(FWindow, reason));
    FWindow.log(QStringLiteral("Firmware transfer failed: %1, %2 of %3 bytes taken: %4")
                    .arg(QFile::decodeName(fileName))
                    .arg(taken)
                    .arg(size)
                    .arg(cause));
    endTransfer();
    FFailedSent = taken;
    FFailedSize = size;
    if (FInterrupting || FRestarting)
        return; // the signal's close, or the restart's, decides what follows
    if (!transferOfThisFlow())
        return; // nothing more to decide
    if (!FUnattended) {
        enter(State::Idle);
        return;
    }
    finish(EndKind::ImageNotLoaded,
           QStringLiteral("transfer failed: %1 at %2 of %3 bytes").arg(cause).arg(taken).arg(size));
}

bool UpdateFlow::transferOfThisFlow() const
{
    switch (FState) {
    case State::Transferring:
        return true;
    case State::Idle:
    case State::AskingLoader:
    case State::DeviceAway:
    case State::LoaderOpen:
    case State::RunningInstaller:
    case State::Stalled:
    case State::AwaitingCertificate:
    case State::VerifyingReturn:
    case State::VerifyingAnswer:
    case State::Ended:
        return false; // a transfer's end comes only to the state that started it
    }
    return false;
}

void UpdateFlow::endTransfer()
{
    FWindow.setProgressVisible(false);
    setControls(FWindow, {Control::Update, Control::ChooseFile, Control::DownloadB}, true);
    platform::host().setBusyCursor(false);
}

QString UpdateFlow::failureCause(usbio::Status reason, const QString &statusText)
{
    switch (reason) {
    case usbio::status::DeviceGone:
        return QStringLiteral("device removed");
    case usbio::status::Cancelled:
        return QStringLiteral("stopped");
    case usbio::status::Timeout:
        return QStringLiteral("chunk not taken in time");
    default:
        return QStringLiteral("chunk refused (%1)").arg(statusText);
    }
}

// ---- Closing and signals ---------------------------------------------------------------

bool UpdateFlow::closeQuery()
{
    if (!LinkCalls::fileTransferRunning(FWindow))
        return true;
    const int answer = platform::host().messageBox(
        QString::fromLatin1(CloseQuestion), QString::fromLatin1(CloseCaption),
        platform::MB_YESNO | platform::MB_ICONQUESTION | platform::MB_DEFBUTTON2);
    return answer == platform::IDYES;
}

void UpdateFlow::windowClosing()
{
    // The chunk in flight finishes, and the transfer's end is reported and
    // logged while the window still listens.
    TVemoUSBinterface *link = FWindow.link();
    if (link && link->FileTransferRunning())
        link->CloseDevice();
}

void UpdateFlow::interrupted(const QString &signalName)
{
    const QString what = QStringLiteral("interrupted by ") + signalName;
    if (FState != State::Transferring) {
        finish(EndKind::Failed, what);
        return;
    }
    // The device's close ends the transfer once the chunk in flight is done
    // and reports how far it got; the ends it causes are this one's.
    FInterrupting = true;
    FImageCompletedMeanwhile = false;
    FDialogue.closeClick();
    FInterrupting = false;
    if (FImageCompletedMeanwhile && FFailedSent < 0) {
        finish(EndKind::Failed, what + QStringLiteral(" after the whole image was sent"));
        return;
    }
    QString reason = QStringLiteral("transfer failed: ") + what;
    if (FFailedSent >= 0)
        reason += QStringLiteral(" at %1 of %2 bytes").arg(FFailedSent).arg(FFailedSize);
    finish(EndKind::ImageNotLoaded, reason);
}

// ---- After an unattended update ----------------------------------------------------------

void UpdateFlow::afterUpdate(const QString &doneReason)
{
    FDoneReason = doneReason;
    if (calibrationPending())
        FGrace.start(CalibrationGraceMs);
    if (FDialogue.runSettings().verify) {
        // The device as the update had it, followed through its loader: its
        // restart with the new image closes it, and the window forgets it then.
        FUpdated = FDialogue.deviceChoice();
        FVerifyFailure.clear();
        FWindow.log(QStringLiteral("waiting for the device to come back with its new firmware"));
        // The device may have left already (its restart) and be back.
        enter(State::VerifyingReturn);
    } else {
        enter(State::AwaitingCertificate);
    }
    settle();
}

bool UpdateFlow::calibrationPending() const
{
    return FCalibrating && FCertificate == Certificate::None;
}

void UpdateFlow::verifyArrival()
{
    if (openDeviceStillAttached())
        return;
    const int index = returnedDevice();
    if (FState != State::VerifyingReturn || index < 0)
        return;
    FWindow.selectDeviceItem(index);
    // Waiting for the answer already during the open: its query's answer
    // can come inside it.
    enter(State::VerifyingAnswer);
    const bool opened = FDialogue.connection().OpenClick(ConnectionControl::Mode::Normal);
    // The version the device gives in its descriptors now is the one it came
    // back with.
    if (opened) {
        if (const auto &back = FDialogue.deviceChoice().followed())
            FDialogue.runFacts().noteFirmwareAfter(back->release);
    }
    if (FState != State::VerifyingAnswer)
        return;
    if (!opened) {
        verifyFail(QStringLiteral("the device came back but did not open"));
        return;
    }
    settle();
}

bool UpdateFlow::openDeviceStillAttached()
{
    // The arrival is another device's: the updated one has not left yet.
    TVemoUSBinterface *link = FWindow.link();
    usbio::DeviceAddress address;
    return link && link->Opened && link->DeviceAddress(address) == usbio::status::Success;
}

int UpdateFlow::returnedDevice()
{
    const QList<usbio::DeviceDescription> listed = DeviceChoice::describeListed(FWindow);
    // Where it left the bus, among any others; another device there (or it
    // at another path) did not come back with the new image.
    if (FUpdated.following()) {
        const DeviceChoice::Return back = FUpdated.findReturn(FWindow, listed);
        switch (back.result) {
        case DeviceChoice::Return::Result::Back:
            return back.index;
        case DeviceChoice::Return::Result::NotYet:
            return -1;
        case DeviceChoice::Return::Result::Other:
            verifyFail(back.line);
            return -1;
        }
    }
    // Not described when it was opened: the device named, or the one device
    // as the run had it; with several the right one is not known and the
    // wait goes on.
    if (FUpdated.hasNamed()) {
        const DeviceChoice::Lookup lookup = DeviceChoice::find(listed, FUpdated.named());
        return lookup.result == DeviceChoice::Lookup::Result::Found ? lookup.index : -1;
    }
    return FWindow.deviceItemCount() == 1 ? 0 : -1;
}

void UpdateFlow::lineShown(const QByteArray &line)
{
    switch (FState) {
    case State::VerifyingAnswer:
        break;
    case State::Idle:
    case State::AskingLoader:
    case State::DeviceAway:
    case State::LoaderOpen:
    case State::RunningInstaller:
    case State::Stalled:
    case State::Transferring:
    case State::AwaitingCertificate:
    case State::VerifyingReturn:
    case State::Ended:
        return; // no answer is awaited
    }
    if (protocol::isLifeTick(line))
        return;
    const QString answer = DeviceText::decode(line).trimmed();
    if (answer.isEmpty())
        return;
    FWindow.log(QString::fromLatin1(AnswerPrefix) + answer);
    FDialogue.runFacts().noteFirmwareAnswer(answer);
    const QString expected = FDialogue.runSettings().expectVersion;
    if (!expected.isEmpty() && !FirmwareVersion::answerHolds(answer, expected)) {
        verifyFail(QStringLiteral("firmware after update is '%1', not %2").arg(answer, expected));
        return;
    }
    // Checked: only the certificate may still be awaited.
    enter(State::AwaitingCertificate);
    settle();
}

void UpdateFlow::verifyFail(const QString &why)
{
    FVerifyFailure = QString::fromLatin1(FailurePrefix) + why;
    FWindow.log(FVerifyFailure);
    finish(EndKind::ImageNotLoaded, FVerifyFailure);
}

void UpdateFlow::certificateMade(bool made, const QString &error)
{
    if (made) {
        FCertificate = Certificate::Made;
    } else if (FCertificate != Certificate::Failed) {
        FCertificate = Certificate::Failed;
        FCertificateError = error;
    }
    if (waitingAfterUpdate())
        settle();
}

void UpdateFlow::boxShown(const QString &line)
{
    if (waitingAfterUpdate())
        finish(EndKind::Failed, QStringLiteral("a message box was shown: ") + line);
}

bool UpdateFlow::timeOutEnd(int seconds, QString *reason) const
{
    QString why;
    switch (FState) {
    case State::VerifyingReturn:
        why = QStringLiteral("the device did not come back within %1 s");
        break;
    case State::VerifyingAnswer:
        why = QStringLiteral("the device did not answer within %1 s");
        break;
    case State::Idle:
    case State::AskingLoader:
    case State::DeviceAway:
    case State::LoaderOpen:
    case State::RunningInstaller:
    case State::Stalled:
    case State::Transferring:
    case State::AwaitingCertificate:
    case State::Ended:
        return false;
    }
    *reason = QString::fromLatin1(FailurePrefix) + why.arg(seconds);
    return true;
}

void UpdateFlow::settle()
{
    if (!waitingAfterUpdate())
        return;
    // What went wrong first decides; then what is still awaited.
    if (FCertificate == Certificate::Failed) {
        finish(EndKind::Failed,
               QStringLiteral("certificate could not be made: ") + FCertificateError);
        return;
    }
    if (calibrationPending() && !FGrace.isActive()) {
        finish(EndKind::Failed,
               QStringLiteral("no calibration reply: the certificate was not printed"));
        return;
    }
    if (FState == State::VerifyingReturn || FState == State::VerifyingAnswer)
        return;
    if (calibrationPending())
        return;
    finish(EndKind::Done, FDoneReason);
}

void UpdateFlow::runEnded()
{
    FGrace.stop();
    FRestartImage.stop();
    if (FUnattended)
        enter(State::Ended);
}

void UpdateFlow::finish(EndKind kind, const QString &reason)
{
    FGrace.stop();
    enter(State::Ended);
    FDialogue.end(kind, reason);
}

void UpdateFlow::finishWithLine(EndKind kind, const QString &line)
{
    FGrace.stop();
    enter(State::Ended);
    FDialogue.endWithLine(kind, line);
}

} // namespace dialogue
