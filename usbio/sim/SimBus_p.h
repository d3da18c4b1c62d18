#pragma once

// Inner state of the simulated bus and its devices, shared by SimBus,
// SimDevice and SimComponent (not part of the layer's interface).

#include "usbio/common/DeviceKeys.h"
#include "usbio/devicemodel/DeviceModelHost.h"
#include "usbio/devicemodel/VemoFirmware.h"
#include "usbio/sim/SimBus.h"
#include "usbio/sim/SimDevice.h"

#include <QList>
#include <QPointer>

#include <memory>

namespace registry {
class KeyStore;
}

namespace usbio {

class SimComponent;

struct SimDevice::Impl : public DeviceModelHost
{
    Impl(SimDevice *device, SimBus *bus, const SimDeviceSettings &settings);

    // DeviceModelHost
    void sendToHost(const QByteArray &packet) override;
    void restart(int offBusMs) override;
    void commandReceived(const QByteArray &command) override;
    void imageReceived(const QByteArray &image) override;
    void stateChanged() override;

    // The name the device's files carry.
    QString fileName() const;
    void saveToImageFolder(const QByteArray &image);
    void writeStateFile() const;

    // One finished OUT transfer from a component.
    void deliver(quint8 endpoint, const QByteArray &bytes);
    void recordChunk(const QByteArray &bytes);

    SimDevice *q;
    QPointer<SimBus> bus;
    SimDeviceSettings settings;
    SimFaults faults;
    QString instanceId;
    std::unique_ptr<VemoFirmware> firmware;

    bool attached = true;
    bool onBus = false;
    // Counts the times the device came onto the bus; a handle opened in an
    // earlier session is stale.
    quint64 session = 0;
    quint64 restartToken = 0;
    // Its address on the bus; a new one each time it comes onto the bus.
    int address = 0;
    bool configured = false;
    // Packets waiting on IN 0x81 for a read. A device nobody reads from
    // keeps only the newest ones, as its own buffer would.
    QList<QByteArray> inPackets;

    QList<QByteArray> pieces;
    QList<QByteArray> commands;
    // The record of OUT 0x02: the sizes of all chunks, as runs of equal
    // sizes, and the bytes of the first ones (settings.chunkRecordBytes).
    // An image of any size costs the device its bytes once (the image the
    // loader assembles), not a copy per chunk.
    struct ChunkRun
    {
        int size = 0;
        qint64 count = 0;
    };
    QList<ChunkRun> chunkRuns;
    QByteArray chunkBytes;
    qint64 chunkCount = 0;
    qint64 chunksKept = 0; // the first chunks, whose bytes chunkBytes holds
    QByteArray image;
    int imagesSaved = 0;
};

struct SimBus::Impl
{
    explicit Impl(SimBus *bus, registry::KeyStore *keyStore) : q(bus), keys(keyStore) {}

    static PresentDevice present(const SimDevice *device);
    // Rewrites the driver service's list of present devices, and creates
    // the persistent key of a device the first time it is seen.
    void publish();
    void createInstanceKey(const SimDevice *device);

    // The device is on the bus now (attached, or back from a restart).
    void arrive(SimDevice *device);
    // The device leaves the bus (detached, or restarting).
    void leave(SimDevice *device);
    void dataAvailable(SimDevice *device);
    void notifyPnP(EventId id, const SimDevice *device);

    SimBus *q;
    DeviceKeys keys;
    QList<SimDevice *> devices; // attach order
    QList<SimComponent *> components;
    int created = 0;
    // The last address given; the root hub has 1.
    int lastAddress = 1;
    bool installed = false;
    bool componentRegistered = true;
    DriverInfo defaultDriverInfo{0x0210, 0x0250, 1234, 0};
};

} // namespace usbio
