#pragma once

#include "link/StaleCompletions.h"
#include "link/USBIOCOMLib_TLB.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QPointer>

#include <memory>
#include <optional>

class QTimer;
class TVemoUSBinterface;

// The file transfer of the link: an image, read whole when the transfer
// starts, goes in 64-byte chunks on OUT 0x02 through the link's file writer,
// one chunk in flight, each handed over from the completion of the one
// before. A chunk neither taken nor refused within the link's
// FileChunkWaitMs fails the transfer; a close lets the chunk in flight finish
// first, up to the link's FileCloseWaitMs.
//
// A part of the link: it reads those waits and Opened at the moment of use,
// reports through the link's OnFileProgress, OnFileFailed and OnFileComplete
// (Sender: the file writer), shows the text of the link's StatusText, and
// shares its alive flag. Each report comes when the transfer's state is at
// rest and is the last thing done (a second report only when the link is
// still there).
class TFileTransfer
{
public:
    // How a transfer that started ended before the device took its last
    // chunk: the file, the bytes the device took of Size, and why.
    struct Ending
    {
        AnsiString FileName;
        qint64 Taken = 0;
        qint64 Size = 0;
        usbio::Status Reason = 0;
    };

    TFileTransfer(TVemoUSBinterface &Link, const QPointer<TUSBIOInterface3> &Writer,
                  std::shared_ptr<bool> Alive);
    ~TFileTransfer();
    TFileTransfer(const TFileTransfer &) = delete;
    TFileTransfer &operator=(const TFileTransfer &) = delete;

    // TVemoUSBinterface::SendFile.
    usbio::Status Start(const AnsiString &FileName);
    bool Running() const { return FSending; }
    // The image of the running transfer.
    QByteArray Image() const { return FData; }
    // The bytes the device took of the running transfer's image, and the
    // image's size; once the transfer ended, of the last one (0 before any).
    qint64 Taken() const { return FTaken; }
    qint64 Size() const { return FSize; }
    // TVemoUSBinterface::FileProgressPercent.
    static int ProgressPercent(qint64 Sent, qint64 Size);
    // Bound to the file writer's OnWriteComplete.
    void WriteComplete(TObject *Sender, const IDispatchRef &Obj);

    // The three steps of a close (TVemoUSBinterface::CloseDevice).
    // 1. Lets the chunk in flight finish: no further chunk is sent, and the
    //    close waits up to FileCloseWaitMs for its completion, handling
    //    messages, unless the device has left or a handler closed it. At
    //    once when no chunk is in flight. False when the link was destroyed
    //    meanwhile.
    bool FinishChunkInFlight();
    // 2. Before the device is closed: a running transfer ends here, its
    //    writer stopped; how it ended, for step 3.
    std::optional<Ending> EndForClose();
    // 3. The device is closed: completions the writer queued before the close
    //    come to nothing, and the end is reported (OnFileFailed), last.
    void Closed(const Ending &Ended);

private:
    bool ChunkInFlight() const { return FSending && FSent > FTaken; }
    // Hands the next chunk of the image over and counts it as sent; write
    // data's status.
    usbio::Status HandOverChunk();
    void ChunkTimedOut();
    // Ends a transfer, finished or failed: image and array dropped, writer
    // stopped when started, FSending clear.
    void End(bool StopWriter);
    // How the running transfer stands, ending for Reason.
    Ending EndingFor(usbio::Status Reason) const;
    // Ends a running transfer that cannot go on and reports it through
    // OnFileFailed, last.
    void Fail(TObject *Sender, usbio::Status Reason);
    // The file writer's device has left the bus.
    bool DeviceGone() const;

    TVemoUSBinterface &FLink;
    const QPointer<TUSBIOInterface3> &FWriter;
    std::shared_ptr<bool> FAlive;
    // Set by Start; cleared when the transfer ends: the last chunk's
    // completion, a chunk refused or timed out, or a close.
    bool FSending = false;
    // A close waits for the chunk in flight: no further chunk is sent.
    bool FStopping = false;
    qint32 FSize = 0;
    // Bytes handed over so far, the chunk in flight included.
    qint32 FSent = 0;
    // Bytes the device took: the chunks whose completion came.
    qint32 FTaken = 0;
    // The image as the file was when the transfer started.
    QByteArray FData;
    // The chunk on the wire: its own array, so a command sent during a
    // transfer never touches it.
    QByteArray FChunk;
    // The file of the running transfer, for OnFileFailed and OnFileComplete.
    AnsiString FFileName;
    QElapsedTimer FClock;
    // Runs while a chunk is in flight (FileChunkWaitMs).
    std::unique_ptr<QTimer> FChunkTimer;
    TStaleCompletions FStaleCompletions;
};
