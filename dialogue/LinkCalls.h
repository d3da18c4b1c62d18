#pragma once

#include "usbio/Component.h"

#include <QByteArray>
#include <QString>

namespace dialogue {

class WindowPort;

// The dialogue's calls of the device link. Each reads the window's current
// link afresh, because the link can be gone after any wait; with no link a
// send gives usbio::status::NoLink and sends nothing.
class LinkCalls
{
public:
    static usbio::Status sendCommand(WindowPort &window, const QByteArray &text);
    // A firmware transfer runs on the window's link.
    static bool fileTransferRunning(WindowPort &window);
    // The link's text for a status ("Success!" for 0).
    static QString statusText(WindowPort &window, usbio::Status status);
    // Logs prefix + the status text when status is not 0 (and notes it as the
    // window's last link failure); true when it was 0.
    static bool logFailure(WindowPort &window, const QString &prefix, usbio::Status status);
};

} // namespace dialogue
