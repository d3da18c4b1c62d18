#pragma once

#include "app/ProgramOptions.h"
#include "dialogue/RunFacts.h"
#include "platform/AppendFile.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <atomic>

class RunEvents;

// The record of one run (--record=FILE): when the run ends, however it
// ends, one JSON object on one line is appended to FILE. It says when the
// run started and ended, on which host and with which version of the
// program, what it ran, on which device (its generation, serial number and
// bus path, its firmware before and, with --verify, after), with which
// image (path, size, SHA-256) and how much of it the device took, the
// calibration reply and the certificate file of a /CALIBRATE run, and the
// exit status with the reason the run's last line gives. What the run did
// not learn is null.
//
// The file is opened when the program starts, before any device is looked
// at, and shared by every instance of a production station: each record is
// one write on the file opened for appending, then synced
// (platform::AppendFile), so records of instances ending at once neither
// mix nor get lost.
class RunRecord
{
public:
    // The run starts now.
    explicit RunRecord(const ProgramOptions &options);

    // --record was given.
    bool wanted() const { return !m_path.isEmpty(); }
    // Opens the file; false with the reason.
    bool open(QString *error);

    // What is known of the run's facts: all it noted, or (a run ended from
    // outside its loop, or whose window an exception took) nothing: then
    // not even that no transfer started.
    enum class Facts
    {
        Known,
        Lost,
    };

    // The record of the run, ended at ended, as one line ending in "\n".
    QByteArray line(const dialogue::RunFacts &facts, int status, const QString &reason,
                    const QDateTime &ended, Facts known = Facts::Known) const;
    // Appends the record, once: only the first call of a run writes (from
    // any thread: the run's watchdog ends a blocked run with it). True when
    // there is nothing to write or it was written whole; else false with
    // the reason.
    bool write(const dialogue::RunFacts &facts, int status, const QString &reason, QString *error,
               Facts known = Facts::Known);

    // "2026-12-11T03:50:27.123+01:00": local time with its offset from UTC.
    static QString timeText(const QDateTime &time);

    // The run's event stream (--events): its end event carries the record,
    // said as the record is written (after it), also without a record file.
    void setEvents(RunEvents *events) { m_events = events; }
    RunEvents *events() const { return m_events; }
    // Someone takes the run's end: the record file or the event stream.
    bool takesTheEnd() const { return wanted() || m_events; }

private:
    QString m_path;
    QDateTime m_started;
    QString m_host;
    QStringList m_arguments; // after the program path
    QString m_device;
    platform::AppendFile m_file;
    std::atomic<bool> m_written{false};
    RunEvents *m_events = nullptr;
};
