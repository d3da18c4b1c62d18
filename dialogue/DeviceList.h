#pragma once

#include <QString>

namespace dialogue {

class DeviceDialogue;
class WindowPort;

// The device list: one item per device the link finds, in the link's order,
// each the registry probe's name for it, " #" and its number from 1. The
// first is selected, or the device followed or named (DeviceChoice). A name
// that is not one of the maker's devices empties the list again, logs it and
// asks for a bug report: no device can be opened until a rebuild finds only
// known ones.
class DeviceList
{
public:
    explicit DeviceList(DeviceDialogue &dialogue);

    // Rebuilds the window's list; the number of devices the link found, 0
    // after an unknown one (or without a link).
    int Refresh();

    // A name holding "VEMO" in any letter case is one of the maker's devices.
    static bool isKnownName(const QString &name);
    // The item for a device: its name, " #" and index + 1.
    static QString itemText(const QString &name, int index);

private:
    DeviceDialogue &FDialogue;
    WindowPort &FWindow;
};

} // namespace dialogue
