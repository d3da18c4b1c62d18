#pragma once

#include "usbio/sim/SimBus.h"

#include <QByteArray>
#include <QList>
#include <QObject>

namespace usbio {

class DeviceModel;
class VemoFirmware;

// One virtual device on the simulated bus: the device's firmware model
// behind the wire, the faults its component connection injects, and a
// record of everything that reached it.
class SimDevice : public QObject
{
    Q_OBJECT
public:
    ~SimDevice() override;

    SimBus *bus() const;
    const SimDeviceSettings &settings() const;
    SimFaults &faults();
    DeviceModel &model();
    VemoFirmware &firmware();

    // The device path the component reports, e.g.
    // "\\?\usb#vid_5e1a&pid_088a#000000001#{guid}".
    QString devicePath() const;
    // "USB\VID_5E1A&PID_088A\<instance id>" as published in the key store.
    QString instancePath() const;

    // Where it sits on the bus: its id (see SimDeviceSettings::id); the
    // same after a restart.
    QString busPath() const;
    // What its descriptors give, as the component describes it.
    DeviceDescription description() const;

    bool onBus() const; // false while restarting
    // Its address on the bus, new each time it comes onto it (2 for the
    // first device to arrive).
    int address() const;
    bool inLoader() const; // running its boot loader
    QByteArray firmwareVersion() const;
    QByteArray serialNumber() const;
    QByteArray calibrationDate() const;
    QByteArray deviation() const;
    QString instanceId() const;
    // What "DTP" commands sent to the device's printer channel.
    QList<QByteArray> printerLines() const;

    // Every 16-byte piece that reached OUT 0x01, as sent (padding included).
    QList<QByteArray> receivedPieces() const;
    // Commands as the device assembled them (CR stripped; the USB-interface
    // commands as their 15 characters).
    QList<QByteArray> receivedCommands() const;
    // The chunks that reached OUT 0x02, as sent. The device keeps the bytes
    // of the first settings().chunkRecordBytes only (since clearRecords);
    // later chunks are counted, and the list ends before them.
    QList<QByteArray> receivedChunks() const;
    // How many chunks reached OUT 0x02, and how many bytes they held.
    qint64 receivedChunkCount() const;
    qint64 receivedChunkBytes() const;
    // The last complete image the loader took, byte for byte.
    QByteArray image() const;
    bool saveImage(const QString &path) const;
    void clearRecords();

    // Makes the device send bytes on IN 0x81 (split into reads of at most 16).
    void sendToHost(const QByteArray &bytes);
    // Power cycle: the device leaves the bus and comes back after offBusMs
    // (-1: its restartDelayMs), in the mode its firmware boots into.
    void powerCycle(int offBusMs = -1);

Q_SIGNALS:
    void commandReceived(const QByteArray &command);
    void imageReceived(const QByteArray &image);
    void busStateChanged(bool onBus);

private:
    friend class SimBus;
    friend class SimComponent;
    SimDevice(SimBus *bus, const SimDeviceSettings &settings);
    struct Impl;
    Impl *d;
};

} // namespace usbio
