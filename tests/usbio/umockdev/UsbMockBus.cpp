#include "tests/usbio/umockdev/UsbMockBus.h"

#include "tests/usbio/umockdev/UsbMockDevice.h"

#include <QFile>

#include <umockdev.h>

UsbMockBus::UsbMockBus() : m_testbed(umockdev_testbed_new()) {}

UsbMockBus::~UsbMockBus()
{
    m_devices.clear();
    g_object_unref(m_testbed);
}

bool UsbMockBus::available(QString *why)
{
    // The preload library is what redirects /sys and /dev into the testbed.
    QFile maps(QStringLiteral("/proc/self/maps"));
    if (maps.open(QIODevice::ReadOnly) && maps.readAll().contains("libumockdev-preload"))
        return true;
    if (why)
        *why = QStringLiteral("not running under umockdev-wrapper (umockdev's preload library is "
                              "not loaded)");
    return false;
}

UsbMockDevice *UsbMockBus::add(usbio::Generation generation, int port,
                               const usbio::VemoFirmware::Settings &settings)
{
    m_devices.push_back(std::make_unique<UsbMockDevice>(this, generation, port, settings));
    UsbMockDevice *device = m_devices.back().get();
    device->plug();
    return device;
}

QList<UsbMockDevice *> UsbMockBus::devices() const
{
    QList<UsbMockDevice *> list;
    for (const std::unique_ptr<UsbMockDevice> &device : m_devices)
        list.append(device.get());
    return list;
}
