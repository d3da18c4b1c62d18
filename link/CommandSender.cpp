#include "link/CommandSender.h"

#include "link/Link_p.h"
#include "link/VemoUSBinterface.h"
#include "platform/HostServices.h"

#include <algorithm>
#include <cstring>
#include <utility>

using namespace devicelink;

namespace {

// Rounds of message processing a new piece grants the writer of the piece
// before it, before stopping that writer itself.
constexpr int kWriterStopRounds = 7;

} // namespace

TCommandSender::TCommandSender(TVemoUSBinterface &Link, const QPointer<TUSBIOInterface3> &Writer,
                               std::shared_ptr<bool> Alive)
    : FLink(Link), FWriter(Writer), FAlive(std::move(Alive))
{
    FWaitStart.start();
}

usbio::Status TCommandSender::Send(const AnsiString &Text)
{
    usbio::Status status = 0;
    for (qsizetype position = 0; position < Text.size(); position += kCommandPieceSize) {
        // One piece in flight: wait for the one before, handling messages so
        // its completion (and anything else) can arrive.
        FWaitStart.start();
        const qint64 waitLimitMs = FLink.CommandWaitMs;
        const std::shared_ptr<bool> alive = FAlive;
        while (FWritePending) {
            // What is queued first: a wait nested in the handler of a queued
            // message does not see the messages queued behind that one, and
            // the completion may be among them.
            platform::host().processMessages();
            if (!*alive)
                return usbio::status::Cancelled;
            const qint64 waited = FWaitStart.elapsed();
            if (!FWritePending || waited >= waitLimitMs)
                break;
            platform::host().handleMessage(int(waitLimitMs - waited));
            if (!*alive)
                return usbio::status::Cancelled;
        }
        // Time is up: the piece before is still pending, or the wait ran
        // over (whether or not it finished meanwhile). Give up on it.
        if (FWritePending || FWaitStart.elapsed() > waitLimitMs) {
            FWritePending = false;
            FWriter->AbortPipe();
            return usbio::status::Timeout;
        }

        status = WritePiece(Text.mid(position, kCommandPieceSize));
        if (status != 0)
            return status;
    }
    return status;
}

usbio::Status TCommandSender::WritePiece(const AnsiString &Piece)
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
            FinishWrite();
    }

    FCommandWriting = true;
    FWriteBuffer = QByteArray(kCommandPieceSize, '\0');
    std::memcpy(FWriteBuffer.data(), Piece.constData(),
                size_t(std::min<qsizetype>(Piece.size(), kCommandPieceSize)));

    usbio::Status status = FWriter->ResetPipe();
    if (status != 0) {
        AbandonPiece();
        return status;
    }
    status = FWriter->StartWriting(kCommandPieceSize, kBuffers, kErrorLimit, false);
    if (status != 0) {
        AbandonPiece();
        platform::host().messageBox(QString::fromLocal8Bit(FLink.StatusText(long(status))),
                                    QStringLiteral("Error writing"), platform::MB_OK);
        return status;
    }
    status = FWriter->WriteData(FWriteBuffer, kWriteTag);
    if (status != 0)
        AbandonPiece();
    return status;
}

void TCommandSender::AbandonPiece()
{
    FinishWrite();
    FWritePending = false;
}

void TCommandSender::FinishWrite()
{
    if (!FCommandWriting)
        return;
    FCommandWriting = false;
    FWriter->StopWriting();
    FWriteBuffer = QByteArray();
}

void TCommandSender::WriteComplete(TObject *Sender, const IDispatchRef &Obj)
{
    // Of a piece that was in flight when the device closed.
    if (FStaleCompletions.Pending())
        return;
    FinishWrite();
    // Before the callback: a command sent from it must not wait for the
    // piece that has just been written.
    FWritePending = false;
    callBack(FLink.OnCommandWritten, Sender, Obj);
}

void TCommandSender::DeviceClosed()
{
    // Behind whatever the writer queued up to and including the close.
    if (FWritePending)
        FStaleCompletions.DropQueued(FWriter.data());
    FWritePending = false;
}
