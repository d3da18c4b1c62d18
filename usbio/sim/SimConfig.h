#pragma once

#include "usbio/sim/SimBus.h"

#include <QByteArray>
#include <QJsonValue>
#include <QList>
#include <QString>

#include <optional>

namespace usbio {

// A simulator configuration file, read and checked as a whole before
// anything of it is used. The format is described in docs/simulator.md.
class SimConfig
{
public:
    struct Device
    {
        QString id; // name the timeline refers to; "device<N>" when not given
        SimDeviceSettings settings;
        SimFaults faults;
        bool attached = true; // attached at load time
    };
    struct Action
    {
        enum Kind
        {
            Attach,
            Detach,
            Restart,
            Send,
        };
        int afterMs = 0;
        Kind kind = Attach;
        QString device;
        int offBusMs = -1; // Restart: -1 takes the device's restartDelayMs
        QByteArray text;   // Send
    };

    QList<Device> devices;
    Status pnpEnableStatus = 0;
    bool componentRegistered = true;
    QList<Action> timeline;

    // Reads path; on failure returns false and sets error to a text naming
    // the file and the field at fault.
    bool load(const QString &path, QString *error);
    // Same, from the file's contents; fileName names it in errors, and
    // relative paths in it are taken from its folder.
    bool parse(const QByteArray &json, const QString &fileName, QString *error);

    // A status as the file gives it: a number, a hexadecimal text with or
    // without "0x" ("E000101C"), or a status name ("DeviceGone").
    static std::optional<Status> parseStatus(const QJsonValue &value);
};

} // namespace usbio
