#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QSet>
#include <QString>

#include <functional>

namespace station {

class Station;
struct Socket;

// The station without a window (--station --batch): every device attached
// when it starts is updated once, each by its own run; one line per device
// as its run ends (and one for each device left alone), then a summary.
// With auto on it goes on, updating every device that is plugged in, until
// it is interrupted; an interruption ends the runs under way as SIGTERM
// does. Its exit status is 0 only when every device was done.
class HeadlessStation : public QObject
{
    Q_OBJECT
public:
    // say: where the lines go (standard output).
    HeadlessStation(Station &station, bool autoStart, std::function<void(const QString &)> say,
                    QObject *parent = nullptr);

    // Starts the runs of the devices the station holds now.
    void begin();
    // SIGTERM, SIGINT: no run starts any more; those under way end (after
    // their chunk in flight), then the summary.
    void interrupt(const QString &signalName);

    // The line of a socket whose run ended, or that was left alone:
    //   1-1.2   Vemo2  200000001  done    2.10 -> 2.11  5000 bytes  9f2c0c1d6a4e7b3a  0 done
    static QString line(const Socket &socket);

    int done() const { return m_done; }
    int failed() const { return m_failed; }
    int leftAlone() const { return m_leftAlone; }
    // 0 when every device was done; 4 when there was none to update; else 1.
    int exitStatus() const;

    static constexpr int NoDeviceStatus = 4;

Q_SIGNALS:
    // The summary is said: the program may end with status.
    void finished(int status);

private:
    void socketSeen(const QString &path);
    // A line for a device left alone, once per device.
    void sayIfLeftAlone(const QString &path);
    void runEnded(const QString &path);
    void finishIfIdle();

    Station &m_station;
    bool m_auto;
    std::function<void(const QString &)> m_say;
    bool m_begun = false;
    bool m_interrupted = false;
    bool m_finished = false;
    QSet<QString> m_saidLeftAlone;
    int m_done = 0;
    int m_failed = 0;
    int m_leftAlone = 0;
    QElapsedTimer m_clock;
};

} // namespace station
