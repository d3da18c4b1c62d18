#include "dialogue/RunOutcome.h"

#include "dialogue/ExitStatus.h"
#include "platform/TerminalText.h"

namespace dialogue {

void RunOutcome::recordEnd(EndKind kind, const QString &reason)
{
    const bool failing = kind != EndKind::Done;
    if (!m_ended || (failing && !failed())) {
        m_kind = kind;
        m_reason = reason;
    }
    m_ended = true;
}

void RunOutcome::recordCertificateFailure(const QString &error)
{
    if (!m_certificateFailed)
        m_certificateError = error;
    m_certificateFailed = true;
}

void RunOutcome::recordTimeOut(int seconds)
{
    m_timedOut = true;
    m_timeOutSeconds = seconds;
}

void RunOutcome::recordBox(const QString &line)
{
    if (m_boxes++ == 0)
        m_firstBox = line;
}

void RunOutcome::recordException(const QString &message)
{
    if (!m_exception)
        m_exceptionMessage = message;
    m_exception = true;
}

void RunOutcome::recordRecordFailure(const QString &error)
{
    if (!m_recordFailed)
        m_recordError = error;
    m_recordFailed = true;
}

void RunOutcome::recordLogFileFailure(const QString &why)
{
    if (m_logFileFailure.isEmpty())
        m_logFileFailure = why;
}

void RunOutcome::recordCaptureFailure(const QString &why)
{
    if (m_captureFailure.isEmpty())
        m_captureFailure = why;
}

EndKind RunOutcome::finalKind(bool batch, QString *why) const
{
    if (m_timedOut) {
        *why = QStringLiteral("time-out after %1 s").arg(m_timeOutSeconds);
        return EndKind::TimeOut;
    }
    const QString exception =
        QStringLiteral("exception: %1")
            .arg(m_exceptionMessage.isEmpty() ? QStringLiteral("unknown") : m_exceptionMessage);
    if (failed()) {
        *why = m_reason;
        return m_kind;
    }
    if (m_exception) {
        *why = exception;
        return EndKind::Failed;
    }
    // A line script relies on the record: a run whose record is lost failed.
    if (m_recordFailed) {
        *why = QStringLiteral("record not written: %1").arg(m_recordError);
        return EndKind::Failed;
    }
    // An operator saw the boxes and may end the program at any point.
    if (!batch) {
        *why = QString::fromLatin1(DoneWord);
        return EndKind::Done;
    }
    // What went wrong first, when a run ended done or did not end at all.
    if (m_certificateFailed) {
        *why = QStringLiteral("certificate could not be made: %1").arg(m_certificateError);
        return EndKind::Failed;
    }
    if (m_boxes > 0) {
        *why = QStringLiteral("a message box was shown: %1").arg(m_firstBox);
        return EndKind::Failed;
    }
    if (!m_ended) {
        *why = QStringLiteral("the run did not reach its end");
        return EndKind::Failed;
    }
    // A line script reads the run's log: a run whose log was lost did not
    // leave what it was asked to.
    if (!m_logFileFailure.isEmpty()) {
        *why = QStringLiteral("log file lost: %1").arg(m_logFileFailure);
        return EndKind::Failed;
    }
    // Nor does a run whose capture of the traffic was lost.
    if (!m_captureFailure.isEmpty()) {
        *why = QStringLiteral("capture lost: %1").arg(m_captureFailure);
        return EndKind::Failed;
    }
    *why = QString::fromLatin1(DoneWord);
    return EndKind::Done;
}

int RunOutcome::exitStatus(bool batch) const
{
    QString why;
    return exitStatusOf(finalKind(batch, &why));
}

QString RunOutcome::endLine(bool batch) const
{
    QString why;
    const EndKind kind = finalKind(batch, &why);
    return QStringLiteral("run ended: %1 %2")
        .arg(exitStatusOf(kind))
        .arg(platform::TerminalText::escaped(why));
}

QString RunOutcome::endReason(bool batch) const
{
    QString why;
    finalKind(batch, &why);
    return platform::TerminalText::escaped(why);
}

} // namespace dialogue
