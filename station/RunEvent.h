#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>

#include <optional>

namespace station {

// One line of a run's event stream (vemotool --events=-, see
// docs/events.md): a state, the bytes the device took, or the end with the
// run's record.
struct RunEvent
{
    enum class Kind
    {
        State,    // {"event":"state","state":"transferring"}
        Progress, // {"event":"progress","bytes":2048,"of":8000}
        End,      // {"event":"end","status":0,"reason":"done",...the record}
    };

    Kind kind = Kind::State;
    QString state;
    qint64 bytes = 0;
    qint64 of = 0;
    int status = -1;
    QString reason;
    // The end's fields: the run's record.
    QJsonObject record;

    // The event of one line; nothing for a line that is none (not JSON, no
    // known "event", a field missing or of the wrong type): a newer program
    // may say more than this one reads.
    static std::optional<RunEvent> parse(const QByteArray &line);
};

} // namespace station
