#include "app/RunOutcome.h"

#include "app/ProgramOptions.h"

void RunOutcome::recordEnd(bool failed, const QString &reason)
{
    if (!m_ended || (failed && !m_failed))
        m_reason = reason;
    m_ended = true;
    m_failed = m_failed || failed;
}

int RunOutcome::exitStatus(bool batch, int boxesShown) const
{
    if (m_timedOut)
        return ProgramOptions::TimeoutExitCode;
    if (!batch)
        return 0;
    if (m_failed || boxesShown > 0 || m_certificateFailed || !m_ended)
        return ProgramOptions::RunFailedExitCode;
    return 0;
}
