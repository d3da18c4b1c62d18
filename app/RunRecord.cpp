#include "app/RunRecord.h"

#include "app/RunEvents.h"
#include "dialogue/DeviceText.h"
#include "dialogue/ProductionCommandLine.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSysInfo>

#include <optional>

namespace {

using dialogue::ProductionCommandLine;

template <typename T> QJsonValue orNull(const std::optional<T> &value)
{
    return value ? QJsonValue(*value) : QJsonValue(QJsonValue::Null);
}

QJsonValue orNull(const QString &text)
{
    return text.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(text);
}

QString runKind(const ProductionCommandLine &line)
{
    switch (line.run) {
    case ProductionCommandLine::Run::None:
        return QStringLiteral("none");
    case ProductionCommandLine::Run::Serial:
        return QStringLiteral("serial");
    case ProductionCommandLine::Run::Update:
        break;
    }
    return line.calibrate ? QStringLiteral("calibrated-update") : QStringLiteral("update");
}

} // namespace

RunRecord::RunRecord(const ProgramOptions &options)
    : m_path(options.recordFile), m_started(QDateTime::currentDateTime()),
      m_host(QSysInfo::machineHostName()), m_arguments(options.programArguments.mid(1)),
      m_device(options.device)
{}

bool RunRecord::open(QString *error)
{
    return m_file.open(m_path, error);
}

QString RunRecord::timeText(const QDateTime &time)
{
    const QDateTime local = time.toLocalTime();
    const int offset = local.offsetFromUtc();
    const int minutes = qAbs(offset) / 60;
    return local.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzz")) +
           QStringLiteral("%1%2:%3")
               .arg(offset < 0 ? QLatin1Char('-') : QLatin1Char('+'))
               .arg(minutes / 60, 2, 10, QLatin1Char('0'))
               .arg(minutes % 60, 2, 10, QLatin1Char('0'));
}

QByteArray RunRecord::line(const dialogue::RunFacts &facts, int status, const QString &reason,
                           const QDateTime &ended, Facts known) const
{
    const ProductionCommandLine run = ProductionCommandLine::parse(m_arguments);
    const bool update = run.run == ProductionCommandLine::Run::Update;

    QJsonObject record;
    record.insert(QStringLiteral("started"), timeText(m_started));
    record.insert(QStringLiteral("ended"), timeText(ended));
    record.insert(QStringLiteral("host"), orNull(m_host));
    record.insert(QStringLiteral("pid"), qint64(QCoreApplication::applicationPid()));
    record.insert(QStringLiteral("version"), QStringLiteral(VEMO_VERSION));
    record.insert(QStringLiteral("run"), runKind(run));
    record.insert(QStringLiteral("device"), orNull(m_device));
    record.insert(QStringLiteral("generation"), orNull(facts.generation()));
    record.insert(QStringLiteral("serial"), orNull(facts.serialNumber()));
    record.insert(QStringLiteral("path"), orNull(facts.busPath()));
    record.insert(QStringLiteral("firmwareBefore"), orNull(facts.firmwareBefore()));
    record.insert(QStringLiteral("firmwareAfter"), orNull(facts.firmwareAfter()));
    record.insert(QStringLiteral("firmwareAnswer"), orNull(facts.firmwareAnswer()));
    record.insert(QStringLiteral("serialWritten"),
                  run.run == ProductionCommandLine::Run::Serial
                      ? QJsonValue(dialogue::DeviceText::decode(run.serialNumber))
                      : QJsonValue(QJsonValue::Null));
    record.insert(QStringLiteral("firmwareFile"),
                  update ? QJsonValue(run.firmwareFile) : QJsonValue(QJsonValue::Null));
    record.insert(QStringLiteral("imagePath"), orNull(facts.imagePath()));
    record.insert(QStringLiteral("imageSize"), orNull(facts.imageSize()));
    record.insert(QStringLiteral("imageSha256"), orNull(facts.imageSha256()));
    // An update that never started its transfer gave the device nothing;
    // one still running when the run ended took an unknown part.
    QJsonValue taken = orNull(facts.bytesTaken());
    if (taken.isNull() && update && known == Facts::Known && !facts.transferStarted())
        taken = 0;
    record.insert(QStringLiteral("bytesTaken"), taken);
    record.insert(QStringLiteral("deviation"), orNull(facts.deviation()));
    record.insert(QStringLiteral("calibrationDate"), orNull(facts.calibrationDate()));
    record.insert(QStringLiteral("certificate"), orNull(facts.certificateFile()));
    record.insert(QStringLiteral("status"), status);
    record.insert(QStringLiteral("reason"), reason);
    return QJsonDocument(record).toJson(QJsonDocument::Compact) + '\n';
}

bool RunRecord::write(const dialogue::RunFacts &facts, int status, const QString &reason,
                      QString *error, Facts known)
{
    if (!takesTheEnd() || m_written.exchange(true))
        return true;
    const QByteArray record = line(facts, status, reason, QDateTime::currentDateTime(), known);
    bool written = true;
    QString failure;
    if (wanted()) {
        if (!m_file.isOpen()) {
            failure = QStringLiteral("'%1' is not open").arg(m_path);
            written = false;
        } else {
            written = m_file.append(record, &failure);
        }
    }
    // The record is on the disk before a reader of the stream hears of it.
    if (m_events)
        m_events->ended(record, failure);
    if (!written)
        *error = failure;
    return written;
}
