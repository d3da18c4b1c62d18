#pragma once

#include <QElapsedTimer>
#include <QFile>
#include <QString>

#include <functional>

// The copy of the message log that --log-file asks for. Lines are appended
// and flushed one by one, so a script can follow a run while it happens.
//
// A copy that cannot be kept is never lost without a word: a failed open,
// write or flush (a full disk, /dev/full as standard output, a closed pipe)
// and a file that was removed or replaced while the run wrote into it (its
// lines since went into a file no one can open) end the copy, and
// onFailure is called once with the reason.
class LogFile
{
public:
    LogFile() = default;
    LogFile(const LogFile &) = delete;
    LogFile &operator=(const LogFile &) = delete;

    // "-" is standard output; any other path is a regular file, opened for
    // appending and created when missing. False with a readable error when
    // it cannot be (a FIFO, a device or a folder are not opened at all).
    bool open(const QString &path, QString *error = nullptr);
    bool isOpen() const;
    // Flushes and closes; a failure to flush is reported as any other.
    void close();

    // Writes the line (UTF-8, its control characters but the line feeds
    // escaped) and a line feed, then flushes. At most once a second it also
    // looks whether the path still leads to the file.
    void writeLine(const QString &line);
    // Looks now whether the copy holds (its path still leads to the file),
    // as before the run's last line; the same as a failed write otherwise.
    void check();

    // Why the copy was lost; empty while it holds (or none was asked for).
    QString failure() const { return FFailure; }
    // Records an open that failed, so the run knows its copy was lost.
    void openFailed(const QString &path, const QString &error);

    // Called once, at the first failure, with its reason.
    std::function<void(const QString &)> onFailure;

    // How often writeLine looks at the file's place.
    static constexpr int PlaceCheckIntervalMs = 1000;

private:
    void fail(const QString &why);
    bool placeHolds();

    QFile FFile;
    QString FPath;
    bool FStandardOutput = false;
    QString FFailure;
    QElapsedTimer FSinceCheck;
};
