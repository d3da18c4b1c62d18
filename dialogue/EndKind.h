#pragma once

#include <QString>

namespace dialogue {

// What kind of end a run came to. The dialogue says which; the program turns
// each kind into its exit status (app/ExitStatus.h holds the one table).
enum class EndKind
{
    Done,           // the run reached its end
    Failed,         // any other failure: a box, the certificate, a read-back, a signal
    BadInput,       // an option, or an input file that cannot be used
    TimeOut,        // the run did not end in time
    NoDevice,       // no usable device: none, several, not opened, another generation
    ImageNotLoaded, // the image did not get into the device
};

// A failed transfer ends the run with a reason that begins so
// ("transfer failed: device removed at 2048 of 8000 bytes").
inline constexpr const char *TransferFailedPrefix = "transfer failed:";

// The kind of an end given as done or failed with its reason: a failure whose
// reason begins with TransferFailedPrefix is ImageNotLoaded, any other Failed.
EndKind endKindFor(bool failed, const QString &reason);

} // namespace dialogue
