#include "dialogue/CommandLineRuns.h"

#include "dialogue/DeviceText.h"
#include "dialogue/LinkCalls.h"
#include "dialogue/Protocol.h"
#include "dialogue/WindowPort.h"
#include "link/VemoUSBinterface.h"
#include "platform/HostServices.h"

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

    if (!platform::host().fileExists(FLastRun.firmwareFile)) {
        Refuse(QStringLiteral("File not found"));
        return;
    }
    if (FWindow.deviceChoice().hasNamed()) {
        // Any number of devices: the named one must be there.
        if (!SelectNamedDevice())
            return;
    } else if (FWindow.deviceItemCount() == 0) {
        Refuse(QStringLiteral("No Vemo found"));
        return;
    } else if (FWindow.deviceItemCount() > 1) {
        Refuse(QStringLiteral("More than one Vemo found, please disconnect others"));
        return;
    }

    FWindow.setAutoUpdate(true);
    FWindow.openClick();
    // The open disables its button only when the device opened.
    if (FWindow.controlEnabled(WindowPort::Control::Open)) {
        Refuse(QStringLiteral("Could not open device"));
        return;
    }
    FWindow.setFileName(FLastRun.firmwareFile);
    if (FLastRun.calibrate)
        CalibrationSteps();
    FWindow.log(QStringLiteral("Automatic Update progress started! ") + FWindow.fileName());
    FWindow.updateClick();
}

void CommandLineRuns::Refuse(const QString &text)
{
    platform::host().messageBox(text, QStringLiteral("Error"), kErrorBox);
    FWindow.endProgram(true, text);
}

bool CommandLineRuns::SelectNamedDevice()
{
    DeviceChoice &choice = FWindow.deviceChoice();
    const QList<usbio::DeviceDescription> listed = DeviceChoice::describeListed(FWindow);
    const DeviceChoice::Lookup lookup = DeviceChoice::find(listed, choice.named());
    if (lookup.result == DeviceChoice::Lookup::Result::Found) {
        FWindow.selectDeviceItem(lookup.index);
        return true;
    }
    choice.refuse(DeviceChoice::Refusal::NotAttached);
    Refuse(DeviceChoice::lookupLine(FWindow, listed, choice.named(), lookup));
    return false;
}

void CommandLineRuns::SerialRun(const QByteArray &serialNumber)
{
    // The write needs an open device: the one listed device (or the one
    // named) is opened as for an unattended update. With none or several
    // there is nothing to write to.
    if (FWindow.deviceChoice().hasNamed()) {
        if (!SelectNamedDevice())
            return;
        FWindow.openClick();
    } else if (FWindow.deviceItemCount() == 1) {
        FWindow.openClick();
    }
    TVemoUSBinterface *link = FWindow.link();
    const bool open = link && link->Opened;
    FSerialWritten = open && LinkCalls::sendCommand(FWindow, protocol::serialWrite(serialNumber)) ==
                                 usbio::status::Success;
    if (!FSerialWritten) {
        FWindow.log(QStringLiteral("Error writing serial number!"));
        return;
    }
    FWindow.log(QStringLiteral("serial number written: ") + DeviceText::decode(serialNumber));
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
