#include "link/VemoUSBinterface.h"

#include "link/Link_p.h"
#include "platform/HostServices.h"

#include <algorithm>
#include <cstring>
#include <exception>

using namespace devicelink;

namespace {

AnsiString hexNumber(quint32 value)
{
    return AnsiString::number(value, 16).toUpper();
}

} // namespace

TVemoUSBinterface::TVemoUSBinterface(QObject *Owner)
{
    try {
        FReader = new TUSBIOInterface3(Owner);
        FCommandWriter = new TUSBIOInterface3(Owner);
        FFileWriter = new TUSBIOInterface3(Owner);

        FReader->OnPnPRemoveNotification = [this](TObject *Sender, const IDispatchRef &Obj) {
            PnPRemoved(Sender, Obj);
        };
        FReader->OnPnPAddNotification = [this](TObject *Sender, const IDispatchRef &Obj) {
            PnPArrived(Sender, Obj);
        };
        FReader->OnReadComplete = [this](TObject *Sender, const IDispatchRef &Obj) {
            ReadComplete(Sender, Obj);
        };
        FCommandWriter->OnWriteComplete = [this](TObject *Sender, const IDispatchRef &Obj) {
            FCommandSender.WriteComplete(Sender, Obj);
        };
        FFileWriter->OnWriteComplete = [this](TObject *Sender, const IDispatchRef &Obj) {
            FFileTransfer.WriteComplete(Sender, Obj);
        };

        OnDeviceRemoved = nullptr;
        OnDeviceArrived = nullptr;
        OnReadDone = nullptr;
        OnCommandWritten = nullptr;
        OnDataReceived = nullptr;
        OnFileProgress = nullptr;
        OnFileFailed = nullptr;
        OnFileComplete = nullptr;
        Opened = false;
        FReceiving = false;

        // First use of each object: this creates its component instance.
        FReader->SetDeviceParameter(kDeviceParameter);
        FCommandWriter->SetDeviceParameter(kDeviceParameter);
        FFileWriter->SetDeviceParameter(kDeviceParameter);
    } catch (...) {
        // The object stays usable; ConnectInterfaces reports the missing
        // component to the window.
        platform::host().messageBox(QStringLiteral("Error init Vemo object"),
                                    QStringLiteral("Error"), platform::MB_OK);
    }
}

TVemoUSBinterface::~TVemoUSBinterface()
{
    *FAlive = false;
    // Each wrapper disconnects from its instance as it goes.
    delete FReader.data();
    delete FCommandWriter.data();
    delete FFileWriter.data();
}

template <typename Result>
void TVemoUSBinterface::CallOnAllThree(Result (TUSBIOInterface3::*Operation)())
{
    // Statuses of these calls are not looked at.
    (FReader->*Operation)();
    (FCommandWriter->*Operation)();
    (FFileWriter->*Operation)();
}

void TVemoUSBinterface::ConnectInterfaces()
{
    if (!FReader || !FCommandWriter || !FFileWriter)
        throw EOleSysError("USB I/O component objects missing", E_FAIL);
    CallOnAllThree(&TUSBIOInterface3::Connect);
}

usbio::Status TVemoUSBinterface::EnablePnP()
{
    return FReader->EnablePnPNotification(QString::fromLatin1(DeviceGuid));
}

int TVemoUSBinterface::ScanDevices()
{
    const QString guid = QString::fromLatin1(DeviceGuid);
    // Each instance keeps its own list; open device takes its position there.
    FReader->EnumerateDevices(guid);
    FCommandWriter->EnumerateDevices(guid);
    return FFileWriter->EnumerateDevices(guid);
}

usbio::Status TVemoUSBinterface::DescribeDevice(int Index, usbio::DeviceDescription &Description)
{
    return FReader->DescribeDevice(Index, Description);
}

usbio::Status TVemoUSBinterface::DeviceAddress(usbio::DeviceAddress &Address)
{
    if (!Opened)
        return usbio::status::NotOpened;
    return FReader->GetDeviceAddress(Address);
}

usbio::Status TVemoUSBinterface::OpenDevice(int Index)
{
    if (Opened)
        return usbio::status::AlreadyOpened;

    FReader->OpenDevice(Index);
    FCommandWriter->OpenDevice(Index);
    usbio::Status status = FFileWriter->OpenDevice(Index);
    if (status != 0) {
        if (status == usbio::status::VersionMismatch) {
            platform::host().messageBox(
                QStringLiteral("Please be shure to have latest driver installed!"),
                QStringLiteral("Driver Error!"), 0);
        } else if (status == usbio::status::DeviceGone) {
            CallOnAllThree(&TUSBIOInterface3::CloseDevice);
            Opened = false;
        }
        return status;
    }

    StopReceive();
    FinishCommandWrite();
    CallOnAllThree(&TUSBIOInterface3::UnconfigureDevice);
    CallOnAllThree(&TUSBIOInterface3::DeleteInterfaces);
    FReader->AddInterface(0, 0, kMaximumTransferSize);
    FCommandWriter->AddInterface(0, 0, kMaximumTransferSize);
    status = FFileWriter->AddInterface(0, 0, kMaximumTransferSize);
    if (status != 0)
        return status;

    status = FReader->SetConfiguration(0);
    if (status != 0) {
        CallOnAllThree(&TUSBIOInterface3::DeleteInterfaces);
        CallOnAllThree(&TUSBIOInterface3::UnconfigureDevice);
        return status;
    }

    FReader->Bind(kReadEndpoint);
    FCommandWriter->Bind(kCommandEndpoint);
    status = FFileWriter->Bind(kFileEndpoint);
    if (status != 0) {
        CallOnAllThree(&TUSBIOInterface3::Unbind);
        CallOnAllThree(&TUSBIOInterface3::UnconfigureDevice);
        CallOnAllThree(&TUSBIOInterface3::DeleteInterfaces);
        return status;
    }

    Opened = true;
    return 0;
}

