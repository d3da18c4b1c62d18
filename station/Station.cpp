#include "station/Station.h"

#include "station/SocketRun.h"

#include <QDateTime>
#include <QDir>
#include <QProcessEnvironment>
#include <QRegularExpression>

#include <algorithm>
#include <utility>

namespace station {

qint64 Socket::elapsed() const
{
    if ((state == SocketState::Running || state == SocketState::Stopping) && clock.isValid())
        return clock.elapsed();
    return elapsedMs;
}

Station::Station(Settings settings, QObject *parent)
    : QObject(parent), m_settings(std::move(settings))
{
    m_tally.begin(m_settings.recordFile);
    m_temp = m_settings.tempRoot.isEmpty()
                 ? std::make_unique<QTemporaryDir>()
                 : std::make_unique<QTemporaryDir>(m_settings.tempRoot +
                                                   QStringLiteral("/station-XXXXXX"));
}

Station::~Station()
{
    // The runs end before the sockets they report to (each is stopped, then
    // waited for).
    m_runs.clear();
}

void Station::setSettings(const Settings &settings)
{
    const bool newRecordFile = settings.recordFile != m_settings.recordFile;
    m_settings = settings;
    if (newRecordFile)
        m_tally.begin(m_settings.recordFile);
    // A device left alone for want of its image gets it now, and the other
    // way round.
    QStringList becameReady;
    for (auto &[path, socket] : m_sockets) {
        if (socket.state != SocketState::Ready && socket.state != SocketState::LeftAlone)
            continue;
        const SocketState resting = restingState(socket);
        if (resting == socket.state)
            continue;
        socket.state = resting;
        if (resting == SocketState::Ready)
            becameReady << path;
        Q_EMIT socketChanged(path);
    }
    if (m_auto) {
        for (const QString &path : std::as_const(becameReady))
            startSocket(path);
    }
}

Socket *Station::find(const QString &path)
{
    const auto it = m_sockets.find(path);
    return it == m_sockets.end() ? nullptr : &it->second;
}

const Socket *Station::socket(const QString &path) const
{
    const auto it = m_sockets.find(path);
    return it == m_sockets.end() ? nullptr : &it->second;
}

bool Station::pathBefore(const QString &a, const QString &b)
{
    // "1-1.10" after "1-1.9": the numbers compare as numbers, the rest as text.
    static const QRegularExpression parts(QStringLiteral("(\\d+)|(\\D+)"));
    auto ia = parts.globalMatch(a);
    auto ib = parts.globalMatch(b);
    while (ia.hasNext() && ib.hasNext()) {
        const QRegularExpressionMatch ma = ia.next();
        const QRegularExpressionMatch mb = ib.next();
        const bool na = ma.capturedLength(1) > 0;
        const bool nb = mb.capturedLength(1) > 0;
        if (na && nb) {
            const qulonglong va = ma.captured(1).toULongLong();
            const qulonglong vb = mb.captured(1).toULongLong();
            if (va != vb)
                return va < vb;
            continue;
        }
        const int order = QString::compare(ma.captured(0), mb.captured(0));
        if (order != 0)
            return order < 0;
    }
    return !ia.hasNext() && ib.hasNext();
}

QStringList Station::paths() const
{
    QStringList paths;
    for (const auto &entry : m_sockets)
        paths << entry.first;
    std::sort(paths.begin(), paths.end(), &Station::pathBefore);
    return paths;
}

SocketState Station::restingState(const Socket &socket) const
{
    return m_settings.imageFor(socket.device.generation).isEmpty() ? SocketState::LeftAlone
                                                                   : SocketState::Ready;
}

// ---- Devices come and go ----------------------------------------------------------------

void Station::devicesSeen(const QList<Device> &devices)
{
    QSet<QString> seen;
    QStringList toStart;
    for (const Device &device : devices) {
        seen.insert(device.path);
        Socket *socket = find(device.path);
        if (!socket) {
            Socket &added = m_sockets[device.path];
            added.path = device.path;
            arrived(added, device);
            Q_EMIT socketAdded(device.path);
            if (m_auto && added.state == SocketState::Ready)
                toStart << device.path;
            continue;
        }
        if (!socket->present) {
            arrived(*socket, device);
            Q_EMIT socketChanged(device.path);
            if (m_auto && socket->state == SocketState::Ready)
                toStart << device.path;
            continue;
        }
        if (socket->device == device)
            continue;
        // The same socket, other descriptors: the loader's device back with
        // its firmware (a serial number now), and the like.
        socket->device = device;
        if (!device.serial.isEmpty() &&
            (socket->state == SocketState::Running || socket->state == SocketState::Stopping))
            socket->runSerials.insert(device.serial);
        Q_EMIT socketChanged(device.path);
    }
    QStringList gone;
    for (auto &[path, socket] : m_sockets) {
        if (socket.present && !seen.contains(path))
            gone << path;
    }
    for (const QString &path : std::as_const(gone)) {
        if (Socket *socket = find(path))
            left(*socket);
    }
    for (const QString &path : std::as_const(toStart))
        startSocket(path);
}

void Station::arrived(Socket &socket, const Device &device)
{
    socket.present = true;
    const bool running =
        socket.state == SocketState::Running || socket.state == SocketState::Stopping;
    socket.device = device;
    if (running) {
        // The run's device back from its restart.
        if (!device.serial.isEmpty())
            socket.runSerials.insert(device.serial);
        return;
    }
    // A device that was done and comes back with a serial number it gave
    // during its run is the same device (its restart with the new firmware
    // after the run ended): still done.
    if (socket.ran && socket.status == 0 && !device.serial.isEmpty() &&
        socket.runSerials.contains(device.serial)) {
        socket.state = SocketState::Done;
        return;
    }
    // The next device: the last one's result goes.
    socket.ran = false;
    socket.stage.clear();
    socket.firmwareBefore.clear();
    socket.firmwareAfter.clear();
    socket.bytes = socket.of = 0;
    socket.elapsedMs = 0;
    socket.status = -1;
    socket.reason.clear();
    socket.logFile.clear();
    socket.record = QJsonObject();
    socket.pid = 0;
    socket.runSerials.clear();
    socket.state = restingState(socket);
}

void Station::left(Socket &socket)
{
    socket.present = false;
    const QString path = socket.path;
    switch (socket.state) {
    case SocketState::Running:
    case SocketState::Stopping:
        // Its restart, or it was pulled: the run says which.
        break;
    case SocketState::Done:
        // Done stays green until the device leaves.
        socket.state = SocketState::Waiting;
        break;
    case SocketState::Failed:
        // The row says why until the next device comes.
        break;
    case SocketState::Waiting:
    case SocketState::Ready:
    case SocketState::LeftAlone:
        if (!socket.ran) {
            m_sockets.erase(path);
            Q_EMIT socketRemoved(path);
            return;
        }
        socket.state = SocketState::Waiting;
        break;
    }
    Q_EMIT socketChanged(path);
}

// ---- Runs --------------------------------------------------------------------------------

int Station::start()
{
    int started = 0;
    for (const QString &path : paths()) {
        const Socket *socket = this->socket(path);
        if (!socket || !socket->present)
            continue;
        if (socket->state != SocketState::Ready && socket->state != SocketState::Failed)
            continue;
        if (startSocket(path))
            ++started;
    }
    return started;
}

void Station::setAuto(bool on)
{
    m_auto = on;
    if (!on)
        return;
    // The devices waiting in their sockets are plugged in already.
    for (const QString &path : paths()) {
        const Socket *socket = this->socket(path);
        if (socket && socket->present && socket->state == SocketState::Ready)
            startSocket(path);
    }
}

void Station::stop()
{
    for (auto &[path, run] : m_runs) {
        Socket *socket = find(path);
        if (!socket || socket->state != SocketState::Running)
            continue;
        socket->state = SocketState::Stopping;
        run->stop();
        Q_EMIT socketChanged(path);
    }
}

int Station::runsGoing() const
{
    return int(m_runs.size());
}

QString Station::newLogFile(const QString &path) const
{
    QDir().mkpath(m_settings.logFolder);
    const QString time =
        QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss-zzz"));
    return QDir(m_settings.logFolder).filePath(logFileName(path, time));
}

QString Station::tempFolderFor(const QString &path)
{
    const QString folder =
        QDir(m_temp->path()).filePath(logFileName(path, QStringLiteral("tmp")).chopped(4));
    QDir().mkpath(folder);
    return folder;
}

bool Station::startSocket(const QString &path)
{
    Socket *socket = find(path);
    if (!socket || !socket->present || m_runs.count(path))
        return false;
    const QString image = m_settings.imageFor(socket->device.generation);
    if (image.isEmpty()) {
        if (socket->state != SocketState::LeftAlone) {
            socket->state = SocketState::LeftAlone;
            Q_EMIT socketChanged(path);
        }
        return false;
    }

    socket->ran = true;
    socket->state = SocketState::Running;
    socket->stage = QStringLiteral("starting");
    socket->firmwareBefore = socket->device.firmware;
    socket->firmwareAfter.clear();
    socket->bytes = socket->of = 0;
    socket->status = -1;
    socket->reason.clear();
    socket->record = QJsonObject();
    socket->runSerials.clear();
    if (!socket->device.serial.isEmpty())
        socket->runSerials.insert(socket->device.serial);
    socket->logFile = newLogFile(path);
    socket->clock.start();

    QStringList command = m_settings.launcher;
    command << m_settings.program << runArguments(m_settings, path, image, socket->logFile);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    // No window of a run ever shows: it runs headless whatever the display.
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    // An installer leaves its image under the generation's name in $TMPDIR:
    // each run has its own.
    environment.insert(QStringLiteral("TMPDIR"), tempFolderFor(path));

    auto run = std::make_unique<SocketRun>(command, environment);
    SocketRun *started = run.get();
    connect(started, &SocketRun::eventSaid, this,
            [this, path](const RunEvent &event) { runEvent(path, event); });
    // Queued: a run that cannot start says so from inside its start.
    connect(
        started, &SocketRun::finished, this,
        [this, path](int exitStatus, bool crashed, const QString &why) {
            runFinished(path, exitStatus, crashed, why);
        },
        Qt::QueuedConnection);
    m_runs[path] = std::move(run);
    started->start();
    socket->pid = started->processId();
    if (socket->pid > 0)
        m_tally.addRun(socket->pid);
    Q_EMIT socketChanged(path);
    return true;
}

void Station::runEvent(const QString &path, const RunEvent &event)
{
    Socket *socket = find(path);
    if (!socket)
        return;
    switch (event.kind) {
    case RunEvent::Kind::State:
        // The end says done or failed, and the process's end makes it so.
        if (event.state == QLatin1String("done") || event.state == QLatin1String("failed"))
            return;
        socket->stage = event.state;
        break;
    case RunEvent::Kind::Progress:
        socket->bytes = event.bytes;
        socket->of = event.of;
        break;
    case RunEvent::Kind::End: {
        socket->status = event.status;
        socket->reason = event.reason;
        socket->record = event.record;
        const QJsonValue before = event.record.value(QStringLiteral("firmwareBefore"));
        if (before.isString())
            socket->firmwareBefore = before.toString();
        const QJsonValue after = event.record.value(QStringLiteral("firmwareAfter"));
        socket->firmwareAfter = after.isString() ? after.toString() : QString();
        const QJsonValue taken = event.record.value(QStringLiteral("bytesTaken"));
        const QJsonValue size = event.record.value(QStringLiteral("imageSize"));
        if (taken.isDouble())
            socket->bytes = qint64(taken.toDouble());
        if (size.isDouble())
            socket->of = qint64(size.toDouble());
        break;
    }
    }
    Q_EMIT socketChanged(path);
}

void Station::runFinished(const QString &path, int exitStatus, bool crashed, const QString &why)
{
    const auto it = m_runs.find(path);
    if (it == m_runs.end())
        return;
    std::unique_ptr<SocketRun> run = std::move(it->second);
    m_runs.erase(it);
    Socket *socket = find(path);
    if (socket) {
        if (socket->record.isEmpty()) {
            // No end came: the process's end is all there is.
            socket->status = crashed ? -1 : exitStatus;
            socket->reason = !why.isEmpty() ? why : run->lastErrorLine();
        } else if (!crashed && exitStatus != socket->status) {
            // The exit status has the last word.
            socket->status = exitStatus;
        }
        socket->state = socket->status == 0 ? SocketState::Done : SocketState::Failed;
        socket->elapsedMs = socket->clock.isValid() ? socket->clock.elapsed() : 0;
        socket->stage.clear();
    }
    // The record is on the disk before the process ends.
    m_tally.read();
    if (socket && !m_tally.recorded(socket->pid))
        ++m_unrecorded;
    run.release()->deleteLater();
    if (socket)
        Q_EMIT socketChanged(path);
    Q_EMIT runEnded(path);
    Q_EMIT countersChanged();
    if (m_runs.empty())
        Q_EMIT idle();
}

// ---- What the rows say ------------------------------------------------------------------

QString Station::stateText(const Socket &socket)
{
    switch (socket.state) {
    case SocketState::Waiting:
        return QStringLiteral("waiting for a device");
    case SocketState::Ready:
        return QStringLiteral("ready");
    case SocketState::LeftAlone:
        return QStringLiteral("left alone: no image for %1").arg(socket.device.generation);
    case SocketState::Running:
        return socket.stage;
    case SocketState::Stopping:
        return QStringLiteral("stopping (") + socket.stage + QLatin1Char(')');
    case SocketState::Done:
        return QStringLiteral("done");
    case SocketState::Failed:
        return socket.present ? QStringLiteral("failed")
                              : QStringLiteral("failed (the device is gone)");
    }
    return QString();
}

QString Station::firmwareText(const Socket &socket)
{
    const QString before =
        socket.firmwareBefore.isEmpty() ? socket.device.firmware : socket.firmwareBefore;
    if (!socket.ran)
        return before;
    if (socket.state == SocketState::Running || socket.state == SocketState::Stopping)
        return before + QStringLiteral(" -> ...");
    return before + QStringLiteral(" -> ") +
           (socket.firmwareAfter.isEmpty() ? QStringLiteral("?") : socket.firmwareAfter);
}

QString Station::resultText(const Socket &socket)
{
    if (!socket.ran || socket.state == SocketState::Running ||
        socket.state == SocketState::Stopping)
        return QString();
    if (socket.status < 0)
        return socket.reason;
    return QStringLiteral("%1 %2").arg(socket.status).arg(socket.reason);
}

} // namespace station
