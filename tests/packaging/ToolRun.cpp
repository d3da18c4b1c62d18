#include "tests/packaging/ToolRun.h"

#include <QProcess>
#include <QStandardPaths>

QString ToolRun::describe() const
{
    const QByteArray detail = err.trimmed().isEmpty() ? out.trimmed() : err.trimmed();
    return QStringLiteral("%1: %2\n%3")
        .arg(command,
             finished ? QStringLiteral("exit %1").arg(exitCode)
                      : QStringLiteral("did not start or finish"),
             QString::fromUtf8(detail.right(4000)));
}

ToolRun ToolRun::run(const QString &program, const QStringList &arguments,
                     const QProcessEnvironment &environment, const QString &workingFolder,
                     int timeoutMs)
{
    ToolRun result;
    result.command = (QStringList{program} + arguments).join(QLatin1Char(' '));
    QProcess process;
    process.setProcessEnvironment(environment);
    if (!workingFolder.isEmpty())
        process.setWorkingDirectory(workingFolder);
    process.start(program, arguments);
    if (!process.waitForStarted(30000))
        return result;
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished(5000);
        return result;
    }
    result.finished = process.exitStatus() == QProcess::NormalExit;
    result.exitCode = process.exitCode();
    result.out = process.readAllStandardOutput();
    result.err = process.readAllStandardError();
    return result;
}

QString ToolRun::find(const QString &name)
{
    const QString onPath = QStandardPaths::findExecutable(name);
    if (!onPath.isEmpty())
        return onPath;
    return QStandardPaths::findExecutable(name,
                                          {QStringLiteral("/usr/sbin"), QStringLiteral("/sbin")});
}
