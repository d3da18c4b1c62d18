#pragma once

#include "usbio/common/ComponentBase.h"

#include <QList>
#include <QPointer>

namespace usbio {

class SimBus;
class SimDevice;

// A component instance of the "sim" backend: one handle to a device of the
// simulated bus, one bound pipe, its own enumeration list.
//
// Statuses, in the order they are checked: NotOpened (no open device),
// DeviceGone (the device left the bus since it was opened), NotConfigured
// (pipe operations while the device has no configuration), NotBound,
// InvalidParameter, AlreadyRunning / NotRunning, then the device's injected
// faults. Bind needs a configuration; select configuration needs an
// interface declared on this instance (NoInterface). The checks and the
// steps of the pipe are ComponentBase's; here the simulated bus: the handle,
// the device's configuration, its faults, and the transfers.
class SimComponent : public ComponentBase
{
    Q_OBJECT
public:
    explicit SimComponent(SimBus *bus, QObject *parent = nullptr);
    ~SimComponent() override;

    int EnumerateDevices(const QString &interfaceGuid) override;
    Status OpenDevice(int index) override;
    Status DescribeDevice(int index, DeviceDescription &description) override;
    Status GetDriverInfo(DriverInfo &info) override;
    Status GetDeviceAddress(DeviceAddress &address) override;
    QString ErrorText(Status status) override;

    // For tests: what this instance holds.
    SimDevice *openDevice() const;
    int pendingWrites() const { return int(m_writes.size()); }

protected:
    Status checkOpen() const override;
    bool deviceConfigured() const override;
    // The device's injected faults.
    Status refusal(Step step) override;
    Status configureDevice() override;
    void unconfigureDevice() override;
    // Every read slot not holding a finished read is pending on the device:
    // the pump finishes those the device has something for.
    Status fillReadSlots() override;
    void cancelReads() override {}
    Status submitWrite(const QByteArray &buffer) override;
    int writesInFlight() const override { return int(m_writes.size()); }
    // Pending writes never complete.
    void cancelWrites() override { m_writes.clear(); }
    void releaseDevice() override;

private:
    friend class SimBus;
    struct PendingWrite
    {
        quint64 id = 0;
        QByteArray data;
    };

    // Called by the bus.
    void deviceDataAvailable(SimDevice *device);
    void deviceLeft(SimDevice *device);
    void pnpEvent(EventId id, const SimDevice *device);

    // The open device while it is still the one opened; null otherwise.
    SimDevice *present() const;
    void schedulePump();
    void pump();
    void completeWrite(quint64 id);

    QPointer<SimBus> m_bus;
    QList<QPointer<SimDevice>> m_list;
    QPointer<SimDevice> m_device;
    quint64 m_session = 0;
    bool m_pumpScheduled = false;
    quint64 m_nextWriteId = 0;
    QList<PendingWrite> m_writes;
};

} // namespace usbio
