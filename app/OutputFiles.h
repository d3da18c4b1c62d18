#pragma once

#include "app/ProgramOptions.h"

#include <QString>

// The files a run writes (--record, --log-file, --capture, --events) held against the
// files it reads (the firmware file, --sim, the key store) and against each
// other, before any of them is opened for writing. Two names lead to one
// file when they lead to the same device and inode after symbolic links
// (a hard link, /dev/stdout and "-", a file not there yet named twice): a
// capture over its own firmware file would truncate the image and load the
// capture's bytes into the device; a record, a log or a capture written
// into the key store or the simulator file spoils the next start; a record
// and a capture in one file erase every earlier record.
class OutputFiles
{
public:
    // The line that refuses the run (status 2), naming the output and what
    // it would overwrite; empty when every output is a file of its own.
    static QString clash(const ProgramOptions &options);
};
