#include "dialogue/Generations.h"

#include "dialogue/Intervals.h"

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

} // namespace dialogue