void TVemoUSBinterface::CloseDevice()
{
    if (!Opened)
        return;

    // The chunk in flight may be the one that completes the image: let it
    // finish, or be refused, before the close cancels it.
    if (!FFileTransfer.FinishChunkInFlight())
        return; // the link is gone
    if (!Opened)
        return; // a handler inside the wait closed the device

    const std::optional<TFileTransfer::Ending> transferEnded = FFileTransfer.EndForClose();
    CallOnAllThree(&TUSBIOInterface3::CloseDevice);
    Opened = false;
    FCommandSender.DeviceClosed();
    // The transfer's end is reported last.
    if (transferEnded)
        FFileTransfer.Closed(*transferEnded);
}

AnsiString TVemoUSBinterface::StatusText(long Status)
{
    if (Status == 0)
        return AnsiString("Success!");
    try {
        return FReader->ErrorText(static_cast<usbio::Status>(Status)).toLocal8Bit();
    } catch (const std::exception &error) {
        platform::host().showException(QString::fromLocal8Bit(error.what()));
    } catch (...) {
        platform::host().showException(QStringLiteral("Unknown error while getting a status text"));
    }
    return AnsiString();
}

usbio::Status TVemoUSBinterface::QueryDriverInfo(AnsiString &Api, AnsiString &Driver,
                                                 AnsiString &Build, AnsiString &Flags)
{
    usbio::DriverInfo info;
    const usbio::Status status = FReader->GetDriverInfo(info);
    Api = hexNumber(info.apiVersion / 256) + '.' + hexNumber(info.apiVersion % 256);
    Driver = AnsiString::number(info.driverVersion / 256) + '.' +
             AnsiString::number(info.driverVersion % 256);
    Build = AnsiString::number(info.driverBuild);
    Flags = AnsiString::number(info.flags);
    return status;
}

void TVemoUSBinterface::PnPRemoved(TObject *Sender, const IDispatchRef &Obj)
{
    callBack(OnDeviceRemoved, Sender, Obj);
}

void TVemoUSBinterface::PnPArrived(TObject *Sender, const IDispatchRef &Obj)
{
    callBack(OnDeviceArrived, Sender, Obj);
}

// ---- Receive path ----------------------------------------------------------

usbio::Status TVemoUSBinterface::StartReceive(bool ResetFirst)
{
    if (FReceiving)
        return 0; // already reading, as asked
    if (ResetFirst) {
        const usbio::Status status = FReader->ResetPipe();
        if (status != 0)
            return status;
    }
    FReadBuffer = QByteArray(kReadBufferSize, '\0');
    const usbio::Status status = FReader->StartReading(kReadBufferSize, kBuffers, kErrorLimit);
    if (status != 0) {
        FReceiving = false;
        FReader->StopReading();
        FReadBuffer = QByteArray();
        return status;
    }
    FReceiving = true;
    return 0;
}

usbio::Status TVemoUSBinterface::StopReceive()
{
    if (!FReceiving)
        return 0;
    FReceiving = false;
    FReader->StopReading();
    const usbio::Status status = FReader->ResetPipe();
    FReadBuffer = QByteArray();
    return status;
}

void TVemoUSBinterface::ReadComplete(TObject *Sender, const IDispatchRef &Obj)
{
    if (!FReceiving)
        return; // a read that finished after reading was stopped

    int count = 0;
    const usbio::Status status = FReader->ReadData(FReadBuffer, count);
    if (status != 0) {
        // Silent restart; when it fails, reading stays stopped until the
        // window starts it again.
        FReceiving = false;
        FReader->StopReading();
        FReadBuffer = QByteArray();
        StartReceive(true);
        return;
    }

    // Up to the first zero byte, never more than the read gave (bytes of an
    // earlier, longer read may still sit behind them).
    const qsizetype limit = std::clamp<qsizetype>(count, 0, FReadBuffer.size());
    const char *bytes = FReadBuffer.constData();
    const char *end = static_cast<const char *>(std::memchr(bytes, 0, size_t(limit)));
    AnsiString text(bytes, end ? end - bytes : limit);

    if (OnReadDone) {
        const std::shared_ptr<bool> alive = FAlive;
        callBack(OnReadDone, Sender, Obj);
        if (!*alive)
            return;
    }
    callBack(OnDataReceived, Sender, text);
}
