#include "dialogue/Generations.h"

#include "dialogue/Intervals.h"

#include <QFileInfo>

namespace dialogue {

Generation generationFor(const QString &deviceName)
{
    const Intervals &periods = intervals();
    if (deviceName == QLatin1String("Vemo3"))
        return {QStringLiteral("Vemo3 update files|vemo3.exe;vemo3.bin"),
                QStringLiteral("/Homepage/orvik/download/uC/vemo3.exe"),
                periods.bwfLaterGenerations, QStringLiteral("Vemo3.bin")};
    if (deviceName == QLatin1String("Vemo2"))
        return {QStringLiteral("Vemo2 update files|vemo2.exe;vemo2.bin"),
                QStringLiteral("/Homepage/orvik/download/uC/vemo2.exe"),
                periods.bwfLaterGenerations, QStringLiteral("Vemo2.bin")};
    return {QStringLiteral("Vemo update files|vemo.exe;vemo.bin"),
            QStringLiteral("/Homepage/orvik/download/uC/vemo.exe"), periods.bwfFirstGeneration,
            QStringLiteral("Vemo.bin")};
}

Installer installerFor(const QString &deviceName)
{
    if (deviceName == QLatin1String("Vemo3"))
        return {QStringLiteral("vemo3.exe"), QStringLiteral("/orvik/download/uC/vemo3.exe")};
    if (deviceName == QLatin1String("Vemo2"))
        return {QStringLiteral("vemo2.exe"), QStringLiteral("/orvik/download/uC/vemo2.exe")};
    if (deviceName == QLatin1String("Vemo"))
        return {QStringLiteral("vemo.exe"), QStringLiteral("/orvik/download/uC/vemo.exe")};
    return {};
}

QString generationNamedBy(const QString &fileName)
{
    const QString name = QFileInfo(fileName).fileName();
    for (const char *generation : {"Vemo", "Vemo2", "Vemo3"}) {
        const QString device = QString::fromLatin1(generation);
        if (name.compare(generationFor(device).imageFileName, Qt::CaseInsensitive) == 0 ||
            name.compare(installerFor(device).fileName, Qt::CaseInsensitive) == 0)
            return device;
    }
    return QString();
}

} // namespace dialogue
