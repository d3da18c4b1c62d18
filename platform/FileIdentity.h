#pragma once

#include <QString>

#include <optional>

namespace platform {

// Which file a name leads to, and whether a file that is open is still the
// one its name leads to. A file removed (or renamed, or replaced by another)
// while it is open takes every later write without an error, into a file no
// one can find again: a log written so is lost without a word unless someone
// looks. And two names can lead to one file (a symbolic link, a hard link,
// /dev/stdout): a file written under one name and read under the other is
// spoilt without a word unless someone compares them first.
class FileIdentity
{
public:
    // Where a name leads, after symbolic links: the file's device and inode;
    // for a name that leads to nothing yet, the folder it would be created
    // in (device and inode) and the name in it. Two names with equal places
    // are one file, or would be once created.
    struct Place
    {
        unsigned long long device = 0;
        unsigned long long inode = 0;
        QString createdAs; // empty: the file exists
        bool operator==(const Place &other) const
        {
            return device == other.device && inode == other.inode && createdAs == other.createdAs;
        }
        bool operator!=(const Place &other) const { return !(*this == other); }
    };

    // The place of path; "-" is standard output. None when it cannot be
    // told (the folder it would be created in is not there either, or
    // standard output is closed).
    static std::optional<Place> placeOf(const QString &path);

    // True when path names the very file open as descriptor; false when it
    // names nothing or another file, or descriptor is not open.
    static bool pathNamesOpenFile(const QString &path, int descriptor);
};

} // namespace platform
