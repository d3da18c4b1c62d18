#pragma once

#include "station/DeviceWatch.h"
#include "station/RecordTally.h"
#include "station/RunEvent.h"
#include "station/Settings.h"

#include <QElapsedTimer>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QSet>
#include <QString>
#include <QTemporaryDir>

#include <map>
#include <memory>

namespace station {

class SocketRun;

// Where a socket stands.
enum class SocketState
{
    Waiting,   // no device (its last run's result is still shown)
    Ready,     // a device with an image for its generation, not running
    LeftAlone, // a device of a generation without an image
    Running,   // its run goes (the run's own state says where)
    Stopping,  // asked to stop: the run ends after its chunk in flight
    Done,      // the last run was done (status 0)
    Failed,    // the last run failed (any other status)
};

// One socket (a bus path) and what happened there.
struct Socket
{
    QString path;
    bool present = false;
    // The device there now, or the last one.
    Device device;
    SocketState state = SocketState::Waiting;
    // The run's own state ("transferring"), while it runs.
    QString stage;
    // The last run: the firmware before and after ("?" until known), the
    // bytes the device took of the image, its time, its end.
    QString firmwareBefore;
    QString firmwareAfter;
    qint64 bytes = 0;
    qint64 of = 0;
    bool ran = false;
    QElapsedTimer clock;
    qint64 elapsedMs = 0;
    int status = -1;
    QString reason;
    QString logFile;
    QJsonObject record;
    qint64 pid = 0;
    // The serial numbers the device gave while its run went (none from a
    // loader): a device that comes back with one of them after the run is
    // the same device back (its restart), not the next one.
    QSet<QString> runSerials;

    // How long the run has taken, or took.
    qint64 elapsed() const;
};

// The production station: one socket per bus path, kept current by the
// devices the watch reports; each socket's run is its own process
// (SocketRun). Start runs every socket that is ready (or failed with its
// device still there); with auto on, a device that arrives is started by
// itself; Stop ends the runs as SIGTERM does. A device that is done stays
// done until it leaves; a failed one stays failed until the next device
// comes, so its row says why. The counters come from the records the runs
// appended (RecordTally).
class Station : public QObject
{
    Q_OBJECT
public:
    explicit Station(Settings settings, QObject *parent = nullptr);
    ~Station() override;

    const Settings &settings() const { return m_settings; }
    // Changes apply to the runs started from now on; a socket left alone
    // for want of an image becomes ready when its image comes.
    void setSettings(const Settings &settings);

    // The devices on the bus now: sockets come, change and go.
    void devicesSeen(const QList<Device> &devices);

    // The sockets, in the order of their bus paths.
    QStringList paths() const;
    const Socket *socket(const QString &path) const;
    // The state as the window and the headless station say it:
    // "waiting for a device", "ready", "left alone: no image for Vemo3",
    // the run's own ("transferring"), "stopping", "done", "failed".
    static QString stateText(const Socket &socket);
    // "2.10 -> 2.11", "2.10 -> ?", "2.10".
    static QString firmwareText(const Socket &socket);
    // "0 done", "5 transfer failed: ...", empty before an end.
    static QString resultText(const Socket &socket);

    // Starts every ready socket, and every failed one whose device is
    // still there; the number started.
    int start();
    bool startSocket(const QString &path);
    void setAuto(bool on);
    bool autoStart() const { return m_auto; }
    // Every run under way ends as SIGTERM ends it.
    void stop();
    int runsGoing() const;

    const RecordTally &tally() const { return m_tally; }
    // Runs that ended without a record (killed): they count as failed.
    int unrecorded() const { return m_unrecorded; }
    int doneCount() const { return m_tally.done(); }
    int failedCount() const { return m_tally.failed() + m_unrecorded; }

    // Splits a path into its numbers for the order of the sockets ("1-1.10"
    // after "1-1.9").
    static bool pathBefore(const QString &a, const QString &b);

Q_SIGNALS:
    void socketAdded(const QString &path);
    void socketChanged(const QString &path);
    void socketRemoved(const QString &path);
    // A run ended (after its socket changed): its process is gone, its
    // record (if it left one) is read.
    void runEnded(const QString &path);
    void countersChanged();
    // The last run under way ended.
    void idle();

private:
    Socket *find(const QString &path);
    // Ready or left alone, as the images are.
    SocketState restingState(const Socket &socket) const;
    void arrived(Socket &socket, const Device &device);
    void left(Socket &socket);
    void runEvent(const QString &path, const RunEvent &event);
    void runFinished(const QString &path, int exitStatus, bool crashed, const QString &why);
    QString newLogFile(const QString &path) const;
    QString tempFolderFor(const QString &path);

    Settings m_settings;
    bool m_auto = false;
    std::map<QString, Socket> m_sockets;
    std::map<QString, std::unique_ptr<SocketRun>> m_runs;
    RecordTally m_tally;
    int m_unrecorded = 0;
    std::unique_ptr<QTemporaryDir> m_temp;
};

} // namespace station
