#include "usbio/libusb/LibusbDevice.h"

#include "usbio/libusb/LibusbStatus.h"

#include <QFile>
#include <QStringList>

#include <libusb.h>
#include <unistd.h>

namespace usbio {

LibusbDevice::LibusbDevice(libusb_device *device, Generation generation)
    : m_device(libusb_ref_device(device)), m_generation(generation)
{
    const int bus = libusb_get_bus_number(device);
    const int address = libusb_get_device_address(device);
    m_address = DeviceAddress{bus, address};
    m_devicePath = QStringLiteral("/dev/bus/usb/%1/%2")
                       .arg(bus, 3, 10, QLatin1Char('0'))
                       .arg(address, 3, 10, QLatin1Char('0'));
    quint8 ports[8];
    const int depth = libusb_get_port_numbers(device, ports, int(sizeof ports));
    m_sortKey << bus;
    QStringList path;
    for (int i = 0; i < depth; ++i) {
        path << QString::number(ports[i]);
        m_sortKey << ports[i];
    }
    // Where the port path is unknown the address stands in; it changes when
    // the device is plugged in again.
    if (path.isEmpty()) {
        path << QStringLiteral("a%1").arg(address);
        m_sortKey << 1000 + address;
    }
    m_instanceId = QStringLiteral("%1-%2").arg(bus).arg(path.join(QLatin1Char('.')));
}

LibusbDevice::~LibusbDevice()
{
    closeHandle();
    libusb_unref_device(m_device);
}

DeviceDescription LibusbDevice::description(const QString &sysfsRoot) const
{
    DeviceDescription description;
    // libusb keeps the device descriptor it read when it found the device.
    libusb_device_descriptor descriptor{};
    if (libusb_get_device_descriptor(m_device, &descriptor) == 0) {
        description.vendorId = descriptor.idVendor;
        description.productId = descriptor.idProduct;
        description.release = descriptor.bcdDevice;
    }
    // Reading the string from the device would need a handle of it, and
    // another program may hold it: the kernel's copy needs none. A device
    // without a serial string (the loader) has no such attribute.
    if (descriptor.iSerialNumber != 0) {
        QFile serial(sysfsRoot + QLatin1Char('/') + m_instanceId + QStringLiteral("/serial"));
        if (serial.open(QIODevice::ReadOnly))
            description.serialNumber = QString::fromUtf8(serial.readAll()).trimmed();
    }
    description.busPath = m_instanceId;
    description.devicePath = m_devicePath;
    return description;
}

bool LibusbDevice::operator<(const LibusbDevice &other) const
{
    return m_sortKey < other.m_sortKey;
}

bool LibusbDevice::nodeAccessible() const
{
    return ::access(m_devicePath.toLocal8Bit().constData(), R_OK | W_OK) == 0;
}

Status LibusbDevice::acquire(LibusbComponent *holder)
{
    if (m_gone)
        return status::DeviceGone;
    if (!m_handle) {
        libusb_device_handle *handle = nullptr;
        if (const int error = libusb_open(m_device, &handle))
            return statusOfLibusbError(error);
        // A kernel driver bound to the interface gives way while we hold it.
        libusb_set_auto_detach_kernel_driver(handle, 1);
        if (const int error = libusb_claim_interface(handle, kInterfaceNumber)) {
            libusb_close(handle);
            return statusOfLibusbError(error);
        }
        m_handle = handle;
        m_configured = false;
    }
    if (!m_holders.contains(holder))
        m_holders.append(holder);
    return status::Success;
}

void LibusbDevice::release(LibusbComponent *holder)
{
    m_holders.removeAll(holder);
    if (m_holders.isEmpty())
        closeHandle();
}

Status LibusbDevice::configure()
{
    if (m_gone || !m_handle)
        return status::DeviceGone;
    // Configuration 0 of the component is the device's first one. The
    // kernel has usually set it already; setting it again would reset the
    // device's endpoints under the other holders.
    libusb_config_descriptor *config = nullptr;
    if (const int error = libusb_get_config_descriptor(m_device, 0, &config))
        return statusOfLibusbError(error);
    const int wanted = config->bConfigurationValue;
    libusb_free_config_descriptor(config);
    int active = 0;
    if (const int error = libusb_get_configuration(m_handle, &active))
        return statusOfLibusbError(error);
    if (active != wanted) {
        libusb_release_interface(m_handle, kInterfaceNumber);
        int error = libusb_set_configuration(m_handle, wanted);
        const int claimed = libusb_claim_interface(m_handle, kInterfaceNumber);
        if (error == 0)
            error = claimed;
        if (error)
            return statusOfLibusbError(error);
    }
    m_configured = true;
    return status::Success;
}

void LibusbDevice::closeHandle()
{
    m_configured = false;
    if (!m_handle)
        return;
    // Fails on a device that is gone; the handle is closed all the same.
    libusb_release_interface(m_handle, kInterfaceNumber);
    libusb_close(m_handle);
    m_handle = nullptr;
}

} // namespace usbio
