#include "dialogue/DeviceList.h"

#include "dialogue/DeviceDialogue.h"
#include "dialogue/WindowPort.h"
#include "link/VemoUSBinterface.h"
#include "platform/HostServices.h"
#include "registry/RegTools.h"

namespace dialogue {

DeviceList::DeviceList(DeviceDialogue &dialogue) : FDialogue(dialogue), FWindow(dialogue.window())
{}

bool DeviceList::isKnownName(const QString &name)
{
    return name.toUpper().contains(QLatin1String("VEMO"));
}

QString DeviceList::itemText(const QString &name, int index)
{
    return name + QStringLiteral(" #") + QString::number(index + 1);
}

int DeviceList::Refresh()
{
    TVemoUSBinterface *link = FWindow.link();
    const int count = link ? link->ScanDevices() : 0;
    FWindow.clearDeviceItems();
    for (int i = 0; i < count; ++i) {
        const QString name = FWindow.regTools().GetDeviceName(i);
        if (!isKnownName(name)) {
            FWindow.log(QStringLiteral("Unknown device detected: ") + name);
            platform::host().messageBox(
                QStringLiteral("Unknown device detected, please send a bugreport to Orvik"),
                QStringLiteral("Device unknown"), platform::MB_OK | platform::MB_ICONERROR);
            // The box let messages through; whatever was listed meanwhile goes too.
            FWindow.clearDeviceItems();
            return 0;
        }
        FWindow.addDeviceItem(itemText(name, i));
    }
    if (count > 0) {
        // The first, unless a device is followed or named: then that one
        // (none while the named one is not attached).
        DeviceChoice &choice = FDialogue.deviceChoice();
        const int selected = choice.following() || choice.hasNamed()
                                 ? choice.selection(DeviceChoice::describeListed(FWindow))
                                 : 0;
        FWindow.selectDeviceItem(selected);
    }
    return count;
}

} // namespace dialogue
