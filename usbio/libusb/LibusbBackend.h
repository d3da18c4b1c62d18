#pragma once

#include "usbio/common/DeviceKeys.h"

#include <QHash>
#include <QList>
#include <QObject>
#include <QString>

#include <memory>

struct libusb_context;
struct libusb_device;

namespace registry {
class KeyStore;
}

namespace usbio {

class LibusbComponent;
class LibusbDevice;
class LibusbEventPump;

// The "libusb" backend: real Vemo devices through libusb-1.0. It keeps the
// list of the vendor's devices present (vendor 5E1A, the product of each
// generation of the generation table), in a stable order (bus, then port path), follows arrivals
// and removals through libusb's hotplug support, and publishes the list into the key store as the
// Windows driver would, so that the registry probe names what the components enumerate.
//
// Everything runs on the thread the backend lives on: libusb's descriptors
// are watched by the Qt event loop, and its callbacks only record what
// happened and queue the work for the event loop.
//
// When libusb cannot start, or the host has no USB file system, the backend
// still installs: it finds no device, and startupNote() says why.
class LibusbBackend : public QObject
{
    Q_OBJECT
public:
    // store: where devices are published; the default store when null.
    explicit LibusbBackend(registry::KeyStore *store = nullptr, QObject *parent = nullptr);
    ~LibusbBackend() override; // unregisters the backend it installed

    // Starts libusb and its hotplug watch, publishes the devices present,
    // registers this backend as "libusb" and selects it.
    void install();
    // libusb is running (it may still find no device).
    bool running() const { return m_context != nullptr; }
    // One line on why no device can be found, or empty.
    QString startupNote() const { return m_note; }

    // Present devices in enumeration order.
    QList<std::shared_ptr<LibusbDevice>> devices() const { return m_devices; }
    LibusbEventPump *pump() const { return m_pump.get(); }

    // How long an arrived device whose node is not accessible yet (udev
    // still setting its rights) is waited for before it is reported anyway.
    int arrivalWaitMs = 2000;
    // Where the host keeps its USB device nodes; without it libusb finds
    // nothing, and the start-up note says so.
    QString usbFileSystem = QStringLiteral("/dev/bus/usb");
    // Where the kernel shows each USB device by its port path, with the
    // serial-number string it read from it.
    QString usbDevicesFolder = QStringLiteral("/sys/bus/usb/devices");

private:
    friend class LibusbComponent;
    void addComponent(LibusbComponent *component) { m_components.append(component); }
    void removeComponent(LibusbComponent *component) { m_components.removeAll(component); }

    void start();
    void stop();
    // From libusb's hotplug callback, inside its event handling: records,
    // nothing more. The round's records are queued for the event loop when
    // the round ends (queueHeard).
    void hotplugNotified(libusb_device *device, bool arrived);
    void queueHeard();
    friend struct LibusbHotplug;
    // An arrival is reported once the node can be opened, or when the wait
    // is over.
    void arrive(libusb_device *device, int waitedMs);
    void leave(libusb_device *device);
    void insertSorted(const std::shared_ptr<LibusbDevice> &device);
    void publish();

    DeviceKeys m_keys;
    libusb_context *m_context = nullptr;
    std::unique_ptr<LibusbEventPump> m_pump;
    int m_hotplugHandle = 0;
    bool m_hotplugRegistered = false;
    QString m_note;
    bool m_installed = false;
    QList<std::shared_ptr<LibusbDevice>> m_devices;
    // Arrived, not reported yet: waiting for the node to be accessible.
    QHash<libusb_device *, int> m_arriving;
    // Heard in the current round of libusb's event handling, not queued yet.
    struct Heard
    {
        std::shared_ptr<libusb_device> device;
        bool arrived = false;
    };
    QList<Heard> m_heard;
    QList<LibusbComponent *> m_components;
};

} // namespace usbio
