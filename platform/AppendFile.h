#pragma once

#include <QByteArray>
#include <QString>

namespace platform {

// A regular file that several processes append whole lines to at once (the
// run records of a production station). Each append is one write on a
// descriptor opened with O_APPEND, so the kernel places it at the file's end
// in one piece and the lines of concurrent writers never interleave; it is
// then synced, so a line a script has seen is on the disk.
class AppendFile
{
public:
    AppendFile() = default;
    ~AppendFile();
    AppendFile(const AppendFile &) = delete;
    AppendFile &operator=(const AppendFile &) = delete;

    // Opens path for appending, creating it when missing. Refuses what is
    // not a regular file (a folder, a FIFO, a device): false with a short
    // reason in error. Never blocks on a FIFO without a reader.
    bool open(const QString &path, QString *error);
    bool isOpen() const { return m_fd >= 0; }
    QString path() const { return m_path; }

    // Appends bytes with one write and syncs them to the disk. False with a
    // reason when the write was short or failed, or the sync failed. After
    // a short write a line break ends the part that was written, so that the
    // next writer's line starts on a line of its own; and a file that does
    // not end with a line break (one such end that did not get in either,
    // on a full disk) gets one before the bytes, in the same write.
    //
    // A file that its path no longer leads to (removed, or replaced by
    // another, since it was opened) takes nothing: the bytes would go where
    // no one finds them. False with RemovedOrReplaced in the reason.
    bool append(const QByteArray &bytes, QString *error);

    // The reason append gives for a file its path no longer leads to.
    static constexpr const char *RemovedOrReplaced = "the file was removed or replaced";

    void close();

private:
    int m_fd = -1;
    QString m_path;
};

} // namespace platform
