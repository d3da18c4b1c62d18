#pragma once

#include "usbio/Component.h"
#include "usbio/common/ComponentState.h"

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
// interface declared on this instance (NoInterface).
class SimComponent : public Component
{
    Q_OBJECT
public:
    explicit SimComponent(SimBus *bus, QObject *parent = nullptr);
    ~SimComponent() override;

    int EnumerateDevices(const QString &interfaceGuid) override;
    Status OpenDevice(int index) override;
    Status DescribeDevice(int index, DeviceDescription &description) override;
    void CloseDevice() override;
    Status GetDriverInfo(DriverInfo &info) override;
    Status GetDeviceAddress(DeviceAddress &address) override;
    void SetDeviceParameter(int value) override;
    Status AddInterface(int interfaceNumber, int alternateSetting,
                        int maximumTransferSize) override;
    void DeleteInterfaces() override;
    Status SetConfiguration(int configurationIndex) override;
    Status UnconfigureDevice() override;
    QString ErrorText(Status status) override;
    Status Bind(quint8 endpointAddress) override;
    Status Unbind() override;
    Status StartReading(int sizeOfBuffer, int numberOfBuffers, int maxErrorCount) override;
    Status ReadData(QByteArray &buffer, int &byteCount) override;
    void StopReading() override;
    Status StartWriting(int sizeOfBuffer, int numberOfBuffers, int maxErrorCount,
                        bool writeStatus) override;
    Status WriteData(const QByteArray &buffer, quint32 userTag) override;
    void StopWriting() override;
    Status ResetPipe() override;
    Status AbortPipe() override;
    Status EnablePnPNotification(const QString &interfaceGuid) override;

    // For tests: what this instance holds.
    SimDevice *openDevice() const;
    quint8 boundEndpoint() const { return m_state.endpoint(); }
    int deviceParameter() const { return m_parameter; }
    bool isReading() const { return m_state.isReading(); }
    bool isWriting() const { return m_state.isWriting(); }
    int pendingWrites() const { return int(m_writes.size()); }
    int finishedReads() const { return m_state.finishedReads(); }

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
    // NotOpened / DeviceGone / 0 for operations on the open device.
    Status checkOpen() const;
    // checkOpen, then NotConfigured and NotBound.
    Status checkPipe() const;
    void schedulePump();
    void pump();
    void completeWrite(quint64 id);
    // Pending writes never complete; completions posted are not delivered.
    void cancelWrites();
    // Finished reads are gone; their completions posted are not delivered.
    void dropFinishedReads();
    void releasePipe();

    QPointer<SimBus> m_bus;
    QList<QPointer<SimDevice>> m_list;
    QPointer<SimDevice> m_device;
    quint64 m_session = 0;
    int m_parameter = 0;
    ComponentState m_state;
    bool m_pumpScheduled = false;
    quint64 m_nextWriteId = 0;
    QList<PendingWrite> m_writes;
};

} // namespace usbio
