#pragma once

#include <QByteArray>
#include <QFile>
#include <QJsonObject>
#include <QString>

#include <mutex>

namespace dialogue {
class DeviceDialogue;
}

// The run's event stream (--events=FILE, "-" for standard output): what
// happens in the run as it happens, for a station or any script to follow,
// as JSON Lines, one object per line, each written in one piece:
//
//   {"event":"state","state":"transferring"}
//   {"event":"progress","bytes":2048,"of":8000}
//   {"event":"end","status":0,"reason":"done",...}
//
// The states are "starting" (the process began), the update's own
// (dialogue::UpdateFlow::stateName: "asking the loader", "device away",
// "loader open", "running the installer", "transferring", "verifying", ...),
// "printing the certificate" while a calibration reply's certificate is
// made, and last "done" or "failed". Progress counts the bytes the device has
// taken of the image; it is said when the whole percentage changes, and at
// the end. The end carries every field of the run's record (run-records.md)
// and comes once, when the record is written (RunRecord), also when no
// record file is kept.
//
// A stream that cannot be written (the reader went away) is said once on
// standard error and then left; the run goes on, its status unchanged: the
// record and the log are the run's outputs, the stream is a view of them.
class RunEvents
{
public:
    RunEvents() = default;
    RunEvents(const RunEvents &) = delete;
    RunEvents &operator=(const RunEvents &) = delete;

    // Opens the stream: "-" is standard output, a FILE is appended to (a
    // regular file: a FIFO, a device or a folder is refused). False with why.
    bool open(const QString &target, QString *error);
    bool isOpen() const { return m_file.isOpen(); }

    // Follows the run of dialogue: its update's states, the bytes of its
    // transfer, its certificate. Once the dialogue goes, unwatch it.
    void watch(dialogue::DeviceDialogue &dialogue);
    void unwatch(dialogue::DeviceDialogue &dialogue);

    void state(const QString &name);
    // The bytes the device took of the image so far, of its size.
    void progress(qint64 bytes, qint64 of);
    // The run's end: its record (one JSON object, as RunRecord writes it).
    // When the record could not be written (recordError), a run that was
    // done failed (status 1, "record not written: ..."), as its exit status
    // says. May come from another thread (the run's watchdog).
    void ended(const QByteArray &record, const QString &recordError);

    // The lines, as they are written.
    static QByteArray stateLine(const QString &name);
    static QByteArray progressLine(qint64 bytes, qint64 of);
    static QByteArray endLine(QJsonObject record);

    // The state before anything else of the run.
    static constexpr const char *Starting = "starting";
    static constexpr const char *PrintingCertificate = "printing the certificate";
    static constexpr const char *Done = "done";
    static constexpr const char *Failed = "failed";

private:
    // The end may come from the watchdog's thread, and is the last line.
    enum class Line
    {
        Event,
        End,
    };
    // One write of the whole line; a failed write ends the stream.
    void write(const QByteArray &line, Line kind = Line::Event);

    std::timed_mutex m_lock;
    QFile m_file;
    QString m_target;
    bool m_failed = false;
    bool m_ended = false;
    // The last percentage said, so that a big image says a hundred lines.
    int m_lastPercent = -1;
    qint64 m_lastBytes = -1;
    // The update's state as last said, to go back to after the certificate.
    QString m_flowState = QString::fromLatin1(Starting);
};
