#pragma once

#include "dialogue/EndKind.h"

#include <QString>

namespace dialogue {

// The program's exit statuses, one row per kind of end: the number a line
// script reads, and when it comes (for --help, the manual page and
// docs/command-line.md). Nothing else writes an exit status number.
struct ExitStatusRow
{
    EndKind kind;
    int status;
    const char *when;
};

inline constexpr ExitStatusRow ExitStatusTable[] = {
    {EndKind::Done, 0,
     "done: the run reached its end (serial number written and read back; the update "
     "done, with --verify the device back with its new firmware; with /CALIBRATE the "
     "certificate made) and no message box was shown"},
    {EndKind::Failed, 1,
     "failed otherwise: a message box was shown, the certificate could not be made or "
     "its reply never came, the serial number did not read back, the run's record, the "
     "log file or the capture could not be written, an exception, SIGTERM, SIGINT, "
     "SIGHUP or SIGQUIT outside a transfer"},
    {EndKind::BadInput, 2,
     "a bad option or value, a simulator, key-store or log file that cannot be used "
     "(also one that is not a regular file, or one read whole that is larger than "
     "its bound), an output file that is an input or another output, no display "
     "without --batch, a firmware file missing, empty, "
     "unreadable, not a regular file or larger than 32 MiB, an installer that does "
     "not start or leaves no image"},
    {EndKind::TimeOut, 3, "--timeout ran out"},
    {EndKind::NoDevice, 4,
     "no usable device: none, several, it would not open, the firmware file names "
     "another generation (without --force), the device of --device is not attached or "
     "its serial number names several"},
    {EndKind::ImageNotLoaded, 5,
     "the image did not get into the device: the transfer failed or did not start, the "
     "device was removed, a chunk refused, a signal during the transfer, the "
     "verification failed, another device came back into the update in its place"},
};

constexpr int exitStatusOf(EndKind kind)
{
    for (const ExitStatusRow &row : ExitStatusTable) {
        if (row.kind == kind)
            return row.status;
    }
    return 1;
}

} // namespace dialogue
