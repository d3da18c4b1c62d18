#pragma once

#include "usbio/Component.h"

#include <QList>
#include <QString>

#include <optional>

namespace dialogue {

class WindowPort;

// Which device the window works with. A run may be told one device
// (--device=SERIAL|PATH): the device list still shows every device, with
// that one selected, and nothing else is ever opened, so that other
// instances can drive the other devices at the same time.
//
// The device that is open is followed: by its bus path, which it keeps
// across its restart into the loader and back (where its serial number may
// not be readable). During an update another device at that path, or the
// followed device coming back at another path, is refused instead of being
// loaded.
class DeviceChoice
{
public:
    // Where the named device is in the list.
    struct Lookup
    {
        enum class Result
        {
            Found,
            NotAttached,
            Ambiguous, // a serial number that several devices give
        };
        Result result = Result::NotAttached;
        int index = -1;
    };

    // What is listed now where the followed device left the bus.
    struct Return
    {
        enum class Result
        {
            Back,   // at its path, and nothing says it is another device; or
                    // alone on the bus with none named
            NotYet, // not there (another device may have arrived elsewhere)
            Other,  // another device at its path, or it at another path
        };
        Result result = Result::NotYet;
        int index = -1;
        QString line; // Other: what came ("Another device came where ... left: ...")
    };

    // The device the run is told to work with: a bus path or a serial
    // number; empty: any (the first listed, as without a choice).
    void setNamed(const QString &name) { FNamed = name.trimmed(); }
    QString named() const { return FNamed; }
    bool hasNamed() const { return !FNamed.isEmpty(); }

    // The descriptions of the entries of the device list, in its order (an
    // entry that can no longer be described stays empty).
    static QList<usbio::DeviceDescription> describeListed(WindowPort &window);
    // A path names the device plugged in there; otherwise the serial number
    // is compared, ignoring letter case.
    static Lookup find(const QList<usbio::DeviceDescription> &listed, const QString &name);
    // The line for a named device that is not attached, or that is not
    // one, naming what is attached.
    static QString lookupLine(WindowPort &window, const QList<usbio::DeviceDescription> &listed,
                              const QString &name, const Lookup &lookup);

    // The device opened at index of the list: followed from now on. A
    // serial number the loader does not give leaves the one known.
    void follow(WindowPort &window, int index, const usbio::DeviceDescription &opened);
    // A close outside an update: nothing is followed any more.
    void forget() { FFollowed.reset(); }
    bool following() const { return FFollowed.has_value(); }
    const std::optional<usbio::DeviceDescription> &followed() const { return FFollowed; }
    QString followedName() const { return FFollowedName; }

    // Where the followed device is in the list after an arrival.
    Return findReturn(WindowPort &window, const QList<usbio::DeviceDescription> &listed) const;

    // The item to select after the list was rebuilt: the followed device
    // while it is listed, else the named one (-1 while it is not attached),
    // else the first.
    int selection(const QList<usbio::DeviceDescription> &listed) const;

    // "Vemo2 200000001 at 1-1.2": the list's name, the serial number (or
    // that there is none) and the bus path.
    static QString deviceText(const QString &name, const usbio::DeviceDescription &description);

private:
    QString FNamed;
    std::optional<usbio::DeviceDescription> FFollowed;
    QString FFollowedName;
};

} // namespace dialogue
