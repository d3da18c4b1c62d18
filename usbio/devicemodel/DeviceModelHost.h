#pragma once

#include <QByteArray>

namespace usbio {

// What a DeviceModel sees of the world around it: the IN endpoint it sends
// on, and the power line it restarts by. The simulated bus implements it for
// the "sim" backend; a kernel-level mock implements it for libusb tests.
class DeviceModelHost
{
public:
    virtual ~DeviceModelHost() = default;

    // Queues one packet (at most 16 bytes) on IN endpoint 0x81.
    virtual void sendToHost(const QByteArray &packet) = 0;
    // The device resets: it leaves the bus now (powerOff) and comes back
    // after offBusMs (powerOn). 0 means on the next event loop turn.
    virtual void restart(int offBusMs) = 0;

    // Observers of what the firmware took in, for the record of tests.
    virtual void commandReceived(const QByteArray &command) { Q_UNUSED(command); }
    virtual void imageReceived(const QByteArray &image) { Q_UNUSED(image); }
    // The serial number, calibration date, firmware version or the mode
    // (loader or not) changed.
    virtual void stateChanged() {}
};

} // namespace usbio
