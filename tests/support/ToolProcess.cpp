#include "tests/support/ToolProcess.h"

QStringList ToolProcess::Result::errorLines() const
{
    return QString::fromLocal8Bit(err).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

QString ToolProcess::Result::lastErrorLine() const
{
    return errorLines().value(errorLines().size() - 1);
}

ToolProcess::Setup ToolProcess::inFolder(const QString &folder)
{
    Setup setup;
    setup.tempFolder = folder;
    setup.workingDirectory = folder;
    return setup;
}

QString ToolProcess::vemotool()
{
    return QStringLiteral(VEMOTOOL_PATH);
}

QProcessEnvironment ToolProcess::environment(const Setup &setup)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    if (setup.display == Display::Offscreen)
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    else
        env.remove(QStringLiteral("QT_QPA_PLATFORM"));
    // A certificate that is printed reaches no printer.
    env.insert(QStringLiteral("CUPS_SERVER"), QStringLiteral("/nonexistent/vemo-test/cups.sock"));
    if (!setup.tempFolder.isEmpty())
        env.insert(QStringLiteral("TMPDIR"), setup.tempFolder);
    if (!setup.keyStore.isEmpty())
        env.insert(QStringLiteral("VEMO_REGISTRY"), setup.keyStore);
    env.insert(setup.extra);
    return env;
}

ToolProcess::~ToolProcess()
{
    if (running()) {
        m_process.kill();
        m_process.waitForFinished();
    }
}

void ToolProcess::start(const Setup &setup, const QStringList &arguments)
{
    start(setup, vemotool(), arguments);
}

void ToolProcess::start(const Setup &setup, const QString &program, const QStringList &arguments)
{
    m_process.setProcessEnvironment(environment(setup));
    m_process.setWorkingDirectory(setup.workingDirectory);
    if (setup.discardOutput) {
        m_process.setStandardOutputFile(QProcess::nullDevice());
        m_process.setStandardErrorFile(setup.errorFile.isEmpty() ? QProcess::nullDevice()
                                                                 : setup.errorFile);
    }
    m_started = true;
    m_process.start(program, arguments);
}

ToolProcess::Result ToolProcess::finish(int limitMs)
{
    Result result;
    // A child the test already waited for has ended; one that never started
    // has not.
    if (running())
        result.finished = m_process.waitForFinished(limitMs);
    else
        result.finished = m_started && m_process.error() != QProcess::FailedToStart;
    if (!result.finished && running()) {
        m_process.kill();
        m_process.waitForFinished();
    }
    result.crashed = m_process.exitStatus() != QProcess::NormalExit;
    result.exitCode = m_process.exitCode();
    result.out = m_process.readAllStandardOutput();
    result.err = m_process.readAllStandardError();
    return result;
}

ToolProcess::Result ToolProcess::run(const QStringList &arguments, const Setup &setup, int limitMs)
{
    ToolProcess child;
    child.start(setup, arguments);
    return child.finish(limitMs);
}
