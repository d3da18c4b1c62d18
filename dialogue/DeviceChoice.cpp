#include "dialogue/DeviceChoice.h"

#include "dialogue/WindowPort.h"
#include "link/VemoUSBinterface.h"
#include "registry/RegTools.h"

#include <QStringList>

namespace dialogue {

namespace {

// Every listed device, for a line that says what is attached.
QString attachedText(WindowPort &window, const QList<usbio::DeviceDescription> &listed)
{
    QStringList devices;
    for (int i = 0; i < listed.size(); ++i)
        devices << DeviceChoice::deviceText(window.regTools().GetDeviceName(i), listed.at(i));
    return QStringLiteral("attached: ") +
           (devices.isEmpty() ? QStringLiteral("none") : devices.join(QStringLiteral(", ")));
}

} // namespace

QString DeviceChoice::deviceText(const QString &name, const usbio::DeviceDescription &description)
{
    const QString serial = description.serialNumber.isEmpty() ? QStringLiteral("(no serial number)")
                                                              : description.serialNumber;
    return name + QLatin1Char(' ') + serial + QStringLiteral(" at ") + description.busPath;
}

QList<usbio::DeviceDescription> DeviceChoice::describeListed(WindowPort &window)
{
    QList<usbio::DeviceDescription> listed;
    const int count = window.deviceItemCount();
    TVemoUSBinterface *link = window.link();
    for (int i = 0; i < count; ++i) {
        usbio::DeviceDescription description;
        if (!link || link->DescribeDevice(i, description) != usbio::status::Success)
            description = usbio::DeviceDescription{};
        listed.append(description);
    }
    return listed;
}

DeviceChoice::Lookup DeviceChoice::find(const QList<usbio::DeviceDescription> &listed,
                                        const QString &name)
{
    Lookup lookup;
    // Paths are unique; a serial number need not be.
    for (int i = 0; i < listed.size(); ++i) {
        if (!listed.at(i).busPath.isEmpty() && listed.at(i).busPath == name) {
            lookup.result = Lookup::Result::Found;
            lookup.index = i;
            return lookup;
        }
    }
    int matches = 0;
    for (int i = 0; i < listed.size(); ++i) {
        const QString &serial = listed.at(i).serialNumber;
        if (!serial.isEmpty() && serial.compare(name, Qt::CaseInsensitive) == 0) {
            if (++matches == 1)
                lookup.index = i;
        }
    }
    if (matches == 1)
        lookup.result = Lookup::Result::Found;
    else if (matches > 1)
        lookup = Lookup{Lookup::Result::Ambiguous, -1};
    return lookup;
}

QString DeviceChoice::lookupLine(WindowPort &window, const QList<usbio::DeviceDescription> &listed,
                                 const QString &name, const Lookup &lookup)
{
    switch (lookup.result) {
    case Lookup::Result::Found:
        return QString();
    case Lookup::Result::Ambiguous:
        return QStringLiteral("Device '%1' is not one device: several give this serial number, "
                              "name it by its bus path; %2")
            .arg(name, attachedText(window, listed));
    case Lookup::Result::NotAttached:
        break;
    }
    return QStringLiteral("Device '%1' is not attached; %2")
        .arg(name, attachedText(window, listed));
}

void DeviceChoice::follow(WindowPort &window, int index, const usbio::DeviceDescription &opened)
{
    const QString name = window.regTools().GetDeviceName(index);
    // The loader gives no serial number: the device is still the one whose
    // number is known.
    if (FFollowed && FFollowed->busPath == opened.busPath && opened.serialNumber.isEmpty() &&
        FFollowed->productId == opened.productId) {
        const QString known = FFollowed->serialNumber;
        FFollowed = opened;
        FFollowed->serialNumber = known;
    } else {
        FFollowed = opened;
    }
    FFollowedName = name;
}

DeviceChoice::Return DeviceChoice::findReturn(WindowPort &window,
                                              const QList<usbio::DeviceDescription> &listed) const
{
    Return back;
    if (!FFollowed)
        return back;
    const usbio::DeviceDescription &gone = *FFollowed;
    const QString goneText = deviceText(FFollowedName, gone);
    for (int i = 0; i < listed.size(); ++i) {
        const usbio::DeviceDescription &here = listed.at(i);
        if (here.busPath != gone.busPath)
            continue;
        const bool otherSerial = !here.serialNumber.isEmpty() && !gone.serialNumber.isEmpty() &&
                                 here.serialNumber != gone.serialNumber;
        if (here.productId != gone.productId || otherSerial) {
            back.result = Return::Result::Other;
            back.line = QStringLiteral("Another device came where %1 left: %2")
                            .arg(goneText, deviceText(window.regTools().GetDeviceName(i), here));
            return back;
        }
        back.result = Return::Result::Back;
        back.index = i;
        return back;
    }
    // Not at its path. Alone on the bus, with no device named, it is the
    // device that left (as its generation says; the loader gives no serial
    // number), wherever it came back: it is opened there.
    if (!hasNamed() && listed.size() == 1) {
        const usbio::DeviceDescription &here = listed.first();
        const bool sameSerial = here.serialNumber.isEmpty() || gone.serialNumber.isEmpty() ||
                                here.serialNumber == gone.serialNumber;
        if (here.productId == gone.productId && sameSerial) {
            back.result = Return::Result::Back;
            back.index = 0;
            return back;
        }
    }
    // Among others, or told its device: plugged into another socket, it is
    // not followed there.
    for (int i = 0; i < listed.size(); ++i) {
        const usbio::DeviceDescription &here = listed.at(i);
        if (!gone.serialNumber.isEmpty() && here.serialNumber == gone.serialNumber &&
            here.productId == gone.productId) {
            back.result = Return::Result::Other;
            back.line =
                QStringLiteral("%1 came back at %2, not where it left").arg(goneText, here.busPath);
            return back;
        }
    }
    return back;
}

int DeviceChoice::selection(const QList<usbio::DeviceDescription> &listed) const
{
    if (FFollowed) {
        for (int i = 0; i < listed.size(); ++i) {
            if (listed.at(i).busPath == FFollowed->busPath)
                return i;
        }
    }
    if (hasNamed()) {
        const Lookup lookup = find(listed, FNamed);
        return lookup.result == Lookup::Result::Found ? lookup.index : -1;
    }
    return listed.isEmpty() ? -1 : 0;
}

} // namespace dialogue
