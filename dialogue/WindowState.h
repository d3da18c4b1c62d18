#pragma once

#include <QByteArray>

namespace dialogue {

// What the dialogue keeps between handlers about the device's text. Held by
// DeviceDialogue and changed only through its named setters, so every
// change is a call that can be found. (Whether an update runs is the update
// flow's state, not a flag here.)
struct WindowState
{
    // The serial number of the last accepted "DEVNR" reply; cleared on every
    // plug-and-play event.
    QByteArray serialNo;
    // A full 16-character chunk without CR, held for the next one.
    QByteArray pendingChunk;
};

} // namespace dialogue
