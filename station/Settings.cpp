#include "station/Settings.h"

namespace station {

QStringList runArguments(const Settings &settings, const QString &path, const QString &image,
                         const QString &logFile)
{
    QStringList arguments{QStringLiteral("--batch"),
                          QStringLiteral("--events=-"),
                          QStringLiteral("--device=") + path,
                          QStringLiteral("--record=") + settings.recordFile,
                          QStringLiteral("--log-file=") + logFile,
                          QStringLiteral("--timeout=%1").arg(settings.timeoutSeconds)};
    if (settings.verify || !settings.expectVersion.isEmpty())
        arguments << QStringLiteral("--verify");
    if (!settings.expectVersion.isEmpty())
        arguments << QStringLiteral("--expect-version=") + settings.expectVersion;
    if (settings.calibrate && !settings.certificateFolder.isEmpty())
        arguments << QStringLiteral("--print-to=") + settings.certificateFolder;
    arguments << settings.passOn;
    // The image is a file, whatever its name begins with.
    arguments << QStringLiteral("--") << image;
    if (settings.calibrate)
        arguments << QStringLiteral("/CALIBRATE");
    return arguments;
}

QString logFileName(const QString &path, const QString &timeText)
{
    QString name;
    for (const QChar c : path)
        name += (c.unicode() < 128 && c.isLetterOrNumber()) || c == QLatin1Char('.') ||
                        c == QLatin1Char('-') || c == QLatin1Char('_')
                    ? c
                    : QLatin1Char('_');
    return name + QLatin1Char('-') + timeText + QStringLiteral(".log");
}

} // namespace station
