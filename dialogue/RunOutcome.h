#pragma once

#include "dialogue/EndKind.h"

#include <QString>

namespace dialogue {

// How a run went, recorded in one place: every end the window was asked for
// (its kind, and in a few words why), the message boxes an unattended run
// showed, a certificate that could not be made, an exception that reached
// the application, the time-out. The exit status and the line that names it
// are decided here.
class RunOutcome
{
public:
    // The program was asked to end. A failed end stays failed whatever ends
    // follow; the kind and reason kept are the first failed end's, else the
    // first end's.
    void recordEnd(EndKind kind, const QString &reason);
    void recordCertificateFailure(const QString &error = QString());
    void recordTimeOut(int seconds);
    // A box of an unattended run, as its line ("Error: No Vemo found").
    void recordBox(const QString &line);
    // An exception that reached the application (its display was shown).
    void recordException(const QString &message);
    // The run's record (--record) could not be written whole.
    void recordRecordFailure(const QString &error);
    // The copy of the message log (--log-file) could not be kept.
    void recordLogFileFailure(const QString &why);
    // The capture of the USB traffic (--capture) could not be kept.
    void recordCaptureFailure(const QString &why);

    bool ended() const { return m_ended; }
    bool failed() const { return m_ended && m_kind != EndKind::Done; }
    EndKind kind() const { return m_kind; }
    bool certificateFailed() const { return m_certificateFailed; }
    bool timedOut() const { return m_timedOut; }
    bool logFileFailed() const { return !m_logFileFailure.isEmpty(); }
    bool captureFailed() const { return !m_captureFailure.isEmpty(); }
    QString reason() const { return m_reason; }

    // The process's exit status. Without --batch the time-out, a failed end
    // of a production run and an exception count (an operator saw the boxes
    // and may end the program at any point); with it the run must have
    // reached its end without a failure, a box, an exception or a
    // certificate that could not be made, and with its log file kept.
    int exitStatus(bool batch) const;
    // The kind the exit status stands for, and why, as one line:
    // "run ended: 0 done", "run ended: 3 time-out after 60 s", ... The
    // reason's control characters (from a value the run was given, or a
    // device's text) are escaped: the line stays one line.
    QString endLine(bool batch) const;
    // Why, as the end line gives it.
    QString endReason(bool batch) const;

    // The word the end line gives a run that reached its end.
    static constexpr const char *DoneWord = "done";

private:
    // The kind the status is made of, and its reason.
    EndKind finalKind(bool batch, QString *why) const;

    bool m_ended = false;
    EndKind m_kind = EndKind::Done;
    QString m_reason;
    bool m_certificateFailed = false;
    QString m_certificateError;
    bool m_timedOut = false;
    int m_timeOutSeconds = 0;
    int m_boxes = 0;
    QString m_firstBox;
    bool m_exception = false;
    QString m_exceptionMessage;
    bool m_recordFailed = false;
    QString m_recordError;
    QString m_logFileFailure;
    QString m_captureFailure;
};

} // namespace dialogue
