#pragma once

#include "generations/GenerationTable.h"
#include "registry/Registry.h"

#include <QString>
#include <QStringList>

// The registry probe: which driver generations the host has installed, the
// devices the driver's service lists now and their generation, and one
// string value for the program's self-registration. It holds nothing; every
// operation opens its own registry access on the default key store and
// releases it before returning.
class TRegTools
{
public:
    TRegTools() = default;

    // Number of device instances of the generation the host has installed
    // (the subkeys of its driver key).
    int DriverInstalled(const generations::Descriptor &Generation);
    // The same for the three generations by name.
    int VemoDriverInstalled();
    int Vemo2DriverInstalled();
    int Vemo3DriverInstalled();
    // "Count" of the first driver service key that has one; 0 when none
    // has, or when that one cannot be read as an integer.
    int GetDeviceCount();
    // The instance path listed under the decimal index, looked up in the
    // three service keys in turn; empty when none lists it.
    QString GetDeviceInstance(int Index);
    // The name of the generation (in the generation table) whose USB ids
    // the instance path holds: "Vemo", "Vemo2", "Vemo3"; else the
    // upper-cased instance path.
    QString GetDeviceName(int Index);

    // The string value; when it is missing and Default is not empty,
    // Default is stored first. Store errors reach the caller.
    QString ReadRegString(registry::RootKey Root, const QString &Key, const QString &Name,
                          const QString &Default);
    // Creates the key when missing. Store errors reach the caller.
    void WriteRegString(registry::RootKey Root, const QString &Key, const QString &Name,
                        const QString &Value);
    // The key's direct subkey names; empty when the key is missing.
    void ReadKeyNames(registry::RootKey Root, const QString &Key, QStringList &Names);
    bool RegValueExists(registry::RootKey Root, const QString &Key, const QString &Name);

private:
    int InstalledCount(const QString &Key);
    int InstalledCountNamed(const QString &DeviceName);
};
