#include "registry/RegTools.h"

using registry::HKEY_LOCAL_MACHINE;
using registry::KEY_READ;
using registry::KEY_WRITE;
using registry::RegistryError;
using registry::TRegistry;

namespace {

// The driver services' lists of present devices, always asked in this order.
const QString kServiceEnums[] = {
    QStringLiteral("SYSTEM\\CurrentControlSet\\Services\\VemoUSB\\Enum"),
    QStringLiteral("SYSTEM\\CurrentControlSet\\Services\\Vemox64\\Enum"),
    QStringLiteral("SYSTEM\\CurrentControlSet\\Services\\Vemo98\\Enum"),
};

} // namespace

void TRegTools::ReadKeyNames(registry::RootKey Root, const QString &Key, QStringList &Names)
{
    TRegistry reg(KEY_READ);
    reg.RootKey = Root;
    if (reg.OpenKey(Key, false))
        reg.GetKeyNames(Names);
    else
        Names.clear();
}

int TRegTools::InstalledCount(const QString &Key)
{
    QStringList names;
    ReadKeyNames(HKEY_LOCAL_MACHINE, Key, names);
    return int(names.size());
}

int TRegTools::DriverInstalled(const generations::Descriptor &Generation)
{
    return InstalledCount(generations::driverKey(Generation));
}

int TRegTools::InstalledCountNamed(const QString &DeviceName)
{
    const generations::Descriptor *generation = generations::table().byName(DeviceName);
    return generation ? DriverInstalled(*generation) : 0;
}

int TRegTools::VemoDriverInstalled()
{
    return InstalledCountNamed(QStringLiteral("Vemo"));
}

int TRegTools::Vemo2DriverInstalled()
{
    return InstalledCountNamed(QStringLiteral("Vemo2"));
}

int TRegTools::Vemo3DriverInstalled()
{
    return InstalledCountNamed(QStringLiteral("Vemo3"));
}

bool TRegTools::RegValueExists(registry::RootKey Root, const QString &Key, const QString &Name)
{
    TRegistry reg(KEY_READ);
    reg.RootKey = Root;
    if (!reg.OpenKey(Key, false))
        return false;
    const bool exists = reg.ValueExists(Name);
    reg.CloseKey();
    return exists;
}

int TRegTools::GetDeviceCount()
{
    int result = 0;
    for (const QString &key : kServiceEnums) {
        if (!RegValueExists(HKEY_LOCAL_MACHINE, key, QStringLiteral("Count")))
            continue;
        // The first key with a "Count" decides, even when it is unreadable.
        try {
            TRegistry reg(KEY_READ);
            reg.RootKey = HKEY_LOCAL_MACHINE;
            if (reg.OpenKey(key, false))
                result = reg.ReadInteger(QStringLiteral("Count"));
        } catch (const RegistryError &) {
            result = 0;
        }
        break;
    }
    return result;
}

QString TRegTools::ReadRegString(registry::RootKey Root, const QString &Key, const QString &Name,
                                 const QString &Default)
{
    TRegistry reg(KEY_READ);
    reg.RootKey = Root;
    // Whether it opens does not matter: a key that did not open has no value.
    reg.OpenKey(Key, false);
    if (reg.ValueExists(Name))
        return reg.ReadString(Name);
    if (!Default.isEmpty()) {
        WriteRegString(Root, Key, Name, Default);
        return Default;
    }
    return QString();
}

void TRegTools::WriteRegString(registry::RootKey Root, const QString &Key, const QString &Name,
                               const QString &Value)
{
    TRegistry reg(KEY_WRITE);
    reg.RootKey = Root;
    reg.OpenKey(Key, true);
    reg.WriteString(Name, Value);
}

QString TRegTools::GetDeviceInstance(int Index)
{
    const QString name = QString::number(Index);
    QString result;
    for (const QString &key : kServiceEnums) {
        result = ReadRegString(HKEY_LOCAL_MACHINE, key, name, QString());
        if (!result.isEmpty())
            break;
    }
    return result;
}

QString TRegTools::GetDeviceName(int Index)
{
    const QString instance = GetDeviceInstance(Index).toUpper();
    // In the table's order; the first generation found anywhere in the
    // path decides.
    for (const generations::Descriptor &generation : generations::table().rows()) {
        if (instance.contains(generations::hardwareId(generation)))
            return generation.name;
    }
    return instance;
}
