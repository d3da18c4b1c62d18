#include "app/LogFile.h"

#include "files/RegularFile.h"
#include "platform/FileIdentity.h"
#include "platform/TerminalText.h"

#include <cstdio>

bool LogFile::open(const QString &path, QString *error)
{
    close();
    FPath = path;
    // Named in lines of its own: one line, whatever the name holds.
    const QString shown = platform::TerminalText::escaped(path);
    FStandardOutput = path == QLatin1String("-");
    bool ok = false;
    if (FStandardOutput) {
        // Not in append mode: standard output may be a pipe, which cannot seek.
        ok = FFile.open(stdout, QIODevice::WriteOnly);
    } else {
        // A FIFO would block the open until a reader comes (for ever, before
        // any time-out runs), a device take the lines nowhere: the copy is a
        // regular file, or standard output.
        if (const QString why = files::RegularFile::checkForWriting(path); !why.isEmpty()) {
            if (error)
                *error = QStringLiteral("cannot write '%1': %2").arg(shown, why);
            return false;
        }
        FFile.setFileName(path);
        // Unbuffered: each line is one write, appended at the file's end.
        ok = FFile.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered);
    }
    if (!ok && error)
        *error = QStringLiteral("cannot write '%1': %2").arg(shown, FFile.errorString());
    if (ok)
        FSinceCheck.start();
    return ok;
}

void LogFile::openFailed(const QString &path, const QString &error)
{
    FPath = path;
    fail(error);
}

bool LogFile::isOpen() const
{
    return FFile.isOpen();
}

void LogFile::close()
{
    if (!FFile.isOpen())
        return;
    if (!FFile.flush()) {
        fail(QStringLiteral("cannot write '%1': %2")
                 .arg(platform::TerminalText::escaped(FPath), FFile.errorString()));
        return;
    }
    FFile.close();
}

void LogFile::writeLine(const QString &line)
{
    if (!FFile.isOpen())
        return;
    // One write of the whole line: a program killed at any moment leaves
    // whole lines behind it. Its breaks stay breaks; any other control
    // character (a device's, an option value's) is escaped, so that the
    // copy on a terminal or in a script holds text only.
    const QByteArray bytes = platform::TerminalText::escapedKeepingLines(line).toUtf8() + '\n';
    if (FFile.write(bytes) != bytes.size() || !FFile.flush()) {
        fail(QStringLiteral("cannot write '%1': %2")
                 .arg(platform::TerminalText::escaped(FPath), FFile.errorString()));
        return;
    }
    if (FSinceCheck.hasExpired(PlaceCheckIntervalMs))
        check();
}

void LogFile::check()
{
    if (!FFile.isOpen())
        return;
    FSinceCheck.restart();
    if (!placeHolds())
        fail(QStringLiteral("'%1' was removed or replaced while the run wrote into it")
                 .arg(platform::TerminalText::escaped(FPath)));
}

bool LogFile::placeHolds()
{
    if (FStandardOutput)
        return true;
    return platform::FileIdentity::pathNamesOpenFile(FPath, FFile.handle());
}

void LogFile::fail(const QString &why)
{
    if (!FFailure.isEmpty())
        return;
    FFailure = why;
    // Nothing more goes to a copy that is lost: its failure is said once.
    // (Standard output itself stays open: the file only wraps it.)
    if (FFile.isOpen())
        FFile.close();
    if (onFailure)
        onFailure(why);
}
