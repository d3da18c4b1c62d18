#include "dialogue/LinkCalls.h"

#include "dialogue/WindowPort.h"
#include "link/VemoUSBinterface.h"

namespace dialogue {

usbio::Status LinkCalls::sendCommand(WindowPort &window, const QByteArray &text)
{
    TVemoUSBinterface *link = window.link();
    return link ? link->SendCommand(text) : usbio::status::NoLink;
}

bool LinkCalls::fileTransferRunning(WindowPort &window)
{
    TVemoUSBinterface *link = window.link();
    return link && link->FileTransferRunning();
}

QString LinkCalls::statusText(WindowPort &window, usbio::Status status)
{
    if (TVemoUSBinterface *link = window.link())
        return QString::fromLocal8Bit(link->StatusText(long(status)));
    return usbio::statusDescription(status);
}

bool LinkCalls::logFailure(WindowPort &window, const QString &prefix, usbio::Status status)
{
    if (status == usbio::status::Success)
        return true;
    const QString line = prefix + statusText(window, status);
    window.log(line);
    return false;
}

} // namespace dialogue
