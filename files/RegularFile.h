#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

namespace files {

// The program reads and writes regular files only, and reads each within a
// bound. A FIFO would block its open or its read for ever (before any
// time-out runs), a device such as /dev/zero never ends, and a huge or
// sparse file would be read whole into memory. So every named file is
// looked at (without opening it) before it is opened, and read with a
// bound: what is not a regular file, or is larger than its bound, is
// refused with a reason that a line of its own can name.
//
// The reasons are phrases that follow the file's name and a colon:
// "cannot read key store /dev/zero: not a regular file (a device, FIFO or
// socket)".
class RegularFile
{
public:
    // The bound of the files the program reads whole: the key store, the
    // simulator's configuration, a report definition and its pictures.
    static constexpr qint64 InputLimit = 16 * 1024 * 1024;
    // The bound of a firmware image. The Vemo microcontrollers hold at most
    // a few hundred kilobytes of flash; 32 MiB leaves room for any image the
    // loader could take and is still sent within the default time-out of a
    // batch run at the bus's pace (64-byte chunks, one in flight).
    static constexpr qint64 FirmwareImageLimit = 32 * 1024 * 1024;

    // What is wrong with a file, for callers that answer each in their own way.
    enum class Problem
    {
        None,
        Missing,    // no such file
        NotRegular, // a folder, device, FIFO or socket
        TooLarge,   // past its bound
        OpenFailed, // no permission, ...
        ReadFailed, // an error while reading
    };

    // Empty when path names a regular file (through any symbolic links) of
    // at most limit bytes; else why it cannot be read. Opens nothing.
    static QString checkForReading(const QString &path, qint64 limit, Problem *problem = nullptr);
    // Empty when path names no file yet (it would be created) or a regular
    // file; else why it is not written to. Opens nothing.
    static QString checkForWriting(const QString &path);

    // The whole file, when it is a regular file of at most limit bytes;
    // false with the reason otherwise (also when it was replaced by
    // something else between the look and the open, or grew past its bound
    // meanwhile: the read stops after limit + 1 bytes).
    static bool read(const QString &path, qint64 limit, QByteArray *content, QString *error,
                     Problem *problem = nullptr);

    // "16 MiB", "32 MiB", "512 KiB", "100 bytes".
    static QString sizeText(qint64 bytes);

private:
    static QString notRegularReason();
    static QString tooLargeReason(qint64 limit, qint64 size);
};

} // namespace files
