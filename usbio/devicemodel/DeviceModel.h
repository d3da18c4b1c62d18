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
//
// Threads: a model lives on one thread, and its host calls it only there;
// its timers run there, and it calls the host only from there. A host that
// learns of USB traffic on another thread (the ioctl handler of a kernel
// mock runs on the mock's own thread) hands it over to the model's thread.
//
// Leaving while delivering: any call into the host may take the device off
// the bus (a restart, or an observer that unplugs it), and powerOff then
// runs before that call returns. The model stops handling what it was in the
// middle of (the rest of a piece, the rest of an answer) and does nothing
// more for the session that ended.
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
