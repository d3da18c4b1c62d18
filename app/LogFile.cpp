#include "app/LogFile.h"

#include <cstdio>

bool LogFile::open(const QString &path, QString *error)
{
    close();
    bool ok = false;
    if (path == QLatin1String("-")) {
        // Not in append mode: standard output may be a pipe, which cannot seek.
        ok = FFile.open(stdout, QIODevice::WriteOnly);
    } else {
        FFile.setFileName(path);
        ok = FFile.open(QIODevice::WriteOnly | QIODevice::Append);
    }
    if (!ok && error)
        *error = QStringLiteral("cannot write '%1': %2").arg(path, FFile.errorString());
    return ok;
}

bool LogFile::isOpen() const
{
    return FFile.isOpen();
}

void LogFile::close()
{
    if (FFile.isOpen())
        FFile.close();
}

void LogFile::writeLine(const QString &line)
{
    if (!FFile.isOpen())
        return;
    FFile.write(line.toUtf8());
    FFile.write("\n", 1);
    FFile.flush();
}
