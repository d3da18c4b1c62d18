#include "tests/usbio/umockdev/UsbMockBus.h"

#include "tests/usbio/umockdev/UsbMockDevice.h"

#include <QFile>
#include <QStringList>

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
    m_devices.push_back(std::make_unique<UsbMockDevice>(
        this, generation, QStringLiteral("1-%1").arg(port), settings));
    UsbMockDevice *device = m_devices.back().get();
    device->plug();
    return device;
}

UsbMockDevice *UsbMockBus::addBehindHub(usbio::Generation generation, int hubPort, int port,
                                        const usbio::VemoFirmware::Settings &settings)
{
    m_devices.push_back(std::make_unique<UsbMockDevice>(
        this, generation, QStringLiteral("1-%1.%2").arg(hubPort).arg(port), settings));
    UsbMockDevice *device = m_devices.back().get();
    device->plug();
    return device;
}

void UsbMockBus::addHub(int hubPort)
{
    // A full-speed hub: class 9, one configuration without endpoints of
    // interest to anyone here.
    QByteArray descriptors = usbio::deviceDescriptors(usbio::Generation::Vemo2);
    descriptors[4] = char(0x09); // bDeviceClass: hub
    descriptors[8] = char(0x6B);
    descriptors[9] = char(0x1D); // 1d6b
    descriptors[10] = char(0x02);
    descriptors[11] = char(0x00);
    addToTestbed(QStringLiteral("1-%1").arg(hubPort), nextAddress(), descriptors, false);
}

void UsbMockBus::addOtherProduct(quint16 vendorId, quint16 productId, int port)
{
    QByteArray descriptors = usbio::deviceDescriptors(usbio::Generation::Vemo2);
    descriptors[8] = char(vendorId & 0xFF);
    descriptors[9] = char(vendorId >> 8);
    descriptors[10] = char(productId & 0xFF);
    descriptors[11] = char(productId >> 8);
    addToTestbed(QStringLiteral("1-%1").arg(port), nextAddress(), descriptors, false);
}

void UsbMockBus::addToTestbed(const QString &name, int address, const QByteArray &descriptors,
                              bool openable, const QByteArray &serial)
{
    const QString number = QStringLiteral("%1").arg(address, 3, 10, QLatin1Char('0'));
    // Behind a hub the device's folder is inside the hub's: 1-1/1-1.3.
    QString folder = QStringLiteral("/devices/usb1");
    const QStringList ports = name.mid(2).split(QLatin1Char('.'));
    for (int depth = 1; depth <= ports.size(); ++depth)
        folder += QStringLiteral("/1-") + ports.mid(0, depth).join(QLatin1Char('.'));
    QString record = QStringLiteral("P: %1\n").arg(folder);
    if (openable)
        record += QStringLiteral("N: bus/usb/001/%1\n").arg(number);
    record += QStringLiteral("E: SUBSYSTEM=usb\n"
                             "E: DEVTYPE=usb_device\n");
    if (openable)
        record += QStringLiteral("E: DRIVER=usb\n");
    record += QStringLiteral("E: BUSNUM=001\n"
                             "E: DEVNUM=%1\n"
                             "E: DEVNAME=/dev/bus/usb/001/%1\n"
                             "A: busnum=1\\n\n"
                             "A: devnum=%2\\n\n"
                             "A: speed=12\\n\n"
                             "A: bConfigurationValue=1\\n\n"
                             "H: descriptors=%3\n")
                  .arg(number)
                  .arg(address)
                  .arg(QString::fromLatin1(descriptors.toHex().toUpper()));
    if (!serial.isEmpty())
        record += QStringLiteral("A: serial=%1\\n\n").arg(QString::fromLatin1(serial));
    GError *error = nullptr;
    if (!umockdev_testbed_add_from_string(m_testbed, record.toUtf8().constData(), &error)) {
        qWarning("cannot add the device: %s", error ? error->message : "?");
        g_clear_error(&error);
    }
}

QList<UsbMockDevice *> UsbMockBus::devices() const
{
    QList<UsbMockDevice *> list;
    for (const std::unique_ptr<UsbMockDevice> &device : m_devices)
        list.append(device.get());
    return list;
}
