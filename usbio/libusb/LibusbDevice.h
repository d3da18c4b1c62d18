#pragma once

#include "usbio/Component.h"
#include "usbio/common/DeviceKeys.h"

#include <QList>
#include <QString>

struct libusb_device;
struct libusb_device_handle;

namespace usbio {

class LibusbComponent;

// One Vemo device on the bus, as libusb found it. The instances that open
// it share one handle, one claim of interface 0 and one configuration
// state; the handle is opened by the first and closed with the last.
class LibusbDevice
{
public:
    // Takes a reference of device.
    LibusbDevice(libusb_device *device, Generation generation);
    ~LibusbDevice();
    LibusbDevice(const LibusbDevice &) = delete;
    LibusbDevice &operator=(const LibusbDevice &) = delete;

    libusb_device *device() const { return m_device; }
    Generation generation() const { return m_generation; }
    // "<bus>-<port>.<port>...", from where the device is plugged in.
    QString instanceId() const { return m_instanceId; }
    // Its bus number and address, as libusb found it.
    DeviceAddress address() const { return m_address; }
    // Its node, e.g. "/dev/bus/usb/001/004".
    QString devicePath() const { return m_devicePath; }
    PresentDevice present() const { return {m_generation, m_instanceId}; }
    // What its descriptors give: the ids and bcdDevice as libusb keeps them,
    // the serial-number string as the kernel read it when the device arrived
    // (its "serial" attribute under sysfsRoot/<instance id>). Nothing is
    // opened or sent to the device.
    DeviceDescription description(const QString &sysfsRoot) const;
    // Orders devices by bus, then by port path.
    bool operator<(const LibusbDevice &other) const;

    // Whether the node can be opened for reading and writing now.
    bool nodeAccessible() const;

    // Opens the shared handle and claims interface 0 for the first holder.
    Status acquire(LibusbComponent *holder);
    // The last holder closes the handle.
    void release(LibusbComponent *holder);
    libusb_device_handle *handle() const { return m_handle; }
    QList<LibusbComponent *> holders() const { return m_holders; }

    // The device's first configuration is the active one and its pipes may
    // be bound; shared by all holders.
    Status configure();
    bool configured() const { return m_configured; }
    void unconfigure() { m_configured = false; }

    // The device left the bus: its handle is closed once the holders have
    // drained their transfers; they keep holding it until they close.
    bool gone() const { return m_gone; }
    void markGone() { m_gone = true; }
    void closeHandle();

private:
    libusb_device *m_device;
    Generation m_generation;
    QString m_instanceId;
    QString m_devicePath;
    DeviceAddress m_address;
    QList<int> m_sortKey;
    libusb_device_handle *m_handle = nullptr;
    QList<LibusbComponent *> m_holders;
    bool m_configured = false;
    bool m_gone = false;
};

} // namespace usbio
