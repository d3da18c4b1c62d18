#pragma once

#include "station/RunEvent.h"

#include <QByteArray>
#include <QObject>
#include <QProcess>
#include <QString>
#include <QStringList>

namespace station {

// One socket's run: its own vemotool process (--batch --events=- ...), so
// that one device's fault, installer or blocking wait never holds another.
// Its event stream on standard output becomes events; its standard error
// (the boxes and the last line) is kept for a run that ends without an end
// event.
class SocketRun : public QObject
{
    Q_OBJECT
public:
    // command: the program and its arguments; environment: the child's.
    SocketRun(const QStringList &command, const QProcessEnvironment &environment,
              QObject *parent = nullptr);
    ~SocketRun() override;

    void start();
    // SIGTERM: the run ends as a signal ends it (during the transfer after
    // the chunk in flight, saying how far the image got).
    void stop();
    bool running() const { return m_process.state() != QProcess::NotRunning; }
    qint64 processId() const { return m_pid; }
    // The last line the run wrote on standard error ("run ended: 5 ...").
    QString lastErrorLine() const;

    // Waits for the end at most this long when the run is destroyed while it
    // goes (it is stopped first, then killed).
    static constexpr int EndWaitMs = 10000;

Q_SIGNALS:
    // A line of the run's event stream.
    void eventSaid(const station::RunEvent &event);
    // The process ended: its exit status, or crashed (a signal ended it, or
    // it never started: the reason then says why).
    void finished(int exitStatus, bool crashed, const QString &why);

private:
    void readEvents();
    void readErrors();

    QProcess m_process;
    QStringList m_command;
    QByteArray m_pending;
    QByteArray m_errors; // the last part of standard error
    qint64 m_pid = 0;
    bool m_reported = false;
};

} // namespace station
