#pragma once

#include "usbio/Status.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>
#include <stdexcept>

namespace usbio {

struct DriverInfo
{
    quint32 apiVersion = 0;    // high byte major, low byte minor
    quint32 driverVersion = 0; // high byte major, low byte minor
    quint32 driverBuild = 0;
    quint32 flags = 0;
};

// Where the open device sits: its bus number and its address on that bus,
// as the host numbers them (a capture of the traffic names the device so).
struct DeviceAddress
{
    int bus = 0;
    int address = 0;
};

// What a device of an instance's enumeration list says of itself in its
// descriptors, read without opening it for transfers: no interface is
// claimed and no handle is taken, so a device another program drives is
// described all the same.
struct DeviceDescription
{
    quint16 vendorId = 0;
    quint16 productId = 0;
    // bcdDevice: the release of what runs in the device, in BCD (0x0210 is
    // 2.10); the Vemo firmware gives its version here, the loader its own.
    quint16 release = 0;
    // The serial-number string; empty when the device gives none (the
    // loader gives none).
    QString serialNumber;
    // Where the device is plugged in, kept while it stays there, across a
    // restart too: libusb "<bus>-<port>[.<port>...]" as the kernel numbers
    // the ports; the simulated bus the device's id.
    QString busPath;
    // The device path its plug-and-play events carry.
    QString devicePath;
};

// "2.10" for release 0x0210: the high byte and the low byte as BCD digits,
// the low one always two.
QString releaseText(quint16 release);

// The event identifiers, numbered as the component's dispatch ids.
enum class EventId : int
{
    ReadComplete = 1,
    WriteComplete = 2,
    WriteStatusAvailable = 3,
    PnPAddNotification = 4,
    PnPRemoveNotification = 5,
};

// The one argument an event carries (the object a COM event would hand
// over). Read and write completions carry none; plug-and-play events carry
// the device path of the device that came or went.
struct EventObject
{
    QString devicePath;
};
using EventObjectRef = std::shared_ptr<const EventObject>;

// Raised by a component operation that fails outside its status (the
// component of a COM server would give a failing HRESULT).
class ComponentError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

// One instance of the USB I/O component: serves one device handle and one
// bound pipe, and keeps its own enumeration list. The device link holds three
// (reader on IN 0x81, command writer on OUT 0x01, file writer on OUT 0x02)
// and relies on every rule below; each backend keeps all of them.
//
// Threads. A component lives on one thread, the main thread, and every
// operation is called there. Events are never raised from inside an
// operation: the component posts them to the Qt event loop of its thread and
// eventRaised is emitted from there, so handlers run exactly when that thread
// processes messages. A component destroyed before an event is delivered
// drops it.
//
// Enumeration. Each instance keeps the list of its last EnumerateDevices,
// and OpenDevice and DescribeDevice take a position in it. The order is stable: the same
// devices give the same order on every instance (the simulated bus: attach
// order; libusb: by bus number, then port path). Only the vendor's devices
// of the Vemo driver interface are listed.
//
// The device is shared. The configuration and the claimed interface belong
// to the device, not to the instance: the instances that opened the same
// device share them. SetConfiguration on one configures the device for all
// (the others bind without selecting it again); UnconfigureDevice drops it
// for all, ending their transfers without events; the device is released
// when the last instance closes it.
//
// Reading. StartReading keeps the requested number of reads pending on the
// bound IN pipe; each read that finishes raises one ReadComplete, and
// ReadData takes the oldest finished read. A finished read holds its slot
// until ReadData takes it. After maxErrorCount failed reads in a row no new
// read is started until reading is started again or the pipe is reset.
//
// Completions of a stopped reading session are not delivered. StopReading,
// and every operation that drops finished reads (ResetPipe or AbortPipe on
// the IN pipe, Unbind, UnconfigureDevice, CloseDevice, a new OpenDevice),
// ends the reading session: a ReadComplete posted before it is never
// delivered, also not after reading is started again.
//
// Writing. Each WriteData is one transfer on the bound OUT pipe and raises
// one WriteComplete once the device has taken the data. A cancelled write
// raises no WriteComplete: AbortPipe, ResetPipe on an OUT pipe, StopWriting,
// Unbind, UnconfigureDevice and CloseDevice cancel the pending writes of the
// pipe, and a WriteComplete posted but not yet delivered when one of them is
// called is dropped too. When the device leaves, the writes it has not taken
// are cancelled; one it took still completes (the last chunk of an image,
// after which the loader restarts the device). A write the device
// refuses (a stalled pipe) raises no WriteComplete either: the pipe stays
// halted and WriteData refuses with TransferFailed until ResetPipe.
//
// Stops are synchronous. When StopReading, StopWriting, AbortPipe,
// ResetPipe, Unbind, UnconfigureDevice or CloseDevice returns, nothing it
// cancelled is in flight any more and none of it raises an event. A backend
// may run its own event handling inside them (never the Qt event loop) until
// its cancellations have completed; the wait is bounded.
//
// A device that is gone. When the device leaves the bus (unplugged, or
// restarting), each read pending on an instance that opened it ends with one
// ReadComplete whose ReadData gives DeviceGone, its pending writes are
// cancelled, and then every instance with plug-and-play notification enabled
// gets PnPRemoveNotification. Every operation on a handle opened before it
// left gives DeviceGone until the instance closes or opens again; a device
// back on the bus is a new device and needs EnumerateDevices and OpenDevice.
// Arrivals give PnPAddNotification once the device can be opened. Both
// events carry the device path of the device that came or went.
class Component : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;
    ~Component() override = default;

