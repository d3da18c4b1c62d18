#pragma once

namespace dialogue {

// What kind of end a run came to. Whoever ends a run says which; the exit
// status comes from the one table of dialogue/ExitStatus.h, never from the
// text of a reason.
enum class EndKind
{
    Done,           // the run reached its end
    Failed,         // any other failure: a box, the certificate, a read-back, a signal
    BadInput,       // an option, or an input file that cannot be used
    TimeOut,        // the run did not end in time
    NoDevice,       // no usable device: none, several, not opened, another generation
    ImageNotLoaded, // the image did not get into the device
};

} // namespace dialogue
