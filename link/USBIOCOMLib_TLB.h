#pragma once

#include "usbio/Component.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>
#include <stdexcept>

// The component's identifiers, as its type library gives them.
namespace USBIOCOMLib {
inline constexpr const char *LIBID_USBIOCOMLib = "{F95AB400-6BA5-44DD-BF19-AAB5AD44CD65}";
inline constexpr const char *CLSID_USBIOInterface3 = "{B949A098-6A08-4EEE-B32D-CA0D19BBF24E}";
inline constexpr const char *IID_IUSBIOInterface3 = "{775938FE-790A-476E-BA6D-20BE61EFE5BC}";
inline constexpr const char *DIID__IUSBIOInterfaceEvents3 =
    "{3C83A43F-CFD4-4781-8949-04EDDBD3E191}";
} // namespace USBIOCOMLib

using TObject = QObject;
// Device text: 8-bit, one byte per character, as the device sends it.
using AnsiString = QByteArray;
// The argument of a component event (an IDispatch reference in COM terms);
// null when the event carries none.
using IDispatchRef = usbio::EventObjectRef;
// A closure: empty means unset, and an unset closure is not called.
using TUSBIOEvent = std::function<void(TObject *Sender, const IDispatchRef &Obj)>;

// An error of the component's object layer: the component is not registered
// (cannot be created), or an interface is missing. Code is the COM result.
class EOleSysError : public std::runtime_error
{
public:
    EOleSysError(const std::string &message, quint32 code) : std::runtime_error(message), Code(code)
    {}
    quint32 Code;
};

constexpr quint32 REGDB_E_CLASSNOTREG = 0x80040154;
constexpr quint32 E_FAIL = 0x80004005;

// Wrapper of one component instance. Connect creates the instance from the
// selected backend and subscribes to its events; the events reach the
// closures below only through the event loop.
class TUSBIOInterface3 : public QObject
{
    Q_OBJECT
public:
    explicit TUSBIOInterface3(QObject *Owner = nullptr);
    ~TUSBIOInterface3() override; // disconnects

    // Creates the component instance; raises EOleSysError when the backend
    // is not registered. Nothing happens when already connected.
    void Connect();
    // The instance's interface, connecting first when needed.
    usbio::Component *GetDefaultInterface();
    // Unsubscribes and releases the instance.
    void Disconnect();
    bool IsConnected() const;

    TUSBIOEvent OnReadComplete;
    TUSBIOEvent OnWriteComplete;
    TUSBIOEvent OnWriteStatusAvailable;
    TUSBIOEvent OnPnPAddNotification;
    TUSBIOEvent OnPnPRemoveNotification;

    // The component's operations; each returns its status (0 = success).
    int EnumerateDevices(const QString &InterfaceGuid);
    usbio::Status OpenDevice(int DeviceNumber);
    usbio::Status DescribeDevice(int DeviceNumber, usbio::DeviceDescription &Description);
    void CloseDevice();
    usbio::Status GetDriverInfo(usbio::DriverInfo &Info);
    // Where the open device sits; DeviceGone once it has left the bus.
    usbio::Status GetDeviceAddress(usbio::DeviceAddress &Address);
    void SetDeviceParameter(int Value);
    usbio::Status AddInterface(int InterfaceIndex, int AlternateSettingIndex,
                               int MaximumTransferSize);
    void DeleteInterfaces();
    usbio::Status SetConfiguration(int ConfigurationIndex);
    usbio::Status UnconfigureDevice();
    QString ErrorText(usbio::Status Status);
    usbio::Status Bind(quint8 EndpointAddress);
    usbio::Status Unbind();
    usbio::Status StartReading(int SizeOfBuffer_IN, int NumberOfBuffers, int MaxErrorCount);
    usbio::Status ReadData(QByteArray &Buffer, int &ByteCount);
    void StopReading();
    usbio::Status StartWriting(int SizeOfBuffer_OUT, int NumberOfBuffers, int MaxErrorCount,
                               bool WriteStatus);
    usbio::Status WriteData(const QByteArray &Buffer, quint32 UserId);
    void StopWriting();
    usbio::Status ResetPipe();
    usbio::Status AbortPipe();
    usbio::Status EnablePnPNotification(const QString &Guid);

private:
    void dispatchEvent(usbio::EventId id, const usbio::EventObjectRef &object);
    std::unique_ptr<usbio::Component> FIntf;
};
