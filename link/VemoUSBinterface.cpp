#include "link/VemoUSBinterface.h"

#include "files/RegularFile.h"
#include "platform/HostServices.h"

#include <QElapsedTimer>
#include <QFile>
#include <QMetaObject>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <exception>
#include <limits>
#include <utility>

namespace {

// Geometry of the three pipes.
constexpr int kReadBufferSize = 16;
constexpr int kCommandPieceSize = 16;
constexpr int kFileChunkSize = 64;
constexpr int kBuffers = 5;
constexpr int kErrorLimit = 5;
constexpr int kDeviceParameter = 50000;
constexpr int kMaximumTransferSize = 64000;
constexpr quint8 kReadEndpoint = 0x81;
constexpr quint8 kCommandEndpoint = 0x01;
constexpr quint8 kFileEndpoint = 0x02;

// Rounds of message processing a new piece grants the writer of the piece
// before it, before stopping that writer itself.
constexpr int kWriterStopRounds = 7;

// Millisecond time stamps of a monotonic clock, for the command wait.
qint64 nowMs()
{
    static QElapsedTimer clock = [] {
        QElapsedTimer started;
        started.start();
        return started;
    }();
    return clock.elapsed();
}

AnsiString hexNumber(quint32 value)
{
    return AnsiString::number(value, 16).toUpper();
}

// Calls a closure when it is set, through a copy: the handler may destroy
// the link or rebind the closure, and the one running must outlive it.
template <typename Closure, typename... Args> void callBack(const Closure &closure, Args &&...args)
{
    if (!closure)
        return;
    const Closure running = closure;
    running(std::forward<Args>(args)...);
}

} // namespace

TVemoUSBinterface::TVemoUSBinterface(QObject *Owner) : FChunkTimer(std::make_unique<QTimer>())
{
    FChunkTimer->setSingleShot(true);
    QObject::connect(FChunkTimer.get(), &QTimer::timeout, FChunkTimer.get(),
                     [this] { ChunkTimedOut(); });
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
            CommandWriteComplete(Sender, Obj);
        };
        FFileWriter->OnWriteComplete = [this](TObject *Sender, const IDispatchRef &Obj) {
            FileWriteComplete(Sender, Obj);
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
        FWritePending = false;
        FCommandWriting = false;
        FReceiving = false;
        FFileSending = false;
        FWriteTag = 0;

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
    if (FileChunkInFlight()) {
        if (!WaitForChunkInFlight())
            return; // the link is gone
        if (!Opened)
            return; // a handler inside the wait closed the device
    }

    // A transfer does not outlive the device: one left running would refuse
    // every later SendFile.
    const bool transferEnded = FFileSending;
    usbio::Status reason = usbio::status::Success;
    if (transferEnded) {
        if (FileDeviceGone())
            reason = usbio::status::DeviceGone;
        else if (FileChunkInFlight())
            reason = usbio::status::Timeout; // neither taken nor refused in time
        else
            reason = usbio::status::Cancelled; // stopped between two chunks
    }
    const AnsiString fileName = FFileName;
    const qint64 taken = FFileTaken;
    const qint64 size = FFileSize;
    if (transferEnded)
        EndFileTransfer(true);
    const bool pieceInFlight = FWritePending;

    CallOnAllThree(&TUSBIOInterface3::CloseDevice);
    Opened = false;
    FWritePending = false;
    // Behind whatever the writers queued up to and including the close.
    if (transferEnded)
        DropQueuedCompletions(FFileWriter.data(), FStaleFileCompletions);
    if (pieceInFlight)
        DropQueuedCompletions(FCommandWriter.data(), FStaleCommandCompletions);

    if (transferEnded)
        callBack(OnFileFailed, FFileWriter.data(), fileName, taken, size, reason);
}

bool TVemoUSBinterface::WaitForChunkInFlight()
{
    const qint64 start = nowMs();
    const std::shared_ptr<bool> alive = FAlive;
    for (;;) {
        // No further chunk goes out, also of a transfer that a handler
        // started inside the wait.
        if (FFileSending)
            FFileStopping = true;
        // What is queued first: the completion may be among it.
        platform::host().processMessages();
        if (!*alive)
            return false;
        if (!FileChunkInFlight() || !Opened)
            return true;
        // A device that left takes nothing more: what it took has come.
        if (FileDeviceGone())
            return true;
        const qint64 waited = nowMs() - start;
        if (waited >= FileCloseWaitMs)
            return true;
        platform::host().handleMessage(int(FileCloseWaitMs - waited));
        if (!*alive)
            return false;
    }
}

