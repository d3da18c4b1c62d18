#include "usbio/common/DeviceKeys.h"

#include "generations/GenerationTable.h"
#include "registry/KeyStore.h"

#include <QLoggingCategory>

namespace usbio {

namespace {

Q_LOGGING_CATEGORY(lcKeys, "vemo.usbio.keys")

// The driver service's list of present devices (volatile, as Windows keeps it).
const QString kServiceEnum = QStringLiteral("SYSTEM\\CurrentControlSet\\Services\\VemoUSB\\Enum");

QString instanceKeyPath(const PresentDevice &device)
{
    return generations::driverKey(descriptor(device.generation)) + QLatin1Char('\\') +
           device.instanceId;
}

} // namespace

QString instancePath(const PresentDevice &device)
{
    return QStringLiteral("USB\\") + generations::hardwareId(descriptor(device.generation)) +
           QLatin1Char('\\') + device.instanceId;
}

DeviceKeys::DeviceKeys(registry::KeyStore *store) : m_store(store) {}

registry::KeyStore &DeviceKeys::keyStore() const
{
    return m_store ? *m_store : registry::KeyStore::defaultStore();
}

void DeviceKeys::recordInstance(const PresentDevice &device) const
{
    registry::KeyStore &keys = keyStore();
    const QString path = instanceKeyPath(device);
    const QString service = QStringLiteral("Service");
    const QString description = QStringLiteral("DeviceDesc");
    try {
        // A key is whole with both values: a program killed between its
        // writes leaves a key without them, which the next one completes.
        if (keys.valueExists(registry::RootKey::LocalMachine, path, service) &&
            keys.valueExists(registry::RootKey::LocalMachine, path, description))
            return;
        if (!keys.valueExists(registry::RootKey::LocalMachine, path, service))
            keys.writeString(registry::RootKey::LocalMachine, path, service,
                             QStringLiteral("VemoUSB"));
        if (!keys.valueExists(registry::RootKey::LocalMachine, path, description))
            keys.writeString(registry::RootKey::LocalMachine, path, description,
                             QString::fromLatin1(generationName(device.generation)) +
                                 QStringLiteral(" USB device"));
    } catch (const registry::RegistryError &error) {
        qCWarning(lcKeys) << "cannot record the device instance" << path << ":" << error.what();
    }
}

void DeviceKeys::publish(const QList<PresentDevice> &present) const
{
    registry::KeyStore &keys = keyStore();
    try {
        keys.deleteKey(registry::RootKey::LocalMachine, kServiceEnum);
        keys.createKey(registry::RootKey::LocalMachine, kServiceEnum, true);
        qint32 count = 0;
        for (const PresentDevice &device : present)
            keys.writeString(registry::RootKey::LocalMachine, kServiceEnum,
                             QString::number(count++), instancePath(device));
        keys.writeInteger(registry::RootKey::LocalMachine, kServiceEnum, QStringLiteral("Count"),
                          count);
        keys.writeInteger(registry::RootKey::LocalMachine, kServiceEnum,
                          QStringLiteral("NextInstance"), count);
    } catch (const registry::RegistryError &error) {
        qCWarning(lcKeys) << "cannot publish the device list:" << error.what();
    }
}

} // namespace usbio
