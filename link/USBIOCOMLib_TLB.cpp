#include "link/USBIOCOMLib_TLB.h"

#include "usbio/Backend.h"

namespace {

// An operation without an interface makes no call: it raises, as the
// component's support layer does for "intf != 0".
usbio::Component *checkedInterface(TUSBIOInterface3 *wrapper, const char *file, int line)
{
    usbio::Component *intf = wrapper->GetDefaultInterface();
    if (!intf)
        throw EOleSysError(
            QString::asprintf("%s failed - %s/%d", "intf != 0", file, line).toStdString(), E_FAIL);
    return intf;
}

} // namespace

#define VEMO_INTF() checkedInterface(this, __FILE__, __LINE__)

TUSBIOInterface3::TUSBIOInterface3(QObject *Owner) : QObject(Owner) {}

TUSBIOInterface3::~TUSBIOInterface3()
{
    Disconnect();
}

void TUSBIOInterface3::Connect()
{
    if (FIntf)
        return;
    std::unique_ptr<usbio::Component> intf = usbio::createComponent();
    if (!intf)
        throw EOleSysError("Class not registered", REGDB_E_CLASSNOTREG);
    connect(intf.get(), &usbio::Component::eventRaised, this, &TUSBIOInterface3::dispatchEvent);
    FIntf = std::move(intf);
}

usbio::Component *TUSBIOInterface3::GetDefaultInterface()
{
    if (!FIntf) {
        try {
            Connect();
        } catch (const EOleSysError &) {
            // The operation that asked reports the missing interface.
            return nullptr;
        }
    }
    return FIntf.get();
}

void TUSBIOInterface3::Disconnect()
{
    if (!FIntf)
        return;
    disconnect(FIntf.get(), nullptr, this, nullptr);
    FIntf.reset();
}

bool TUSBIOInterface3::IsConnected() const
{
    return FIntf != nullptr;
}

void TUSBIOInterface3::dispatchEvent(usbio::EventId id, const usbio::EventObjectRef &object)
{
    TUSBIOEvent handler;
    switch (id) {
    case usbio::EventId::ReadComplete:
        handler = OnReadComplete;
        break;
    case usbio::EventId::WriteComplete:
        handler = OnWriteComplete;
        break;
    case usbio::EventId::WriteStatusAvailable:
        handler = OnWriteStatusAvailable;
        break;
    case usbio::EventId::PnPAddNotification:
        handler = OnPnPAddNotification;
        break;
    case usbio::EventId::PnPRemoveNotification:
        handler = OnPnPRemoveNotification;
        break;
    }
    // A copy: the handler may rebind the closure or destroy this wrapper.
    if (handler)
        handler(this, object);
}

int TUSBIOInterface3::EnumerateDevices(const QString &InterfaceGuid)
{
    return VEMO_INTF()->EnumerateDevices(InterfaceGuid);
}

usbio::Status TUSBIOInterface3::DescribeDevice(int DeviceNumber,
                                               usbio::DeviceDescription &Description)
{
    return VEMO_INTF()->DescribeDevice(DeviceNumber, Description);
}

usbio::Status TUSBIOInterface3::OpenDevice(int DeviceNumber)
{
    return VEMO_INTF()->OpenDevice(DeviceNumber);
}

void TUSBIOInterface3::CloseDevice()
{
    VEMO_INTF()->CloseDevice();
}

usbio::Status TUSBIOInterface3::GetDriverInfo(usbio::DriverInfo &Info)
{
    return VEMO_INTF()->GetDriverInfo(Info);
}

usbio::Status TUSBIOInterface3::GetDeviceAddress(usbio::DeviceAddress &Address)
{
    return VEMO_INTF()->GetDeviceAddress(Address);
}

void TUSBIOInterface3::SetDeviceParameter(int Value)
{
    VEMO_INTF()->SetDeviceParameter(Value);
}

usbio::Status TUSBIOInterface3::AddInterface(int InterfaceIndex, int AlternateSettingIndex,
                                             int MaximumTransferSize)
{
    return VEMO_INTF()->AddInterface(InterfaceIndex, AlternateSettingIndex, MaximumTransferSize);
}

void TUSBIOInterface3::DeleteInterfaces()
{
    VEMO_INTF()->DeleteInterfaces();
}

usbio::Status TUSBIOInterface3::SetConfiguration(int ConfigurationIndex)
{
    return VEMO_INTF()->SetConfiguration(ConfigurationIndex);
}

usbio::Status TUSBIOInterface3::UnconfigureDevice()
{
    return VEMO_INTF()->UnconfigureDevice();
}

QString TUSBIOInterface3::ErrorText(usbio::Status Status)
{
    usbio::Component *intf = VEMO_INTF();
    try {
        return intf->ErrorText(Status);
    } catch (const usbio::ComponentError &error) {
        // The one component failure passed on to the caller.
        throw EOleSysError(QString::asprintf("'%s': %s @ %s/%d", "intf->ErrorText(Status)",
                                             error.what(), __FILE__, __LINE__)
                               .toStdString(),
                           E_FAIL);
    }
}

usbio::Status TUSBIOInterface3::Bind(quint8 EndpointAddress)
{
    return VEMO_INTF()->Bind(EndpointAddress);
}

usbio::Status TUSBIOInterface3::Unbind()
{
    return VEMO_INTF()->Unbind();
}

usbio::Status TUSBIOInterface3::StartReading(int SizeOfBuffer_IN, int NumberOfBuffers,
                                             int MaxErrorCount)
{
    return VEMO_INTF()->StartReading(SizeOfBuffer_IN, NumberOfBuffers, MaxErrorCount);
}

usbio::Status TUSBIOInterface3::ReadData(QByteArray &Buffer, int &ByteCount)
{
    return VEMO_INTF()->ReadData(Buffer, ByteCount);
}

void TUSBIOInterface3::StopReading()
{
    VEMO_INTF()->StopReading();
}

usbio::Status TUSBIOInterface3::StartWriting(int SizeOfBuffer_OUT, int NumberOfBuffers,
                                             int MaxErrorCount, bool WriteStatus)
{
    return VEMO_INTF()->StartWriting(SizeOfBuffer_OUT, NumberOfBuffers, MaxErrorCount, WriteStatus);
}

usbio::Status TUSBIOInterface3::WriteData(const QByteArray &Buffer, quint32 UserId)
{
    return VEMO_INTF()->WriteData(Buffer, UserId);
}

void TUSBIOInterface3::StopWriting()
{
    VEMO_INTF()->StopWriting();
}

usbio::Status TUSBIOInterface3::ResetPipe()
{
    return VEMO_INTF()->ResetPipe();
}

usbio::Status TUSBIOInterface3::AbortPipe()
{
    return VEMO_INTF()->AbortPipe();
}

usbio::Status TUSBIOInterface3::EnablePnPNotification(const QString &Guid)
{
    return VEMO_INTF()->EnablePnPNotification(Guid);
}
