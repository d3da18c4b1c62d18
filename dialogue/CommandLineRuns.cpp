#include "dialogue/CommandLineRuns.h"

#include "dialogue/DeviceDialogue.h"
#include "dialogue/DeviceText.h"
#include "dialogue/FirmwareFile.h"
#include "dialogue/GenerationGuard.h"
#include "dialogue/LinkCalls.h"
#include "dialogue/Protocol.h"
#include "dialogue/WindowPort.h"
#include "files/RegularFile.h"
#include "link/VemoUSBinterface.h"
#include "platform/HostServices.h"
#include "registry/RegTools.h"

#include <QFile>
#include <QFileInfo>

namespace dialogue {

namespace {

constexpr int kErrorBox = platform::MB_OK | platform::MB_ICONERROR;

// A failed calibration step: one line, and a box whose title says more.
void reportStep(WindowPort &window, const QString &what)
{
    window.log(what);
    platform::host().messageBox(what, what + QStringLiteral(" Please check device."), kErrorBox);
}

} // namespace

CommandLineRuns::CommandLineRuns(DeviceDialogue &dialogue)
    : FDialogue(dialogue), FWindow(dialogue.window())
{}

void CommandLineRuns::Dispatch(const QStringList &arguments)
{
    FLastRun = ProductionCommandLine::parse(arguments);
    switch (FLastRun.run) {
    case ProductionCommandLine::Run::None:
        return;
    case ProductionCommandLine::Run::Serial:
        SerialRun(FLastRun.serialNumber);
        return;
    case ProductionCommandLine::Run::Update:
        break;
    }

    const QString &file = FLastRun.firmwareFile;
    // Something that is there but is no file (a FIFO, a device, a folder)
    // is named as what it is, not as missing.
    if (!platform::host().fileExists(file) && QFileInfo::exists(file)) {
        // An operator's box says it as the file test does: no file there.
        FDialogue.endWithLine(
            EndKind::BadInput,
            FirmwareFile::unusableImageText(file, QStringLiteral("Firmware file")),
            QStringLiteral("File not found"));
        return;
    }
    if (!platform::host().fileExists(file)) {
        Refuse(EndKind::BadInput, QStringLiteral("File not found"));
        return;
    }
    // Before the device restarts into its loader and its flash is erased.
    if (const QString unusable = UnusableImage(file); !unusable.isEmpty()) {
        FDialogue.endWithLine(EndKind::BadInput, unusable);
        return;
    }
    if (FDialogue.deviceChoice().hasNamed()) {
        // Any number of devices: the named one must be there.
        if (!SelectNamedDevice())
            return;
    } else if (FWindow.deviceItemCount() == 0) {
        Refuse(EndKind::NoDevice, QStringLiteral("No Vemo found"));
        return;
    } else if (FWindow.deviceItemCount() > 1) {
        Refuse(EndKind::NoDevice,
               QStringLiteral("More than one Vemo found, please disconnect others"));
        return;
    }
    NoteChosenDevice();
    // Nothing is sent to a device of another generation than the file's.
    const QString otherGeneration =
        GenerationGuard::Refusal(FDialogue, file, qMax(0, FWindow.selectedDeviceIndex()));
    if (!otherGeneration.isEmpty()) {
        FDialogue.endWithLine(EndKind::NoDevice, otherGeneration);
        return;
    }

    FDialogue.update().beginUnattended(FLastRun.calibrate);
    // The file is there before the device is opened: a loader that says it
    // is ready at once (a device left in its loader) gets this image.
    FWindow.setFileName(file);
    FDialogue.openClick();
    // The open disables its button only when the device opened.
    if (FWindow.controlEnabled(WindowPort::Control::Open)) {
        Refuse(EndKind::NoDevice, QStringLiteral("Could not open device"));
        return;
    }
    if (FLastRun.calibrate)
        CalibrationSteps();
    // The run may have been ended inside the steps' waits (a signal, the
    // time-out): the device is then not sent into its loader.
    if (platform::host().terminateRequested())
        return;
    FWindow.log(QStringLiteral("Automatic Update progress started! ") + FWindow.fileName());
    FDialogue.updateClick();
}

QString CommandLineRuns::UnusableImage(const QString &file)
{
    // An installer's image is looked at when it has run.
    if (FirmwareFile::isInstaller(file))
        return QString();
    const QString problem = FirmwareFile::unusableImageText(file, QStringLiteral("Firmware file"));
    // Read whole (within its bound): what the run's record names until the
    // transfer reads it again (an update that never gets that far still
    // says which image).
    QByteArray bytes;
    QString readError;
    if (files::RegularFile::read(file, files::RegularFile::FirmwareImageLimit, &bytes, &readError))
        FDialogue.runFacts().noteImage(file, bytes);
    return problem;
}

void CommandLineRuns::NoteChosenDevice()
{
    const int index = qMax(0, FWindow.selectedDeviceIndex());
    const QList<usbio::DeviceDescription> listed = DeviceChoice::describeListed(FWindow);
    if (index < listed.size())
        FDialogue.runFacts().noteDevice(FWindow.regTools().GetDeviceName(index), listed.at(index));
}

void CommandLineRuns::Refuse(EndKind kind, const QString &text)
{
    platform::host().messageBox(text, QStringLiteral("Error"), kErrorBox);
    FDialogue.end(kind, text);
}

bool CommandLineRuns::SelectNamedDevice()
{
    DeviceChoice &choice = FDialogue.deviceChoice();
    const QList<usbio::DeviceDescription> listed = DeviceChoice::describeListed(FWindow);
    const DeviceChoice::Lookup lookup = DeviceChoice::find(listed, choice.named());
    if (lookup.result == DeviceChoice::Lookup::Result::Found) {
        FWindow.selectDeviceItem(lookup.index);
        return true;
    }
    Refuse(EndKind::NoDevice, DeviceChoice::lookupLine(FWindow, listed, choice.named(), lookup));
    return false;
}

void CommandLineRuns::SerialRun(const QByteArray &serialNumber)
{
    // The write needs an open device: the one listed device (or the one
    // named) is opened as for an unattended update. With none or several
    // there is nothing to write to.
    if (FDialogue.deviceChoice().hasNamed()) {
        if (!SelectNamedDevice())
            return;
        NoteChosenDevice();
        FDialogue.openClick();
    } else if (FWindow.deviceItemCount() == 1) {
        NoteChosenDevice();
        FDialogue.openClick();
    }
    TVemoUSBinterface *link = FWindow.link();
    const bool open = link && link->Opened;
    FSerialDeviceOpen = open;
    FSerialWritten = open && LinkCalls::sendCommand(FWindow, protocol::serialWrite(serialNumber)) ==
                                 usbio::status::Success;
    if (!FSerialWritten) {
        FWindow.log(QStringLiteral("Error writing serial number!"));
        return;
    }
    // Written only when the device gives the number back.
    FDialogue.readBack().Start(serialNumber);
}

void CommandLineRuns::CalibrationSteps()
{
    const QByteArray date = ProductionCommandLine::calibrationDate(platform::host().today());
    // No step waits for a reply, and a failed step does not stop the next.
    if (LinkCalls::sendCommand(FWindow, protocol::SerialQuery) != usbio::status::Success)
        reportStep(FWindow, QStringLiteral("Error asking device number!"));
    if (LinkCalls::sendCommand(FWindow, protocol::calibrationDateWrite(date)) !=
        usbio::status::Success)
        reportStep(FWindow, QStringLiteral("Error writing calibrate date!"));
    else
        FWindow.log(QStringLiteral("calibrate date written: ") + QString::fromLatin1(date));
    if (LinkCalls::sendCommand(FWindow, protocol::CalibrationQuery) != usbio::status::Success)
        reportStep(FWindow, QStringLiteral("Error asking calibrate date!"));
}

} // namespace dialogue
