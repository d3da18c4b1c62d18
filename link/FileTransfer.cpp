#include "link/FileTransfer.h"

#include "files/RegularFile.h"
#include "link/Link_p.h"
#include "link/VemoUSBinterface.h"
#include "platform/HostServices.h"

#include <QFile>
#include <QTimer>

#include <algorithm>
#include <utility>

using namespace devicelink;

TFileTransfer::TFileTransfer(TVemoUSBinterface &Link, const QPointer<TUSBIOInterface3> &Writer,
                             std::shared_ptr<bool> Alive)
    : FLink(Link), FWriter(Writer), FAlive(std::move(Alive)),
      FChunkTimer(std::make_unique<QTimer>())
{
    FChunkTimer->setSingleShot(true);
    QObject::connect(FChunkTimer.get(), &QTimer::timeout, FChunkTimer.get(),
                     [this] { ChunkTimedOut(); });
}

TFileTransfer::~TFileTransfer() = default;

usbio::Status TFileTransfer::Start(const AnsiString &FileName)
{
    if (FSending)
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

    FData = data;
    FFileName = FileName;
    FSize = qint32(data.size());
    FSending = true;
    FStopping = false;
    FSent = 0;
    FTaken = 0;
    FClock.start();

    usbio::Status status = FWriter->ResetPipe();
    if (status != 0) {
        End(false);
        return status;
    }
    status = FWriter->StartWriting(kFileChunkSize, kBuffers, kErrorLimit, false);
    if (status != 0) {
        End(false);
        platform::host().messageBox(QString::fromLocal8Bit(FLink.StatusText(long(status))),
                                    QStringLiteral("Error SendFile"), platform::MB_OK);
        return status;
    }
    status = HandOverChunk();
    if (status != 0)
        End(true);
    return status;
}

usbio::Status TFileTransfer::HandOverChunk()
{
    // A file shorter than a chunk goes out as exactly its bytes; so does the
    // last chunk.
    const int chunk = int(std::min<qint64>(qint64(FSize) - FSent, kFileChunkSize));
    FChunk = FData.mid(FSent, chunk);
    const usbio::Status status = FWriter->WriteData(FChunk, kWriteTag);
    if (status != 0)
        return status;
    FSent += chunk;
    FChunkTimer->start(FLink.FileChunkWaitMs);
    return status;
}

int TFileTransfer::ProgressPercent(qint64 Sent, qint64 Size)
{
    // 64 bits: the product overflows 32 bits for images above ~21 MB.
    return int(Sent * 100 / Size);
}

void TFileTransfer::WriteComplete(TObject *Sender, const IDispatchRef &Obj)
{
    Q_UNUSED(Obj);
    // Not of a running transfer's chunk in flight: of one that has ended, or
    // queued before a close ended the transfer it belonged to.
    if (!ChunkInFlight() || FStaleCompletions.Pending())
        return;
    FChunkTimer->stop();
    FTaken = FSent;

    if (FTaken >= FSize) {
        // The device took the last chunk: the transfer ends before the window
        // hears of it, whose handler may start the next one.
        const AnsiString fileName = FFileName;
        const qint64 size = FSize;
        const qint64 elapsed = FClock.elapsed();
        End(true);
        const std::shared_ptr<bool> alive = FAlive;
        callBack(FLink.OnFileProgress, Sender, 100);
        if (!*alive)
            return;
        callBack(FLink.OnFileComplete, Sender, fileName, size, elapsed);
        return;
    }
    // A close waits for this chunk: it ends the transfer.
    if (FStopping)
        return;

    // The last chunk, shorter than the rest, goes out on a pipe reset first.
    if (qint64(FSize) - FSent < kFileChunkSize)
        FWriter->ResetPipe();
    const usbio::Status status = HandOverChunk();
    if (status != 0) {
        // The chunk never reaches the device and no completion follows: end
        // the transfer rather than report a broken image complete, so the
        // next SendFile can start.
        Fail(Sender, status);
        return;
    }
    callBack(FLink.OnFileProgress, Sender, ProgressPercent(FSent, FSize));
}

void TFileTransfer::ChunkTimedOut()
{
    // The device neither took nor refused the chunk (a stalled pipe gives no
    // completion): the image will not get in.
    if (ChunkInFlight())
        Fail(FWriter.data(), usbio::status::Timeout);
}

TFileTransfer::Ending TFileTransfer::EndingFor(usbio::Status Reason) const
{
    return Ending{FFileName, FTaken, FSize, Reason};
}

void TFileTransfer::Fail(TObject *Sender, usbio::Status Reason)
{
    const Ending ending = EndingFor(Reason);
    End(true);
    callBack(FLink.OnFileFailed, Sender, ending.FileName, ending.Taken, ending.Size, ending.Reason);
}

bool TFileTransfer::FinishChunkInFlight()
{
    if (!ChunkInFlight())
        return true;
    QElapsedTimer waited;
    waited.start();
    const std::shared_ptr<bool> alive = FAlive;
    for (;;) {
        // No further chunk goes out, also of a transfer that a handler
        // started inside the wait.
        if (FSending)
            FStopping = true;
        // What is queued first: the completion may be among it.
        platform::host().processMessages();
        if (!*alive)
            return false;
        if (!ChunkInFlight() || !FLink.Opened)
            return true;
        // A device that left takes nothing more: what it took has come.
        if (DeviceGone())
            return true;
        const qint64 elapsed = waited.elapsed();
        const qint64 limit = FLink.FileCloseWaitMs;
        if (elapsed >= limit)
            return true;
        platform::host().handleMessage(int(limit - elapsed));
        if (!*alive)
            return false;
    }
}

std::optional<TFileTransfer::Ending> TFileTransfer::EndForClose()
{
    // A transfer does not outlive the device: one left running would refuse
    // every later SendFile.
    if (!FSending)
        return std::nullopt;
    usbio::Status reason = usbio::status::Cancelled; // stopped between two chunks
    if (DeviceGone())
        reason = usbio::status::DeviceGone;
    else if (ChunkInFlight())
        reason = usbio::status::Timeout; // neither taken nor refused in time
    const Ending ending = EndingFor(reason);
    End(true);
    return ending;
}

void TFileTransfer::Closed(const Ending &Ended)
{
    // Behind whatever the writer queued up to and including the close.
    FStaleCompletions.DropQueued(FWriter.data());
    callBack(FLink.OnFileFailed, FWriter.data(), Ended.FileName, Ended.Taken, Ended.Size,
             Ended.Reason);
}

bool TFileTransfer::DeviceGone() const
{
    usbio::DeviceAddress address;
    return FWriter && FWriter->GetDeviceAddress(address) == usbio::status::DeviceGone;
}

void TFileTransfer::End(bool StopWriter)
{
    FChunkTimer->stop();
    FChunk = QByteArray();
    FData = QByteArray();
    if (StopWriter)
        FWriter->StopWriting();
    FSending = false;
    FStopping = false;
    FFileName = AnsiString();
}
