#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

// One include a file must not have.
struct IncludeViolation
{
    QString file; // from the source root
    int line = 0;
    QString include;
    QString why;
};

// The layers of the program: which folder's files may include the headers of
// which folders, and where the host's own headers (POSIX, Linux) may be used.
// The table is in IncludeRules.cpp.
class IncludeRules
{
public:
    // The violations in one file: its path from the source root and its text.
    static QList<IncludeViolation> check(const QString &file, const QByteArray &text);
    // Every folder the table names.
    static QStringList folders();
    // "dialogue/Foo.cpp:3: #include "usbio/sim/SimBus.h": why", one per line.
    static QString describe(const QList<IncludeViolation> &violations);
};
