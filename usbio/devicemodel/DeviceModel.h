#pragma once

#include <QByteArray>

namespace usbio {

// The firmware of a device as the wire sees it: what it does with the bytes
// that reach its OUT endpoints, and when it powers up or goes away. It knows
// nothing of the host's USB stack: the simulated component and a kernel-level
// mock (umockdev, behind libusb) drive the very same model.
//
// Everything the device sends, its restarts and its timers go through the
// DeviceModelHost it was given.
class DeviceModel
{
public:
    virtual ~DeviceModel() = default;

    // The device is on the bus and running (attached, or back from a restart).
    virtual void powerOn() = 0;
    // The device leaves the bus (unplugged, or restarting): it stops sending
    // and forgets what it had half received.
    virtual void powerOff() = 0;
    // One finished OUT transfer: the bytes that reached endpoint.
    virtual void receive(quint8 endpoint, const QByteArray &bytes) = 0;
};

} // namespace usbio
