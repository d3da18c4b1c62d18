#pragma once

#include "usbio/devicemodel/VemoIdentity.h"

#include <QList>
#include <QString>

namespace registry {
class KeyStore;
}

namespace usbio {

// One device on the bus as the driver publishes it.
struct PresentDevice
{
    Generation generation = Generation::Vemo2;
    // Unique per device; no backslash.
    QString instanceId;
};

// "USB\VID_5E1A&PID_088A\<instance id>", the path the driver service lists.
QString instancePath(const PresentDevice &device);

// Publishes devices into the key store the way the Windows driver does: a
// persistent key per device instance the first time it is seen, and the
// driver service's volatile list of the devices present now, in the
// component's enumeration order. Every backend publishes through it, so the
// registry probe sees the same list whichever backend finds the devices.
// A store that cannot be written is reported as a warning; publishing is
// never the reason a device cannot be used.
class DeviceKeys
{
public:
    // store: where devices are published; the default store when null.
    explicit DeviceKeys(registry::KeyStore *store = nullptr);

    // Creates the persistent key of the instance with its values when it is
    // missing, and writes the values a key lacks.
    void recordInstance(const PresentDevice &device) const;
    // Rewrites the list of present devices, in this order.
    void publish(const QList<PresentDevice> &present) const;

private:
    registry::KeyStore &keyStore() const;
    registry::KeyStore *m_store;
};

} // namespace usbio
