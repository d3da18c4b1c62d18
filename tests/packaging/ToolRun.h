#pragma once

#include <QByteArray>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

// One run of a command-line tool (a validator, cpack, dpkg-deb, the
// installed program): its exit code and both outputs, and a line saying how
// it went for a failure message.
struct ToolRun
{
    QString command; // the program and its arguments, for messages
    bool finished = false;
    int exitCode = -1;
    QByteArray out;
    QByteArray err;

    bool succeeded() const { return finished && exitCode == 0; }
    // "COMMAND: exit N" with standard error (or output) after it.
    QString describe() const;

    // Runs program (a path, or a name looked up on PATH) and waits at most
    // timeoutMs; a program that does not start or finish is not finished.
    static ToolRun
    run(const QString &program, const QStringList &arguments,
        const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment(),
        const QString &workingFolder = QString(), int timeoutMs = 120000);
    // The path of a tool on PATH (also /usr/sbin and /sbin), or empty.
    static QString find(const QString &name);
};
