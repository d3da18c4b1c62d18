#include "station/SocketRun.h"

namespace station {

namespace {

// What is kept of standard error: enough for its last lines.
constexpr qsizetype kErrorTail = 8192;

} // namespace

SocketRun::SocketRun(const QStringList &command, const QProcessEnvironment &environment,
                     QObject *parent)
    : QObject(parent), m_command(command)
{
    m_process.setProcessEnvironment(environment);
    m_process.setProcessChannelMode(QProcess::SeparateChannels);
    m_process.setInputChannelMode(QProcess::ManagedInputChannel);
    connect(&m_process, &QProcess::readyReadStandardOutput, this, &SocketRun::readEvents);
    connect(&m_process, &QProcess::readyReadStandardError, this, &SocketRun::readErrors);
    connect(
        &m_process, &QProcess::finished, this, [this](int exitCode, QProcess::ExitStatus status) {
            readEvents();
            readErrors();
            if (m_reported)
                return;
            m_reported = true;
            const bool crashed = status == QProcess::CrashExit;
            Q_EMIT finished(exitCode, crashed,
                            crashed ? QStringLiteral("the run was ended by a signal") : QString());
        });
    connect(&m_process, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        // A program that does not start never finishes.
        if (error != QProcess::FailedToStart || m_reported)
            return;
        m_reported = true;
        Q_EMIT finished(-1, true,
                        QStringLiteral("the run did not start: ") + m_process.errorString());
    });
}

SocketRun::~SocketRun()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    // The station goes: the run ends as a signal ends it, else it is killed.
    m_reported = true;
    m_process.terminate();
    if (!m_process.waitForFinished(EndWaitMs)) {
        m_process.kill();
        m_process.waitForFinished(EndWaitMs);
    }
}

void SocketRun::start()
{
    if (m_command.isEmpty())
        return;
    m_process.start(m_command.first(), m_command.mid(1));
    // Nothing goes to the run's standard input.
    m_process.closeWriteChannel();
    m_pid = m_process.processId();
}

void SocketRun::stop()
{
    if (m_process.state() != QProcess::NotRunning)
        m_process.terminate();
}

QString SocketRun::lastErrorLine() const
{
    const QList<QByteArray> lines = m_errors.trimmed().split('\n');
    return lines.isEmpty() ? QString() : QString::fromLocal8Bit(lines.last().trimmed());
}

void SocketRun::readEvents()
{
    m_pending += m_process.readAllStandardOutput();
    for (;;) {
        const qsizetype end = m_pending.indexOf('\n');
        if (end < 0)
            break;
        const QByteArray line = m_pending.left(end);
        m_pending.remove(0, end + 1);
        if (const std::optional<RunEvent> parsed = RunEvent::parse(line))
            Q_EMIT eventSaid(*parsed);
    }
}

void SocketRun::readErrors()
{
    m_errors += m_process.readAllStandardError();
    if (m_errors.size() > kErrorTail)
        m_errors = m_errors.right(kErrorTail);
}

} // namespace station
