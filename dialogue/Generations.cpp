#include "dialogue/Generations.h"

#include "dialogue/Intervals.h"
#include "generations/GenerationTable.h"

namespace dialogue {

Generation generationFor(const QString &deviceName)
{
    const generations::Descriptor &row = generations::table().settingsFor(deviceName);
    return {row.fileFilter, row.defaultFirmwareFile, bwfInterval(row.bwfIntervalMs),
            row.imageFileName};
}

Installer installerFor(const QString &deviceName)
{
    const generations::Descriptor *row = generations::table().byName(deviceName);
    if (!row)
        return {};
    return {row->installerFileName, row->installerServerPath};
}

QString generationNamedBy(const QString &fileName)
{
    const generations::Descriptor *row = generations::table().namedByFile(fileName);
    return row ? row->name : QString();
}

} // namespace dialogue