    // Enumerates the devices of the driver interface guid into this
    // instance's list; returns the number found.
    virtual int EnumerateDevices(const QString &interfaceGuid) = 0;
    // Opens the device at index (0-based) of this instance's list.
    virtual Status OpenDevice(int index) = 0;
    // Describes the device at index of this instance's list from its
    // descriptors, as it is now: NoSuchDevice outside the list, DeviceGone
    // for a device that left since the enumeration, else Success with
    // description filled in. Opens nothing and claims nothing: it works on a
    // device another instance or program holds, and changes nothing for it.
    virtual Status DescribeDevice(int index, DeviceDescription &description) = 0;
    virtual void CloseDevice() = 0;
    virtual Status GetDriverInfo(DriverInfo &info) = 0;
    // The bus and address of the open device: NotOpened, DeviceGone, or
    // Success with address filled in.
    virtual Status GetDeviceAddress(DeviceAddress &address) = 0;
    // A numeric device setting (the link passes 50000); nothing is looked at.
    virtual void SetDeviceParameter(int value) = 0;
    // Declares an interface for the next configuration.
    virtual Status AddInterface(int interfaceNumber, int alternateSetting,
                                int maximumTransferSize) = 0;
    virtual void DeleteInterfaces() = 0;
    virtual Status SetConfiguration(int configurationIndex) = 0;
    virtual Status UnconfigureDevice() = 0;
    // A readable English text for a status; may raise ComponentError.
    virtual QString ErrorText(Status status) = 0;
    virtual Status Bind(quint8 endpointAddress) = 0;
    virtual Status Unbind() = 0;
    // Keeps numberOfBuffers reads of sizeOfBuffer bytes pending on the bound
    // IN pipe; each finished read raises one ReadComplete.
    virtual Status StartReading(int sizeOfBuffer, int numberOfBuffers, int maxErrorCount) = 0;
    // Takes the oldest finished read. The component may replace buffer by an
    // array of its own; byteCount is the number of bytes the read gave.
    virtual Status ReadData(QByteArray &buffer, int &byteCount) = 0;
    virtual void StopReading() = 0;
    virtual Status StartWriting(int sizeOfBuffer, int numberOfBuffers, int maxErrorCount,
                                bool writeStatus) = 0;
    // Queues buffer for the bound OUT pipe; one WriteComplete follows when it
    // has been sent.
    virtual Status WriteData(const QByteArray &buffer, quint32 userTag) = 0;
    virtual void StopWriting() = 0;
    virtual Status ResetPipe() = 0;
    // Cancels the pending transfers of the bound pipe.
    virtual Status AbortPipe() = 0;
    // From now on, devices of interfaceGuid arriving or leaving raise
    // PnPAddNotification / PnPRemoveNotification.
    virtual Status EnablePnPNotification(const QString &interfaceGuid) = 0;

Q_SIGNALS:
    void eventRaised(usbio::EventId id, usbio::EventObjectRef object);

protected:
    // Queues an event for the event loop; the only way a backend raises one.
    // Plug-and-play events go through here.
    void postEvent(EventId id, EventObjectRef object = nullptr);
    // Queues a ReadComplete / WriteComplete that is dropped when the reading
    // (writing) session ends before the event loop gets to it.
    void postReadComplete();
    void postWriteComplete();
    // Ends the session: completions posted so far are not delivered.
    void endReadSession();
    void endWriteSession();

private:
    quint64 m_readSession = 0;
    quint64 m_writeSession = 0;
};

} // namespace usbio

Q_DECLARE_METATYPE(usbio::EventId)
Q_DECLARE_METATYPE(usbio::EventObjectRef)