bool TVemoUSBinterface::FileDeviceGone()
{
    usbio::DeviceAddress address;
    return FFileWriter && FFileWriter->GetDeviceAddress(address) == usbio::status::DeviceGone;
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

// ---- Commands --------------------------------------------------------------

usbio::Status TVemoUSBinterface::SendCommand(const AnsiString &Text)
{
    usbio::Status status = 0;
    for (qsizetype position = 0; position < Text.size(); position += kCommandPieceSize) {
        // One piece in flight: wait for the one before, handling messages so
        // its completion (and anything else) can arrive.
        FWaitStart = nowMs();
        const qint64 waitLimitMs = CommandWaitMs;
        const std::shared_ptr<bool> alive = FAlive;
        while (FWritePending) {
            // What is queued first: a wait nested in the handler of a queued
            // message does not see the messages queued behind that one, and
            // the completion may be among them.
            platform::host().processMessages();
            if (!*alive)
                return usbio::status::Cancelled;
            const qint64 waited = nowMs() - FWaitStart;
            if (!FWritePending || waited >= waitLimitMs)
                break;
            platform::host().handleMessage(int(waitLimitMs - waited));
            if (!*alive)
                return usbio::status::Cancelled;
        }
        // Time is up: the piece before is still pending, or the wait ran
        // over (whether or not it finished meanwhile). Give up on it.
        if (FWritePending || nowMs() - FWaitStart > waitLimitMs) {
            FWritePending = false;
            FCommandWriter->AbortPipe();
            return usbio::status::Timeout;
        }

        status = WriteCommandPiece(Text.mid(position, kCommandPieceSize));
        if (status != 0)
            return status;
    }
    return status;
}

usbio::Status TVemoUSBinterface::WriteCommandPiece(const AnsiString &Piece)
{
    FWritePending = true;

    // The writer of an earlier piece is still started: give its completion a
    // few rounds, then stop it here.
    int rounds = 0;
    const std::shared_ptr<bool> alive = FAlive;
    while (FCommandWriting) {
        platform::host().processMessages();
        if (!*alive)
            return usbio::status::Cancelled;
        if (++rounds >= kWriterStopRounds)
            FinishCommandWrite();
    }

    FCommandWriting = true;
    FWriteBuffer = QByteArray(kCommandPieceSize, '\0');
    std::memcpy(FWriteBuffer.data(), Piece.constData(),
                size_t(std::min<qsizetype>(Piece.size(), kCommandPieceSize)));

    usbio::Status status = FCommandWriter->ResetPipe();
    if (status != 0) {
        AbandonCommandPiece();
        return status;
    }
    status = FCommandWriter->StartWriting(kCommandPieceSize, kBuffers, kErrorLimit, false);
    if (status != 0) {
        AbandonCommandPiece();
        platform::host().messageBox(QString::fromLocal8Bit(StatusText(long(status))),
                                    QStringLiteral("Error writing"), platform::MB_OK);
        return status;
    }
    status = FCommandWriter->WriteData(FWriteBuffer, FWriteTag);
    if (status != 0)
        AbandonCommandPiece();
    return status;
}

void TVemoUSBinterface::AbandonCommandPiece()
{
    FinishCommandWrite();
    FWritePending = false;
}

void TVemoUSBinterface::FinishCommandWrite()
{
    if (!FCommandWriting)
        return;
    FCommandWriting = false;
    FCommandWriter->StopWriting();
    FWriteBuffer = QByteArray();
}

void TVemoUSBinterface::CommandWriteComplete(TObject *Sender, const IDispatchRef &Obj)
{
    // Of a piece that was in flight when the device closed.
    if (FStaleCommandCompletions > 0)
        return;
    FinishCommandWrite();
    // Before the callback: a command sent from it must not wait for the
    // piece that has just been written.
    FWritePending = false;
    callBack(OnCommandWritten, Sender, Obj);
}

// ---- File transfer ---------------------------------------------------------

usbio::Status TVemoUSBinterface::SendFile(const AnsiString &FileName)
{
    if (FFileSending)
        return usbio::status::TransferRunning;

    // The whole file now, in one go: what is sent is the file as it is when
    // the transfer starts, whatever happens to it on disk meanwhile.
    // Looked at before it is opened: a FIFO would block the open, a device
    // never end, and a huge file be read whole into memory.
    using files::RegularFile;
    QByteArray data;
    RegularFile::Problem problem = RegularFile::Problem::None;
    if (!RegularFile::read(QFile::decodeName(FileName), RegularFile::FirmwareImageLimit, &data,
                           nullptr, &problem)) {
        switch (problem) {
        case RegularFile::Problem::NotRegular:
            return usbio::status::FileNotRegular;
        case RegularFile::Problem::TooLarge:
            return usbio::status::FileTooLarge;
        case RegularFile::Problem::ReadFailed:
            return usbio::status::FileReadFailed;
        case RegularFile::Problem::None:
        case RegularFile::Problem::Missing:
        case RegularFile::Problem::OpenFailed:
            break;
        }
        return usbio::status::FileOpenFailed;
    }
    if (data.isEmpty())
        return usbio::status::FileEmpty;

    FFileData = data;
    FFileName = FileName;
    FFileSize = qint32(data.size());
    FFileSending = true;
    FFileStopping = false;
    FFileSent = 0;
    FFileTaken = 0;
    FFileClock.start();

    usbio::Status status = FFileWriter->ResetPipe();
    if (status != 0) {
        EndFileTransfer(false);
        return status;
    }
    status = FFileWriter->StartWriting(kFileChunkSize, kBuffers, kErrorLimit, false);
    if (status != 0) {
        EndFileTransfer(false);
        platform::host().messageBox(QString::fromLocal8Bit(StatusText(long(status))),
                                    QStringLiteral("Error SendFile"), platform::MB_OK);
        return status;
    }
    status = HandOverChunk();
    if (status != 0)
        EndFileTransfer(true);
    return status;
}

usbio::Status TVemoUSBinterface::HandOverChunk()
{
    // A file shorter than a chunk goes out as exactly its bytes; so does the
    // last chunk.
    const int chunk = int(std::min<qint64>(qint64(FFileSize) - FFileSent, kFileChunkSize));
    FFileBuffer = FFileData.mid(FFileSent, chunk);
    const usbio::Status status = FFileWriter->WriteData(FFileBuffer, FWriteTag);
    if (status != 0)
        return status;
    FFileSent += chunk;
    FChunkTimer->start(FileChunkWaitMs);
    return status;
}

int TVemoUSBinterface::FileProgressPercent(qint64 Sent, qint64 Size)
{
    // 64 bits: the product overflows 32 bits for images above ~21 MB.
    return int(Sent * 100 / Size);
}

void TVemoUSBinterface::FileWriteComplete(TObject *Sender, const IDispatchRef &Obj)
{
    Q_UNUSED(Obj);
    // Not of a running transfer's chunk in flight: of one that has ended, or
    // queued before CloseDevice ended the transfer it belonged to.
    if (!FileChunkInFlight() || FStaleFileCompletions > 0)
        return;
    FChunkTimer->stop();
    FFileTaken = FFileSent;

    if (FFileTaken >= FFileSize) {
        // The device took the last chunk: the transfer ends before the window
        // hears of it, whose handler may start the next one.
        const AnsiString fileName = FFileName;
        const qint64 size = FFileSize;
        const qint64 elapsed = FFileClock.elapsed();
        EndFileTransfer(true);
        const std::shared_ptr<bool> alive = FAlive;
        callBack(OnFileProgress, Sender, 100);
        if (!*alive)
            return;
        callBack(OnFileComplete, Sender, fileName, size, elapsed);
        return;
    }
    // A close waits for this chunk: it ends the transfer.
    if (FFileStopping)
        return;

    // The last chunk, shorter than the rest, goes out on a pipe reset first.
    if (qint64(FFileSize) - FFileSent < kFileChunkSize)
        FFileWriter->ResetPipe();
    const usbio::Status status = HandOverChunk();
    if (status != 0) {
        // The chunk never reaches the device and no completion follows: end
        // the transfer rather than report a broken image complete, so the
        // next SendFile can start.
        FailFileTransfer(Sender, status);
        return;
    }
    callBack(OnFileProgress, Sender, FileProgressPercent(FFileSent, FFileSize));
}

void TVemoUSBinterface::ChunkTimedOut()
{
    // The device neither took nor refused the chunk (a stalled pipe gives no
    // completion): the image will not get in.
    if (FileChunkInFlight())
        FailFileTransfer(FFileWriter.data(), usbio::status::Timeout);
}

void TVemoUSBinterface::FailFileTransfer(TObject *Sender, usbio::Status Reason)
{
    const AnsiString fileName = FFileName;
    const qint64 taken = FFileTaken;
    const qint64 size = FFileSize;
    EndFileTransfer(true);
    callBack(OnFileFailed, Sender, fileName, taken, size, Reason);
}

void TVemoUSBinterface::DropQueuedCompletions(TUSBIOInterface3 *Writer, int &StaleCount)
{
    // The marker runs after every event already queued for the writer; the
    // writer is deleted with the link, and its markers with it.
    ++StaleCount;
    QMetaObject::invokeMethod(
        Writer, [&StaleCount] { --StaleCount; }, Qt::QueuedConnection);
}

void TVemoUSBinterface::EndFileTransfer(bool StopWriter)
{
    FChunkTimer->stop();
    FFileBuffer = QByteArray();
    FFileData = QByteArray();
    if (StopWriter)
        FFileWriter->StopWriting();
    FFileSending = false;
    FFileStopping = false;
    FFileName = AnsiString();
}
