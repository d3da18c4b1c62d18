#pragma once

#include <QByteArray>

namespace dialogue {

// What the window keeps between handlers about the device dialogue. The
// window port holds one and hands it out only through value getters and
// named setters, so every change is a call that can be found.
struct WindowState
{
    // A firmware update is running (set and cleared by the update; read by
    // the open and the plug-and-play handlers).
    bool updating = false;
    // The running update was started from the command line: it ends the
    // program when it completes.
    bool autoUpdate = false;
    // The serial number of the last accepted "DEVNR" reply; cleared on every
    // plug-and-play event.
    QByteArray serialNo;
    // A full 16-character chunk without CR, held for the next one.
    QByteArray pendingChunk;
};

} // namespace dialogue
