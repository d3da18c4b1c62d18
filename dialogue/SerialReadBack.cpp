#include "dialogue/SerialReadBack.h"

#include "dialogue/DeviceDialogue.h"
#include "dialogue/LinkCalls.h"
#include "dialogue/Protocol.h"
#include "dialogue/WindowPort.h"

namespace dialogue {

SerialReadBack::SerialReadBack(DeviceDialogue &dialogue)
    : FDialogue(dialogue), FWindow(dialogue.window())
{}

void SerialReadBack::Start(const QByteArray &wanted)
{
    FWanted = wanted;
    // Waiting already during the send: it handles messages, and the reply
    // or a box can come inside it.
    FWaiting = true;
    const usbio::Status status = LinkCalls::sendCommand(FWindow, protocol::SerialQuery);
    if (status == usbio::status::Success)
        return;
    const QString line = QStringLiteral("Could not read the serial number back");
    FWindow.log(line);
    // A box inside the send may have ended the run already.
    if (FWaiting)
        Finish(EndKind::Failed, line);
}

void SerialReadBack::SerialReply(bool accepted, const QByteArray &serial)
{
    if (!FWaiting)
        return;
    if (!accepted) {
        // Its box has said why; no other reply will come.
        Finish(EndKind::Failed, QStringLiteral("Error length of device number"));
        return;
    }
    if (serial == FWanted) {
        FWindow.log(QStringLiteral("serial number written: ") + QString::fromLatin1(serial));
        FWindow.log(QStringLiteral("serial number read back: ") + QString::fromLatin1(serial));
        Finish(EndKind::Done, QStringLiteral("serial number read back"));
        return;
    }
    FWindow.log(QStringLiteral("serial number read back differs: ") + QString::fromLatin1(serial));
    Finish(EndKind::Failed, QStringLiteral("serial number read back differs"));
}

void SerialReadBack::BoxShown(const QString &line)
{
    if (FWaiting)
        Finish(EndKind::Failed, line.isEmpty()
                                    ? QStringLiteral("a message box was shown")
                                    : QStringLiteral("a message box was shown: ") + line);
}

void SerialReadBack::Finish(EndKind kind, const QString &reason)
{
    FWaiting = false;
    // An operator's serial run does not end by itself.
    if (FDialogue.runSettings().batch)
        FDialogue.end(kind, reason);
}

} // namespace dialogue
