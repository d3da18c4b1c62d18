#include "dialogue/StartUp.h"

#include "dialogue/DeviceDialogue.h"
#include "dialogue/WindowPort.h"
#include "generations/GenerationTable.h"
#include "link/VemoUSBinterface.h"
#include "platform/HostServices.h"
#include "registry/KeyStore.h"
#include "registry/RegTools.h"
#include "usbio/Backend.h"

namespace dialogue {

StartUp::StartUp(DeviceDialogue &dialogue) : FDialogue(dialogue), FWindow(dialogue.window()) {}

const QString StartUp::SelfKey = QStringLiteral("Software\\ORVIK\\Vemo");
const QString StartUp::SelfValue = QStringLiteral("VemoUSBDemo");

void StartUp::Run(const QStringList &arguments)
{
    FDialogue.clearSerialNo();
    RecordProgramPath(arguments.value(0));
    ReportDrivers();
    ReportRegisteredDevices();
    PutWindowAtRest();

    if (const QString note = usbio::selectedBackendNote(); !note.isEmpty())
        FWindow.log(note); // why no device can be found at all

    WireLink();

    if (FWindow.deviceItemCount() == 0)
        FWindow.log(QString::fromLatin1(NoVemoDetected));
    if (arguments.size() > 1)
        FDialogue.dispatchCommandLine(arguments.mid(1));
}

void StartUp::RecordProgramPath(const QString &programPath)
{
    TRegTools &regTools = FWindow.regTools();
    try {
        const QString stored = regTools.ReadRegString(registry::RootKey::LocalMachine, SelfKey,
                                                      SelfValue, programPath);
        if (stored != programPath)
            regTools.WriteRegString(registry::RootKey::LocalMachine, SelfKey, SelfValue,
                                    programPath);
    } catch (const registry::RegistryError &e) {
        // Nothing else reads the value, so start-up goes on without it.
        FWindow.log(QStringLiteral("Could not record the program path in the registry: %1")
                        .arg(QString::fromUtf8(e.what())));
    }
}

void StartUp::ReportDrivers()
{
    TRegTools &regTools = FWindow.regTools();
    for (const generations::Descriptor &generation : generations::table().rows())
        FWindow.log(generation.name + (regTools.DriverInstalled(generation) >= 1
                                           ? QStringLiteral(" USB driver installed")
                                           : QStringLiteral(" USB driver not installed")));
}

void StartUp::ReportRegisteredDevices()
{
    TRegTools &regTools = FWindow.regTools();
    const int registered = regTools.GetDeviceCount();
    if (registered < 1) {
        FWindow.log(QStringLiteral("No Vemo found"));
        return;
    }
    for (int i = 0; i < registered; ++i)
        FWindow.log(regTools.GetDeviceName(i) + QStringLiteral(" found"));
}

void StartUp::PutWindowAtRest()
{
    using Control = WindowPort::Control;
    for (Control control : {Control::Close, Control::SendCommand, Control::Update,
                            Control::ChooseFile, Control::DownloadB})
        FWindow.setControlEnabled(control, false);
    FWindow.setProgressVisible(false);

    FDialogue.clearPendingChunk();
}

void StartUp::WireLink()
{
    platform::HostServices &host = platform::host();
    try {
        // Binding, connecting and enabling wait for nothing: the link made
        // here is still the window's at the device list.
        TVemoUSBinterface *link = FWindow.createLink();
        BindLink(*link);
        link->ConnectInterfaces();
        FWindow.log(link->EnablePnP() == usbio::status::Success
                        ? QStringLiteral("PnPNotification enabled")
                        : QStringLiteral("PnPNotification failed"));
        FDialogue.refreshDeviceList();
        FWindow.log(host.currentDirectory());
    } catch (...) {
        host.messageBox(QStringLiteral("USBIOCOM not registered! Use regsvr32 usbio230.dll"),
                        QStringLiteral("USBIO not registerd"),
                        platform::MB_OK | platform::MB_ICONERROR);
        host.terminate();
    }
}

void StartUp::BindLink(TVemoUSBinterface &link)
{
    DeviceDialogue &dialogue = FDialogue;
    link.OnDeviceRemoved = [&dialogue](TObject *, const IDispatchRef &) {
        dialogue.pnpRemoveNotification();
    };
    link.OnDeviceArrived = [&dialogue](TObject *, const IDispatchRef &) {
        dialogue.pnpAddNotification();
    };
    link.OnDataReceived = [&dialogue](TObject *, AnsiString &data) {
        dialogue.deviceDataReceived(data);
    };
    link.OnFileProgress = [&dialogue](TObject *, int percent) {
        dialogue.transferProgress(percent);
    };
    link.OnFileFailed = [&dialogue](TObject *, const AnsiString &fileName, qint64 sent, qint64 size,
                                    usbio::Status reason) {
        dialogue.transferFailed(fileName, sent, size, reason);
    };
    link.OnFileComplete = [&dialogue](TObject *, const AnsiString &fileName, qint64 size,
                                      qint64 elapsedMs) {
        dialogue.transferComplete(fileName, size, elapsedMs);
    };
}

} // namespace dialogue
