#pragma once

#include "dialogue/EndKind.h"

#include <QByteArray>
#include <QString>

namespace dialogue {

class DeviceDialogue;
class WindowPort;

// The end of a serial run: the device is asked for its serial number
// ("DEVNR?") and its reply decides the run. Only the number it was given
// says the number is written ("serial number written: ..."); another
// number, a reply of the wrong length, a box shown while waiting or a query
// that cannot be sent say it is not. An unattended run (--batch) ends there,
// done or failed; an operator's run goes on. The reply drives it as it
// arrives (IncomingLines hands it on); nothing polls.
class SerialReadBack
{
public:
    explicit SerialReadBack(DeviceDialogue &dialogue);

    // Sends the query for the number that was written.
    void Start(const QByteArray &wanted);
    // A serial-number reply as the incoming lines took it: accepted with
    // its number, or refused (after its box). Ignored unless waiting.
    void SerialReply(bool accepted, const QByteArray &serial);
    // A box was shown while waiting (its line, "caption: text"): the run
    // cannot end clean, and the reply may never come.
    void BoxShown(const QString &line = QString());
    // The run ended otherwise (its time-out): a reply that comes later
    // decides nothing.
    void Abandon() { FWaiting = false; }

    bool Waiting() const { return FWaiting; }

private:
    // The last thing the read-back does: it ends the program.
    void Finish(EndKind kind, const QString &reason);

    DeviceDialogue &FDialogue;
    WindowPort &FWindow;
    QByteArray FWanted;
    bool FWaiting = false;
};

} // namespace dialogue
