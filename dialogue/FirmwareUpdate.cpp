#include "dialogue/FirmwareUpdate.h"

#include "dialogue/Generations.h"
#include "dialogue/LinkCalls.h"
#include "dialogue/Protocol.h"
#include "dialogue/WindowPort.h"
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
    FWindow.setProgressVisible(true);
    for (Control control : {Control::Update, Control::ChooseFile, Control::DownloadB})
        FWindow.setControlEnabled(control, false);
}

void FirmwareUpdate::TransferProgress(int percent)
{
    FWindow.setProgressPosition(percent);
    if (percent != 100) {
        platform::host().setBusyCursor(true);
        return;
    }
    EndTransfer();
    if (TVemoUSBinterface *link = FWindow.link())
        link->StopReceive();
    if (FWindow.autoUpdate())
        FWindow.endProgram(false, QStringLiteral("the update reached 100 %"));
}

void FirmwareUpdate::TransferFailed(const QByteArray &fileName, qint64 sent, qint64 size,
                                    usbio::Status reason)
{
    FWindow.log(QStringLiteral("Firmware transfer failed: %1, %2 of %3 bytes sent: %4")
                    .arg(QFile::decodeName(fileName))
                    .arg(sent)
                    .arg(size)
                    .arg(LinkCalls::statusText(FWindow, reason)));
    EndTransfer();
    if (FWindow.autoUpdate())
        FWindow.endProgram(true, QStringLiteral("the firmware transfer failed"));
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
