#pragma once

#include <QDateTime>
#include <QJsonObject>
#include <QList>
#include <QSet>
#include <QString>

namespace station {

// The station's counters, from the records its runs appended to the record
// file (other stations may share the file: only the records of this
// station's processes count, found by their pid, and only those after the
// file's end when the station started).
class RecordTally
{
public:
    // Remembers where the file ends now: what is there is not this station's.
    void begin(const QString &recordFile);
    // A run of this station.
    void addRun(qint64 pid) { m_pids.insert(pid); }
    // Reads what was appended since the last read; the records of this
    // station's runs that came.
    QList<QJsonObject> read();

    // A record of this run has been read.
    bool recorded(qint64 pid) const { return m_recorded.contains(pid); }

    int done() const { return m_done; }
    int failed() const { return m_failed; }
    int runs() const { return m_done + m_failed; }
    // Runs per hour: the records over the time from the first one's start
    // to the last one's end; negative before the first.
    double runsPerHour() const;

private:
    QString m_path;
    qint64 m_offset = 0;
    QByteArray m_partial; // a line not ended yet
    QSet<qint64> m_pids;
    QSet<qint64> m_recorded;
    int m_done = 0;
    int m_failed = 0;
    QDateTime m_firstStarted;
    QDateTime m_lastEnded;
};

} // namespace station
