#pragma once

#include <QString>

namespace platform {

// Whether a file that is open is still the one its name leads to. A file
// removed (or renamed, or replaced by another) while it is open takes every
// later write without an error, into a file no one can find again: a log
// written so is lost without a word unless someone looks.
class FileIdentity
{
public:
    // True when path names the very file open as descriptor; false when it
    // names nothing or another file, or descriptor is not open.
    static bool pathNamesOpenFile(const QString &path, int descriptor);
};

} // namespace platform
