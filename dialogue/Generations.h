#pragma once

#include <QString>

// What the window prepares for a device's generation, as the generation
// table (generations/GenerationTable.cpp) gives it.
namespace dialogue {

// The settings for a device, keyed by the exact, case-sensitive device name
// the registry probe gives ("Vemo", "Vemo2", "Vemo3"). Any other name gets
// the first generation's settings.
struct Generation
{
    // The file dialog's filter ("description|name;name").
    QString fileFilter;
    // The firmware installer offered when the file field is empty and the
    // file exists. The maker's installers live at this path from the root
    // of the file system.
    QString defaultFirmwareFile;
    // How often the loader request is repeated during an update (the
    // table's period, shortened by Intervals::bwfScale in tests).
    int bwfIntervalMs = 0;
    // The image an installer leaves in the temporary directory.
    QString imageFileName;
};

Generation generationFor(const QString &deviceName);

// The installer the firmware download fetches for a device name, and the
// path of its address on the maker's server; empty for names the table
// does not have.
struct Installer
{
    QString fileName;
    QString serverPath;
};
Installer installerFor(const QString &deviceName);

// The generation a firmware file's name names: "Vemo2" for vemo2.bin or
// VEMO2.EXE (its image or installer, in any letter case, in any folder);
// empty for a name that names none (firmware-2.11.bin).
QString generationNamedBy(const QString &fileName);

} // namespace dialogue
