#pragma once

#include "usbio/common/ComponentBase.h"

#include <QList>
#include <QPointer>

#include <memory>

namespace usbio {

class LibusbBackend;
class LibusbDevice;
class LibusbTransfer;

// A component instance of the "libusb" backend: one handle to a Vemo device
// found by libusb, one bound pipe, its own enumeration list. It keeps every
// rule of the component contract: transfer callbacks come from libusb's
// event handling on the main thread and only post events; the stops cancel
// and then wait, in libusb's event handling, until libusb has given the
// cancelled transfers back.
//
// Statuses, in the order they are checked, as on the simulated bus:
// NotOpened, DeviceGone, NotConfigured, NotBound, InvalidParameter,
// AlreadyRunning / NotRunning; libusb's own errors map to PermissionDenied
// (no access to the node), AccessDenied (claimed by another program),
// DeviceGone, TransferFailed (stall, overflow) and UsbError. The checks and
// the steps of the pipe are ComponentBase's; here the handle, the device's
// configuration and the transfers.
//
// Driver information on Linux: the API version is libusb's (major.minor),
// the driver version is the running kernel's (major.minor, the kernel's
// usbfs being the driver), the build its patch level, and flag 1 says that
// libusb reports plug-and-play.
class LibusbComponent : public ComponentBase
{
    Q_OBJECT
public:
    explicit LibusbComponent(LibusbBackend *backend, QObject *parent = nullptr);
    ~LibusbComponent() override;

    int EnumerateDevices(const QString &interfaceGuid) override;
    Status OpenDevice(int index) override;
    Status DescribeDevice(int index, DeviceDescription &description) override;
    Status GetDriverInfo(DriverInfo &info) override;
    Status GetDeviceAddress(DeviceAddress &address) override;
    QString ErrorText(Status status) override;

    // For tests: the transfers this instance holds.
    int pendingReads() const { return int(m_reads.size()); }
    int pendingWrites() const { return int(m_writes.size()); }

protected:
    Status checkOpen() const override;
    bool deviceConfigured() const override;
    Status configureDevice() override;
    void unconfigureDevice() override;
    // Starts reads until the requested number is pending (a finished read
    // keeps its slot until it is taken).
    Status fillReadSlots() override;
    void cancelReads() override { cancelAndDrain(m_reads); }
    Status submitWrite(const QByteArray &buffer) override;
    int writesInFlight() const override { return int(m_writes.size()); }
    void cancelWrites() override { cancelAndDrain(m_writes); }
    // libusb wants the pipe idle before its halt is cleared; it is.
    Status clearHalt() override;
    void releaseDevice() override;

private:
    friend class LibusbBackend;

    // Called by the backend.
    void deviceLeft(const LibusbDevice *device);
    void deviceConfigurationDropped(const LibusbDevice *device);
    void pnpEvent(EventId id, const QString &devicePath);
    void backendGone();

    void readFinished(LibusbTransfer *transfer);
    void writeFinished(LibusbTransfer *transfer);
    // Submits transfer and keeps it in transfers until it is done; one libusb
    // refuses is deleted, and its status returned.
    Status submit(LibusbTransfer *transfer, QList<LibusbTransfer *> &transfers);
    // Cancels the transfers and waits until libusb has given them back.
    void cancelAndDrain(QList<LibusbTransfer *> &transfers);

    QPointer<LibusbBackend> m_backend;
    QList<std::shared_ptr<LibusbDevice>> m_list;
    std::shared_ptr<LibusbDevice> m_device;
    QList<LibusbTransfer *> m_reads;
    QList<LibusbTransfer *> m_writes;
};

} // namespace usbio
