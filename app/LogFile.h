#pragma once

#include <QFile>
#include <QString>

// The copy of the message log that --log-file asks for. Lines are appended
// and flushed one by one, so a script can follow a run while it happens.
class LogFile
{
public:
    LogFile() = default;
    LogFile(const LogFile &) = delete;
    LogFile &operator=(const LogFile &) = delete;

    // "-" is standard output; any other path is opened for appending and
    // created when missing. False with a readable error when it cannot be.
    bool open(const QString &path, QString *error = nullptr);
    bool isOpen() const;
    void close();

    // Writes the line (UTF-8) and a line feed, then flushes.
    void writeLine(const QString &line);

private:
    QFile FFile;
};
