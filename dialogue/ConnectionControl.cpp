#include "dialogue/ConnectionControl.h"

#include "dialogue/DeviceDialogue.h"
#include "dialogue/Generations.h"
#include "dialogue/LinkCalls.h"
#include "dialogue/Protocol.h"
#include "dialogue/WindowPort.h"
#include "link/VemoUSBinterface.h"
#include "platform/HostServices.h"
#include "registry/RegTools.h"

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

ConnectionControl::ConnectionControl(DeviceDialogue &dialogue)
    : FDialogue(dialogue), FWindow(dialogue.window())
{}

bool ConnectionControl::OpenClick(Mode mode)
{
    if (FWindow.deviceItemCount() == 0)
        return false;
    BusyCursor busy;

    // A run told its device opens that one and no other. During an update
    // the device that came back is selected already.
    DeviceChoice &choice = FDialogue.deviceChoice();
    if (choice.hasNamed() && mode == Mode::Normal) {
        const QList<usbio::DeviceDescription> listed = DeviceChoice::describeListed(FWindow);
        const DeviceChoice::Lookup lookup = DeviceChoice::find(listed, choice.named());
        if (lookup.result != DeviceChoice::Lookup::Result::Found) {
            FWindow.log(DeviceChoice::lookupLine(FWindow, listed, choice.named(), lookup));
            return false;
        }
        FWindow.selectDeviceItem(lookup.index);
    }

    const int index = FWindow.selectedDeviceIndex();
    TVemoUSBinterface *link = FWindow.link();
    if (!link)
        return false;
    const usbio::Status status = link->OpenDevice(index);
    // The link may have shown its driver box, which handles messages.
    if (status != usbio::status::Success) {
        FWindow.log(QStringLiteral("Open: ") + LinkCalls::statusText(FWindow, status));
        if (status == usbio::status::VersionMismatch)
            platform::host().messageBox(QStringLiteral("Please update Vemo USB driver!"),
                                        QStringLiteral("Wrong driver version"), kErrorBox);
        return false;
    }

    // Followed from now on, by where it is plugged in.
    usbio::DeviceDescription opened;
    const bool described = link->DescribeDevice(index, opened) == usbio::status::Success;
    if (described)
        choice.follow(FWindow, index, opened);

    const QString deviceName = FWindow.regTools().GetDeviceName(index);
    if (described)
        FDialogue.runFacts().noteDevice(deviceName, opened);
    FWindow.log(QStringLiteral("Device opend: ") + deviceName + QStringLiteral(" #") +
                QString::number(index + 1));
    StartReading();
    PrepareForGeneration(deviceName);
    ShowDriverInfo();
    setControls(FWindow, {Control::Open, Control::DevicesCB}, false);

    const std::initializer_list<Control> deviceControls{Control::Close, Control::SendCommand,
                                                        Control::Update, Control::ChooseFile,
                                                        Control::DownloadB};
    if (mode == Mode::Update) {
        // The device came back in its loader during an update.
        setControls(FWindow, deviceControls, false);
    } else {
        LinkCalls::logFailure(FWindow, QStringLiteral("Error writing Command: "),
                              LinkCalls::sendCommand(FWindow, protocol::NewFirmwareQuery));
        setControls(FWindow, deviceControls, true);
    }
    return true;
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
    // Closed during an update, the device is followed to its loader and back.
    if (!FDialogue.update().updating())
        FDialogue.deviceChoice().forget();
    setControls(FWindow, {Control::Open, Control::DevicesCB}, true);
    setControls(FWindow, {Control::Close, Control::Update, Control::ChooseFile, Control::DownloadB},
                false);
}

bool ConnectionControl::OpenDeviceStillAttached()
{
    TVemoUSBinterface *link = FWindow.link();
    usbio::DeviceAddress address;
    return link && link->Opened && link->DeviceAddress(address) == usbio::status::Success;
}

bool ConnectionControl::PnPRemoveNotification()
{
    // Another device left (another instance's, restarting into its loader,
    // say): the open one and what runs on it go on.
    if (OpenDeviceStillAttached()) {
        FWindow.log(QStringLiteral("OnPnPRemoveNotification"));
        FDialogue.refreshDeviceList();
        return false;
    }
    FDialogue.clearSerialNo();
    FWindow.log(QStringLiteral("OnPnPRemoveNotification"));
    if (TVemoUSBinterface *link = FWindow.link())
        link->StopReceive();
    CloseClick();
    FDialogue.refreshDeviceList();
    return true;
}

int ConnectionControl::PnPAddNotification()
{
    // Another device arrived while the open one is still there: it is only
    // listed.
    if (OpenDeviceStillAttached()) {
        FWindow.log(QStringLiteral("OnPnPAddNotification"));
        FDialogue.refreshDeviceList();
        return -1;
    }
    FDialogue.clearSerialNo();
    FWindow.log(QStringLiteral("OnPnPAddNotification"));
    TVemoUSBinterface *link = FWindow.link();
    if (link && link->Opened)
        CloseClick();
    return FDialogue.refreshDeviceList();
}

} // namespace dialogue
