#pragma once

#include <QString>

// How a run went, recorded in one place: every end the window was asked for
// (done or failed, and in a few words why), a certificate that could not be
// made, the time-out. The exit status is decided here, from this record and
// the boxes an unattended run showed.
class RunOutcome
{
public:
    // The program was asked to end. A failed end stays failed whatever ends
    // follow; the reason kept is the first failed end's, else the first end's.
    void recordEnd(bool failed, const QString &reason);
    void recordCertificateFailure() { m_certificateFailed = true; }
    void recordTimeOut() { m_timedOut = true; }

    bool ended() const { return m_ended; }
    bool failed() const { return m_failed; }
    bool certificateFailed() const { return m_certificateFailed; }
    bool timedOut() const { return m_timedOut; }
    QString reason() const { return m_reason; }

    // The process's exit status. Without --batch only the time-out counts;
    // with it the run must have reached its end without a failure, a box or
    // a certificate that could not be made.
    int exitStatus(bool batch, int boxesShown) const;

private:
    bool m_ended = false;
    bool m_failed = false;
    bool m_certificateFailed = false;
    bool m_timedOut = false;
    QString m_reason;
};
