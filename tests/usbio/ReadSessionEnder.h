#pragma once

#include "usbio/Component.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>

// A reader's handler as the link has it after a read error: it takes the
// read every ReadComplete announces and, at the first, ends the reading
// session. The completions of the reads that were dropped with the session
// must never come.
class ReadSessionEnder : public QObject
{
    Q_OBJECT
public:
    // Column "end", how the session ends: "stop" (StopReading, then
    // StartReading(16, 5, 5)), "reset" (ResetPipe) or "abort" (AbortPipe).
    static void addRows();

    ReadSessionEnder(usbio::Component *reader, const QString &end, QObject *parent = nullptr);

    // Of every ReadData, in order: its status and the bytes it gave.
    QList<usbio::Status> statuses;
    QList<QByteArray> data;
    bool ended = false;
    // The first refusal of the calls that ended the session; 0 when none.
    usbio::Status endStatus = 0;

private:
    void onEvent(usbio::EventId id);
    void endSession();

    usbio::Component *m_reader;
    QString m_end;
};
