#include "station/HeadlessStation.h"

#include "station/Station.h"

#include <QJsonValue>

#include <utility>

namespace station {

HeadlessStation::HeadlessStation(Station &station, bool autoStart,
                                 std::function<void(const QString &)> say, QObject *parent)
    : QObject(parent), m_station(station), m_auto(autoStart), m_say(std::move(say))
{
    connect(&m_station, &Station::socketAdded, this, &HeadlessStation::socketSeen);
    connect(&m_station, &Station::socketChanged, this, &HeadlessStation::socketSeen);
    connect(&m_station, &Station::socketRemoved, this,
            [this](const QString &path) { m_saidLeftAlone.remove(path); });
    connect(&m_station, &Station::runEnded, this, &HeadlessStation::runEnded);
}

void HeadlessStation::begin()
{
    m_begun = true;
    m_clock.start();
    for (const QString &path : m_station.paths())
        sayIfLeftAlone(path);
    if (m_auto)
        m_station.setAuto(true);
    else
        m_station.start();
    finishIfIdle();
}

void HeadlessStation::interrupt(const QString &signalName)
{
    if (m_finished)
        return;
    m_interrupted = true;
    m_say(QStringLiteral("station: interrupted by %1; the runs under way end").arg(signalName));
    m_station.setAuto(false);
    m_station.stop();
    finishIfIdle();
}

void HeadlessStation::socketSeen(const QString &path)
{
    // Once over, only the devices attached at the start count.
    if (m_auto && m_begun && !m_interrupted)
        sayIfLeftAlone(path);
}

void HeadlessStation::sayIfLeftAlone(const QString &path)
{
    const Socket *socket = m_station.socket(path);
    if (!socket)
        return;
    if (socket->state != SocketState::LeftAlone) {
        m_saidLeftAlone.remove(path);
        return;
    }
    // Once per device: a socket stays left alone until its device goes.
    if (m_saidLeftAlone.contains(path))
        return;
    m_saidLeftAlone.insert(path);
    ++m_leftAlone;
    m_say(line(*socket));
}

void HeadlessStation::runEnded(const QString &path)
{
    if (const Socket *socket = m_station.socket(path)) {
        (socket->status == 0 ? m_done : m_failed) += 1;
        m_say(line(*socket));
    }
    finishIfIdle();
}

void HeadlessStation::finishIfIdle()
{
    if (m_finished || !m_begun || m_station.runsGoing() > 0)
        return;
    // With auto on the station waits for the next device, until interrupted.
    if (m_auto && !m_interrupted)
        return;
    m_finished = true;
    m_say(QStringLiteral("station: %1 done, %2 failed, %3 left alone (%4 runs in %5 s)")
              .arg(m_done)
              .arg(m_failed)
              .arg(m_leftAlone)
              .arg(m_done + m_failed)
              .arg(QString::number(m_clock.elapsed() / 1000.0, 'f', 1)));
    if (m_done + m_failed + m_leftAlone == 0)
        m_say(QStringLiteral("station: no device to update"));
    Q_EMIT finished(exitStatus());
}

int HeadlessStation::exitStatus() const
{
    if (m_done + m_failed + m_leftAlone == 0)
        return NoDeviceStatus;
    return m_failed == 0 && m_leftAlone == 0 ? 0 : 1;
}

QString HeadlessStation::line(const Socket &socket)
{
    const QString serial =
        socket.device.serial.isEmpty() ? QStringLiteral("-") : socket.device.serial;
    const QString head = socket.path.leftJustified(10) + QLatin1Char(' ') +
                         socket.device.generation.leftJustified(6) + QLatin1Char(' ') +
                         serial.leftJustified(10) + QLatin1Char(' ');
    if (socket.state == SocketState::LeftAlone)
        return head + QStringLiteral("LEFT ALONE: no image given for ") + socket.device.generation;
    const QJsonValue taken = socket.record.value(QStringLiteral("bytesTaken"));
    const QString sha = socket.record.value(QStringLiteral("imageSha256")).toString();
    const QString word = socket.status == 0 ? QStringLiteral("done") : QStringLiteral("FAILED");
    return head + word.leftJustified(6) + QLatin1Char(' ') + Station::firmwareText(socket) +
           QStringLiteral("  %1 bytes  ")
               .arg(taken.isDouble() ? QString::number(qint64(taken.toDouble()))
                                     : QStringLiteral("?")) +
           (sha.isEmpty() ? QStringLiteral("?") : sha.left(16)) + QStringLiteral("  ") +
           Station::resultText(socket);
}

} // namespace station
