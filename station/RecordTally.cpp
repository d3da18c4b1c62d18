#include "station/RecordTally.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>

#include <algorithm>

namespace station {

void RecordTally::begin(const QString &recordFile)
{
    m_path = recordFile;
    m_offset = QFileInfo(recordFile).size();
    m_partial.clear();
}

QList<QJsonObject> RecordTally::read()
{
    QList<QJsonObject> records;
    QFile file(m_path);
    if (m_path.isEmpty() || !file.open(QIODevice::ReadOnly))
        return records;
    // A file that got shorter was replaced: read the new one from its start.
    if (file.size() < m_offset)
        m_offset = 0;
    if (!file.seek(m_offset))
        return records;
    const QByteArray more = file.readAll();
    m_offset += more.size();
    m_partial += more;
    for (;;) {
        const qsizetype end = m_partial.indexOf('\n');
        if (end < 0)
            break;
        const QByteArray line = m_partial.left(end);
        m_partial.remove(0, end + 1);
        const QJsonObject record = QJsonDocument::fromJson(line).object();
        const qint64 pid = record.value(QStringLiteral("pid")).toInteger(-1);
        if (!m_pids.contains(pid))
            continue;
        m_recorded.insert(pid);
        (record.value(QStringLiteral("status")).toInt(-1) == 0 ? m_done : m_failed) += 1;
        const QDateTime started = QDateTime::fromString(
            record.value(QStringLiteral("started")).toString(), Qt::ISODateWithMs);
        const QDateTime ended = QDateTime::fromString(
            record.value(QStringLiteral("ended")).toString(), Qt::ISODateWithMs);
        if (started.isValid() && (!m_firstStarted.isValid() || started < m_firstStarted))
            m_firstStarted = started;
        if (ended.isValid() && (!m_lastEnded.isValid() || ended > m_lastEnded))
            m_lastEnded = ended;
        records.append(record);
    }
    return records;
}

double RecordTally::runsPerHour() const
{
    if (runs() == 0 || !m_firstStarted.isValid() || !m_lastEnded.isValid())
        return -1;
    // At least a second: a run that took no time gives no rate of millions.
    const double seconds = std::max<double>(1.0, m_firstStarted.msecsTo(m_lastEnded) / 1000.0);
    return runs() * 3600.0 / seconds;
}

} // namespace station
