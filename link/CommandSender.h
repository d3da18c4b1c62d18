#pragma once

#include "link/StaleCompletions.h"
#include "link/USBIOCOMLib_TLB.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QPointer>

#include <memory>

class TVemoUSBinterface;

// The command writes of the link: a text cut into 16-byte pieces, zero-filled,
// on OUT 0x01 through the link's command writer, one piece in flight. Each
// piece waits up to the link's CommandWaitMs for the one before, handling
// window messages, and runs its own cycle of pipe reset, writer start, write
// data and writer stop; its completion stops the writer.
//
// A part of the link: it reads the link's CommandWaitMs at every wait, calls
// its OnCommandWritten, shows the text of the link's StatusText, and shares
// its alive flag. A wait may find the link destroyed by a handler; it then
// returns Cancelled without touching anything of it again.
class TCommandSender
{
public:
    TCommandSender(TVemoUSBinterface &Link, const QPointer<TUSBIOInterface3> &Writer,
                   std::shared_ptr<bool> Alive);
    TCommandSender(const TCommandSender &) = delete;
    TCommandSender &operator=(const TCommandSender &) = delete;

    // TVemoUSBinterface::SendCommand.
    usbio::Status Send(const AnsiString &Text);
    // TVemoUSBinterface::WriteCommandPiece: one piece of at most 16 characters.
    usbio::Status WritePiece(const AnsiString &Piece);
    // TVemoUSBinterface::FinishCommandWrite: stops the writer when started.
    void FinishWrite();
    // Bound to the command writer's OnWriteComplete.
    void WriteComplete(TObject *Sender, const IDispatchRef &Obj);
    // The device has been closed: nothing waits for the piece in flight any
    // more, and its completion, queued already or not, comes to nothing.
    void DeviceClosed();

private:
    // Leaves nothing of a piece whose hand-over failed behind, so the next
    // command neither waits for a completion that never comes nor finds the
    // writer started.
    void AbandonPiece();

    TVemoUSBinterface &FLink;
    const QPointer<TUSBIOInterface3> &FWriter;
    std::shared_ptr<bool> FAlive;
    // A piece was handed over and its completion not yet seen.
    bool FWritePending = false;
    // Start of the current wait for a piece; a command sent from inside the
    // wait starts it again.
    QElapsedTimer FWaitStart;
    // The writer of a piece is started.
    bool FCommandWriting = false;
    QByteArray FWriteBuffer;
    TStaleCompletions FStaleCompletions;
};
