#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

namespace usbio {
class Component;
}

// The attached Vemo devices as --list prints them, read through one
// component instance from the devices' descriptors: nothing is opened or
// claimed, so a device another program drives is listed too.
class DeviceListing
{
public:
    struct Row
    {
        int number = 0;     // from 1, in the enumeration order (the device list's "#")
        QString generation; // "Vemo", "Vemo2", "Vemo3"
        QString serial;     // empty: the device gives none (its loader)
        QString firmware;   // bcdDevice as "2.10"
        QString path;       // where it is plugged in
        quint16 vendorId = 0;
        quint16 productId = 0;
    };

    // Enumerates the devices of the Vemo driver interface on component and
    // describes each; one that leaves meanwhile is left out.
    static QList<Row> collect(usbio::Component &component);

    // One line per device, columns aligned: number, generation, serial
    // number ("-" for none), firmware version, path. Nothing for no device.
    // A value that would not read as one column of itself (a blank in it, a
    // control character, a quote, a backslash, a serial number "-") is
    // quoted ('A B', '-', '\e[31m'); see platform::TerminalText::column.
    static QString text(const QList<Row> &rows);
    // One JSON array of objects with the keys index, generation, serial
    // (null for none), firmware, path, vendorId and productId (four hex
    // digits), on one line.
    static QByteArray json(const QList<Row> &rows);
};
