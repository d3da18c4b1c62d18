#include "dialogue/ConnectionControl.h"

#include "dialogue/Generations.h"
#include "dialogue/LinkCalls.h"
#include "dialogue/Protocol.h"
#include "dialogue/WindowPort.h"
#include "link/VemoUSBinterface.h"
#include "platform/HostServices.h"
#include "registry/RegTools.h"

#include <exception>

namespace dialogue {

namespace {

using Control = WindowPort::Control;
using Timer = WindowPort::Timer;

constexpr int kErrorBox = platform::MB_OK | platform::MB_ICONERROR;

// The busy cursor for the rest of a scope, also when a handler raises.
class BusyCursor
{
public:
    BusyCursor() { platform::host().setBusyCursor(true); }
    ~BusyCursor() { platform::host().setBusyCursor(false); }
    BusyCursor(const BusyCursor &) = delete;
    BusyCursor &operator=(const BusyCursor &) = delete;
};

void setControls(WindowPort &window, std::initializer_list<Control> controls, bool enabled)
{
    for (Control control : controls)
        window.setControlEnabled(control, enabled);
}

} // namespace

void ConnectionControl::OpenClick()
{
    if (FWindow.deviceItemCount() == 0)
        return;
    BusyCursor busy;

    const int index = FWindow.selectedDeviceIndex();
    TVemoUSBinterface *link = FWindow.link();
    if (!link)
        return;
    const usbio::Status status = link->OpenDevice(index);
    // The link may have shown its driver box, which handles messages.
    if (status != usbio::status::Success) {
        FWindow.log(QStringLiteral("Open: ") + LinkCalls::statusText(FWindow, status));
        if (status == usbio::status::VersionMismatch)
            platform::host().messageBox(QStringLiteral("Please update Vemo USB driver!"),
                                        QStringLiteral("Wrong driver version"), kErrorBox);
        return;
    }

    const QString deviceName = FWindow.regTools().GetDeviceName(index);
    FWindow.log(QStringLiteral("Device opend: ") + deviceName + QStringLiteral(" #") +
                QString::number(index + 1));
    StartReading();
    PrepareForGeneration(deviceName);
    ShowDriverInfo();
    setControls(FWindow, {Control::Open, Control::DevicesCB}, false);

    const std::initializer_list<Control> deviceControls{Control::Close, Control::SendCommand,
                                                        Control::Update, Control::ChooseFile,
                                                        Control::DownloadB};
    if (FWindow.updating()) {
        // The device came back in its loader during an update.
        FWindow.setTimerEnabled(Timer::BWF, true);
        setControls(FWindow, deviceControls, false);
    } else {
        LinkCalls::logFailure(FWindow, QStringLiteral("Error writing Command: "),
                              LinkCalls::sendCommand(FWindow, protocol::NewFirmwareQuery));
        setControls(FWindow, deviceControls, true);
    }
}

void ConnectionControl::StartReading()
{
    TVemoUSBinterface *link = FWindow.link();
    if (!link)
        return;
    if (link->StartReceive(false) == usbio::status::Success)
        return;
    for (int attempt = 0; attempt < ReadStartRetries; ++attempt) {
        link->StopReceive();
        if (link->StartReceive(true) == usbio::status::Success)
            return;
    }
    FWindow.log(QStringLiteral("Could not start reading..."));
}

void ConnectionControl::PrepareForGeneration(const QString &deviceName)
{
    const Generation generation = generationFor(deviceName);
    FWindow.setOpenDialogFilter(generation.fileFilter);
    if (FWindow.fileName().isEmpty() && platform::host().fileExists(generation.defaultFirmwareFile))
        FWindow.setFileName(generation.defaultFirmwareFile);
    FWindow.setTimerInterval(Timer::BWF, generation.bwfIntervalMs);
}

void ConnectionControl::ShowDriverInfo()
{
    TVemoUSBinterface *link = FWindow.link();
    if (!link)
        return;
    AnsiString api, driver, build, flags;
    link->QueryDriverInfo(api, driver, build, flags);
    FWindow.log(QStringLiteral("API:") + QString::fromLatin1(api) + QStringLiteral(" Driver:") +
                QString::fromLatin1(driver) + QStringLiteral(" Driver Built:") +
                QString::fromLatin1(build) + QStringLiteral(" Flags:") +
                QString::fromLatin1(flags));
    if (driverVersionNumber(QString::fromLatin1(driver)) < CurrentDriverVersion)
        FWindow.log(QStringLiteral("Warning Driver Version old! Please update Vemo USB driver!"));
}

double ConnectionControl::driverVersionNumber(const QString &driver)
{
    // The text is "major.minor" in decimal; "." is the decimal point
    // whatever the locale says.
    bool ok = false;
    const double number = driver.trimmed().toDouble(&ok);
    return ok ? number : CurrentDriverVersion;
}

void ConnectionControl::CloseClick()
{
    TVemoUSBinterface *link = FWindow.link();
    if (!link)
        return;
    link->CloseDevice();
    // Closing reports a transfer it ended to the window: read the link again.
    link = FWindow.link();
    if (link && link->Opened) {
        FWindow.log(QStringLiteral("Device NOT closed!"));
        return;
    }
    FWindow.log(QStringLiteral("Device closed"));
    setControls(FWindow, {Control::Open, Control::DevicesCB}, true);
    setControls(FWindow, {Control::Close, Control::Update, Control::ChooseFile, Control::DownloadB},
                false);
}

void ConnectionControl::PnPRemoveNotification()
{
    FWindow.clearSerialNo();
    FWindow.log(QStringLiteral("OnPnPRemoveNotification"));
    if (TVemoUSBinterface *link = FWindow.link())
        link->StopReceive();
    CloseClick();
    FWindow.refreshDeviceList();
    if (FWindow.updating())
        FWindow.setTimerEnabled(Timer::RestartVemo, true);
}

void ConnectionControl::PnPAddNotification()
{
    FWindow.clearSerialNo();
    FWindow.log(QStringLiteral("OnPnPAddNotification"));
    TVemoUSBinterface *link = FWindow.link();
    if (link && link->Opened)
        CloseClick();
    const int count = FWindow.refreshDeviceList();
    // Without a running update an arriving device is only listed.
    if (count > 0 && FWindow.updating()) {
        FWindow.setTimerEnabled(Timer::RestartVemo, false);
        try {
            FWindow.openClick();
        } catch (const std::exception &) {
            FWindow.log(QStringLiteral("Could not open Device"));
        }
    }
}

} // namespace dialogue
