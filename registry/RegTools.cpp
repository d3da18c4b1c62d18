#include "registry/RegTools.h"

using registry::HKEY_LOCAL_MACHINE;
using registry::KEY_READ;
using registry::KEY_WRITE;
using registry::RegistryError;
using registry::TRegistry;

namespace {

// Device instances the host has installed, one key per generation.
const QString kVemoEnum = QStringLiteral("SYSTEM\\CurrentControlSet\\Enum\\USB\\Vid_5e1a&Pid_0889");
const QString kVemo2Enum =
    QStringLiteral("SYSTEM\\CurrentControlSet\\Enum\\USB\\Vid_5e1a&Pid_088a");
const QString kVemo3Enum =
    QStringLiteral("SYSTEM\\CurrentControlSet\\Enum\\USB\\Vid_5e1a&Pid_088b");

// The driver services' lists of present devices, always asked in this order.
const QString kServiceEnums[] = {
    QStringLiteral("SYSTEM\\CurrentControlSet\\Services\\VemoUSB\\Enum"),
    QStringLiteral("SYSTEM\\CurrentControlSet\\Services\\Vemox64\\Enum"),
    QStringLiteral("SYSTEM\\CurrentControlSet\\Services\\Vemo98\\Enum"),
};

struct GenerationId
{
    const char *idText;
    const char *deviceName;
};
// Tested in this order; the first one found anywhere in the path decides.
const GenerationId kGenerations[] = {
    {"VID_5E1A&PID_0889", "Vemo"},
    {"VID_5E1A&PID_088A", "Vemo2"},
    {"VID_5E1A&PID_088B", "Vemo3"},
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

int TRegTools::VemoDriverInstalled()
{
    return InstalledCount(kVemoEnum);
}

int TRegTools::Vemo2DriverInstalled()
{
    return InstalledCount(kVemo2Enum);
}

int TRegTools::Vemo3DriverInstalled()
{
    return InstalledCount(kVemo3Enum);
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
    for (const GenerationId &generation : kGenerations) {
        if (instance.contains(QLatin1String(generation.idText)))
            return QString::fromLatin1(generation.deviceName);
    }
    return instance;
}
