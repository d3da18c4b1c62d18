#include "station/RunEvent.h"

#include <QJsonDocument>

namespace station {

std::optional<RunEvent> RunEvent::parse(const QByteArray &line)
{
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(line, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return std::nullopt;
    const QJsonObject object = document.object();
    const QString kind = object.value(QStringLiteral("event")).toString();
    RunEvent event;
    if (kind == QLatin1String("state")) {
        const QJsonValue state = object.value(QStringLiteral("state"));
        if (!state.isString())
            return std::nullopt;
        event.kind = Kind::State;
        event.state = state.toString();
        return event;
    }
    if (kind == QLatin1String("progress")) {
        const QJsonValue bytes = object.value(QStringLiteral("bytes"));
        const QJsonValue of = object.value(QStringLiteral("of"));
        if (!bytes.isDouble() || !of.isDouble() || bytes.toDouble() < 0 || of.toDouble() <= 0)
            return std::nullopt;
        event.kind = Kind::Progress;
        event.bytes = qint64(bytes.toDouble());
        event.of = qint64(of.toDouble());
        return event;
    }
    if (kind == QLatin1String("end")) {
        const QJsonValue status = object.value(QStringLiteral("status"));
        if (!status.isDouble())
            return std::nullopt;
        event.kind = Kind::End;
        event.status = status.toInt(-1);
        event.reason = object.value(QStringLiteral("reason")).toString();
        event.record = object;
        event.record.remove(QStringLiteral("event"));
        return event;
    }
    return std::nullopt;
}

} // namespace station
