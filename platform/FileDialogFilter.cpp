#include "platform/FileDialogFilter.h"

namespace platform {

QStringList qtNameFilters(const QString &filter)
{
    QStringList result;
    const QStringList parts = filter.split(QLatin1Char('|'));
    for (int i = 0; i + 1 < parts.size(); i += 2) {
        QStringList names = parts.at(i + 1).split(QLatin1Char(';'), Qt::SkipEmptyParts);
        for (QString &name : names)
            name = name.trimmed();
        result << QStringLiteral("%1 (%2)").arg(parts.at(i), names.join(QLatin1Char(' ')));
    }
    return result;
}

} // namespace platform
