#include "dialogue/FirmwareUpdate.h"

#include "dialogue/Generations.h"
#include "dialogue/LinkCalls.h"
#include "dialogue/Protocol.h"
#include "dialogue/WindowPort.h"
#include "files/RegularFile.h"
#include "link/VemoUSBinterface.h"
#include "platform/HostServices.h"
#include "registry/RegTools.h"

#include <QDir>
#include <QFile>

namespace dialogue {

namespace {

using Control = WindowPort::Control;
using Timer = WindowPort::Timer;

constexpr int kErrorBox = platform::MB_OK | platform::MB_ICONERROR;

} // namespace

bool FirmwareUpdate::isInstaller(const QString &fileName)
{
    // Only ASCII letters change case: ".EXE" in any mix of cases.
    return fileName.right(4).toLatin1().toUpper() == ".EXE";
}

QString FirmwareUpdate::unusableImageText(const QString &file, const QString &what)
{
    using files::RegularFile;
    RegularFile::Problem problem = RegularFile::Problem::None;
    RegularFile::checkForReading(file, RegularFile::FirmwareImageLimit, &problem);
    if (problem == RegularFile::Problem::NotRegular)
        return QStringLiteral("%1 is not a regular file: %2").arg(what, file);
    if (problem == RegularFile::Problem::TooLarge)
        return QStringLiteral("%1 is larger than %2: %3")
            .arg(what, RegularFile::sizeText(RegularFile::FirmwareImageLimit), file);
    QFile image(file);
    if (problem != RegularFile::Problem::None || !image.open(QIODevice::ReadOnly))
        return QStringLiteral("%1 cannot be read: %2").arg(what, file);
    if (image.size() == 0)
        return QStringLiteral("%1 is empty: %2").arg(what, file);
    return QString();
}

QString FirmwareUpdate::imagePath(const QString &tempDirectory, const QString &deviceName)
{
    QString path = tempDirectory;
    if (!path.endsWith(QDir::separator()))
        path += QDir::separator();
    return path + generationFor(deviceName).imageFileName;
}

void FirmwareUpdate::UpdateClick()
{
    platform::HostServices &host = platform::host();
    // A run told its device updates the one it opened, among any others.
    if (!FWindow.deviceChoice().hasNamed() && FWindow.deviceItemCount() != 1) {
        host.messageBox(QStringLiteral("More than one Vemo found, please disconnect others first"),
                        QStringLiteral("Error"), kErrorBox);
        return;
    }
    if (!host.fileExists(FWindow.fileName())) {
        host.messageBox(QStringLiteral("File does not exist"), QStringLiteral("Error"), kErrorBox);
        return;
    }

    host.setBusyCursor(true);
    const usbio::Status status = LinkCalls::sendCommand(FWindow, protocol::LoaderRequest);
    if (status != usbio::status::Success) {
        host.messageBox(QStringLiteral("Error sending Update Command"), QStringLiteral("Error"),
                        kErrorBox);
        host.setBusyCursor(false);
    }
    // Started all the same: the device may have taken the request.
    FWindow.setUpdating(true);
    for (Control control : {Control::SendCommand, Control::Update, Control::DownloadB})
        FWindow.setControlEnabled(control, false);
}

void FirmwareUpdate::BWFTimerTimer()
{
    // The device is off the bus: nothing to ask.
    if (FWindow.timerEnabled(Timer::RestartVemo))
        return;
    LinkCalls::sendCommand(FWindow, protocol::LoaderRequest);
    FWindow.log(QStringLiteral("Did not receive Flash is blank. Sending additional BWF..."));
}

void FirmwareUpdate::RestartVemoTimerTimer()
{
    FWindow.log(QStringLiteral("Please restart Vemo!!"));
    platform::host().beep();
}

void FirmwareUpdate::SendFirmwareFile()
{
    // A second "Flash is BLANK" during the transfer: the running one goes on.
    if (LinkCalls::fileTransferRunning(FWindow))
        return;
    platform::HostServices &host = platform::host();
    host.setBusyCursor(true);

    const QString file = FWindow.fileName();
    if (isInstaller(file)) {
        // The installer leaves the image in the temporary directory; the
        // window handles no message while it runs.
        if (!host.runProgramAndWait(file, {QString::fromLatin1(InstallerArgument)})) {
            host.messageBox(QStringLiteral("Error executing uC-Software"), file, kErrorBox);
            FWindow.setFileName(QString());
        } else {
            const int index = FWindow.selectedDeviceIndex();
            FWindow.setFileName(
                imagePath(host.tempDirectory(), FWindow.regTools().GetDeviceName(index)));
        }
    }

    const QString image = FWindow.fileName();
    if (!host.fileExists(image)) {
        host.setBusyCursor(false);
        return;
    }
    TVemoUSBinterface *link = FWindow.link();
    const usbio::Status status =
        link ? link->SendFile(QFile::encodeName(image)) : usbio::status::NoLink;
    if (status != usbio::status::Success) {
        // Nothing runs now: the operator gets the cursor back and may start
        // again.
        LinkCalls::logFailure(FWindow, QStringLiteral("Error SendFile: "), status);
        FWindow.setUpdating(false);
        for (Control control : {Control::Update, Control::ChooseFile, Control::DownloadB})
            FWindow.setControlEnabled(control, true);
        host.setBusyCursor(false);
        return;
    }
    // What goes into the device, as the link read it.
    if (link->FileTransferRunning()) {
        FWindow.runFacts().noteImage(image, link->FileImage());
        FWindow.runFacts().noteTransferStarted();
    }
    FWindow.setProgressVisible(true);
    for (Control control : {Control::Update, Control::ChooseFile, Control::DownloadB})
        FWindow.setControlEnabled(control, false);
}

void FirmwareUpdate::TransferProgress(int percent)
{
    // 100 comes when the last chunk is handed over; the device may still
    // lose it, so the update ends only at its completion.
    FWindow.setProgressPosition(percent);
    platform::host().setBusyCursor(true);
}

void FirmwareUpdate::TransferComplete(const QByteArray &fileName, qint64 size, qint64 elapsedMs)
{
    FWindow.runFacts().noteBytesTaken(size);
    FWindow.log(QStringLiteral("Firmware update complete: %1, %2 bytes in %3 s")
                    .arg(QFile::decodeName(fileName))
                    .arg(size)
                    .arg(QString::number(double(elapsedMs) / 1000.0, 'f', 1)));
    EndTransfer();
    if (TVemoUSBinterface *link = FWindow.link())
        link->StopReceive();
    if (FWindow.autoUpdate())
        FWindow.endProgram(false, QStringLiteral("the device took the whole image"));
}

void FirmwareUpdate::TransferFailed(const QByteArray &fileName, qint64 taken, qint64 size,
                                    usbio::Status reason)
{
    FWindow.runFacts().noteBytesTaken(taken);
    const QString cause = failureCause(reason, LinkCalls::statusText(FWindow, reason));
    FWindow.log(QStringLiteral("Firmware transfer failed: %1, %2 of %3 bytes taken: %4")
                    .arg(QFile::decodeName(fileName))
                    .arg(taken)
                    .arg(size)
                    .arg(cause));
    EndTransfer();
    if (FWindow.autoUpdate())
        FWindow.endProgram(true, QStringLiteral("transfer failed: %1 at %2 of %3 bytes")
                                     .arg(cause)
                                     .arg(taken)
                                     .arg(size));
}

QString FirmwareUpdate::failureCause(usbio::Status reason, const QString &statusText)
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

bool FirmwareUpdate::CloseQuery()
{
    if (!LinkCalls::fileTransferRunning(FWindow))
        return true;
    const int answer = platform::host().messageBox(
        QString::fromLatin1(CloseQuestion), QString::fromLatin1(CloseCaption),
        platform::MB_YESNO | platform::MB_ICONQUESTION | platform::MB_DEFBUTTON2);
    return answer == platform::IDYES;
}

void FirmwareUpdate::StopTransfer()
{
    TVemoUSBinterface *link = FWindow.link();
    if (link && link->FileTransferRunning())
        link->CloseDevice();
}

void FirmwareUpdate::EndTransfer()
{
    FWindow.setProgressVisible(false);
    for (Control control : {Control::Update, Control::ChooseFile, Control::DownloadB})
        FWindow.setControlEnabled(control, true);
    FWindow.setUpdating(false);
    platform::host().setBusyCursor(false);
}

} // namespace dialogue
