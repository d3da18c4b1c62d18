#pragma once

#include "usbio/Component.h"
#include "usbio/capture/UsbmonPacket.h"

#include <QList>

#include <memory>

namespace usbio {

class CaptureFile;

// A component that hands every operation to the component of the backend
// that runs (simulated or libusb) and writes the transfers they make into
// a capture file, as usbmon would see them on a Linux host: every read and
// write as a submission and a completion on its endpoint, the standard
// requests that select the configuration and clear a pipe's halt as control
// transfers on endpoint 0, a write the component refuses as an error event.
//
// It keeps the contract by keeping nothing of its own: statuses are the
// inner component's, and its events are the inner component's, passed on
// as they are delivered (from the event loop, never inside an operation).
//
// The transfers are what the contract promises of the inner component:
// StartReading keeps numberOfBuffers reads of sizeOfBuffer bytes pending,
// each read ReadData takes is completed and, while reading goes on and the
// failures in a row stay below maxErrorCount, replaced by a new one; a stop
// completes what it ends as unlinked (-ENOENT), or as gone (-ENODEV) once
// the device has left. So both backends give the same capture of the same
// conversation.
class CaptureComponent : public Component
{
    Q_OBJECT
public:
    CaptureComponent(std::unique_ptr<Component> inner, std::shared_ptr<CaptureFile> file,
                     QObject *parent = nullptr);
    ~CaptureComponent() override;

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

private:
    struct PendingWrite
    {
        quint64 urbId = 0;
        quint32 length = 0;
    };

    void innerEvent(EventId id, const EventObjectRef &object);
    // Notes a status an operation gave: DeviceGone means the device left.
    Status seen(Status status);

    // A packet of this instance's device on endpoint.
    UsbmonPacket packet(UsbmonPacket::Event event, quint8 endpoint, quint64 urbId) const;
    void record(UsbmonPacket &packet);
    void submitRead();
    void completeRead(qint32 status, const QByteArray &data);
    // The standard request setup (no data stage) on endpoint 0 and its result.
    void controlRequest(quint8 requestType, quint8 request, quint16 value, quint16 index,
                        Status result);
    // Completes every pending read (write) as ended by the host, or as gone.
    void endReads();
    void endWrites();
    void endTransfers();
    qint32 endedStatus() const;
    bool readRefillAllowed() const;

    std::unique_ptr<Component> m_inner;
    std::shared_ptr<CaptureFile> m_file;

    bool m_open = false;
    bool m_gone = false;
    DeviceAddress m_address;
    quint8 m_endpoint = 0; // the bound pipe; 0: none

    bool m_reading = false;
    int m_readSize = 0;
    int m_readBuffers = 0;
    int m_maxReadErrors = 0;
    int m_readErrors = 0;
    QList<quint64> m_reads; // pending, oldest first
    QList<PendingWrite> m_writes;
};

} // namespace usbio
