#pragma once

#include "link/USBIOCOMLib_TLB.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QPointer>

#include <functional>
#include <memory>

class QTimer;

// Device text: 8-bit, one byte per character, as the device sends it.
using AnsiString = QByteArray;

using TDataReceivedEvent = std::function<void(TObject *Sender, AnsiString &Data)>;
using TFileProgressEvent = std::function<void(TObject *Sender, int Percent)>;
// A running file transfer that ended before the device took its last chunk:
// the file as SendFile had it, the bytes the device took (the chunks whose
// completion came, of Size), and why: the status of the refused chunk,
// usbio::status::DeviceGone when the device left, usbio::status::Cancelled
// when CloseDevice stopped it between chunks, usbio::status::Timeout when a
// chunk was neither taken nor refused in time.
using TFileFailedEvent = std::function<void(TObject *Sender, const AnsiString &FileName,
                                            qint64 Sent, qint64 Size, usbio::Status Reason)>;
// The device took the last chunk of a transfer: all Size bytes of the file
// are in it. ElapsedMs: from SendFile to this completion.
using TFileCompleteEvent =
    std::function<void(TObject *Sender, const AnsiString &FileName, qint64 Size, qint64 ElapsedMs)>;

// The program's only path to a device: three component instances, one per
// pipe (reader on IN 0x81, command writer on OUT 0x01, file writer on OUT
// 0x02). Failures come back as status codes; only ConnectInterfaces raises.
//
// A callback is the last thing the link does in the step that calls it: its
// state is at rest before, and nothing of the link is touched after (where a
// second callback follows, only when the link is still there). A handler may
// therefore end the program, close the device, send, or destroy the link.
class TVemoUSBinterface
{
public:
    explicit TVemoUSBinterface(QObject *Owner);
    ~TVemoUSBinterface();
    TVemoUSBinterface(const TVemoUSBinterface &) = delete;
    TVemoUSBinterface &operator=(const TVemoUSBinterface &) = delete;

    // The interface guid of the driver's devices.
    static constexpr const char *DeviceGuid = "{7A41C9E2-5B3D-4F60-9C18-2E6D4B90A7F3}";

    TUSBIOEvent OnDeviceRemoved;
    TUSBIOEvent OnDeviceArrived;
    TUSBIOEvent OnReadDone;
    // After the piece's writer was stopped and FWritePending cleared, so
    // the handler may send the next command at once.
    TUSBIOEvent OnCommandWritten;
    TDataReceivedEvent OnDataReceived;
    // After each chunk handed over (the last one's reports 100), and 100
    // again at the last chunk's completion, when the transfer has already
    // ended. An image of one chunk has only the 100 of its completion. A
    // percentage says what was handed over, not what the device took: only
    // OnFileComplete says the image is in the device. Sender: the file writer.
    TFileProgressEvent OnFileProgress;
    // Once for a transfer that started and ends before the device took its
    // last chunk: a chunk refused by write data, a chunk neither taken nor
    // refused within FileChunkWaitMs, the device gone, or CloseDevice.
    // Called when the transfer has already ended. Not for a SendFile that
    // returns non-zero: nothing was started.
    TFileFailedEvent OnFileFailed;
    // Once for a transfer whose last chunk the device took, after that
    // completion's 100 (when the link is still there), when the transfer has
    // already ended.
    TFileCompleteEvent OnFileComplete;
    bool Opened = false;
    // How long a command piece may take, in milliseconds, before the next
    // piece gives up on it; tests shorten it.
    int CommandWaitMs = 1000;
    // How long CloseDevice lets the chunk in flight of a transfer finish
    // before it gives up on it, in milliseconds.
    int FileCloseWaitMs = 2000;
    // How long the device may take to take or refuse a chunk before the
    // transfer fails (a stalled pipe gives no completion), in milliseconds.
    int FileChunkWaitMs = 10000;

    void ConnectInterfaces();
    usbio::Status EnablePnP();
    int ScanDevices();
    usbio::Status OpenDevice(int Index);
    // The device at Index of the last scan, as its descriptors describe it;
    // nothing is opened (another program may be driving it).
    usbio::Status DescribeDevice(int Index, usbio::DeviceDescription &Description);
    // Where the open device is on the bus; DeviceGone once it has left
    // (also when it is back: it is then another device to the host),
    // NotOpened without one.
    usbio::Status DeviceAddress(usbio::DeviceAddress &Address);
    // During a transfer the chunk in flight is let finish first (no further
    // chunk is sent): the close waits up to FileCloseWaitMs for its
    // completion, handling messages, unless the device has left. The last
    // chunk's completion completes the transfer; otherwise the transfer ends
    // here, the file writer stopped. Then the device is closed on all three
    // objects and the transfer's end reported last (OnFileFailed). Handlers
    // run inside the wait; the close may find the link destroyed or the
    // device closed by one of them, and then does nothing more.
    void CloseDevice();
    AnsiString StatusText(long Status);
    usbio::Status QueryDriverInfo(AnsiString &Api, AnsiString &Driver, AnsiString &Build,
                                  AnsiString &Flags);

    usbio::Status StartReceive(bool ResetFirst);
    usbio::Status StopReceive();

    usbio::Status SendCommand(const AnsiString &Text);
    usbio::Status WriteCommandPiece(const AnsiString &Piece);
    void FinishCommandWrite();
    // Reads the whole file into memory (the image sent is the file as it
    // is now) and hands its first chunk over. FileOpenFailed when it cannot
    // be opened, FileNotRegular for a device, FIFO, socket or folder (which
    // would block or never end), FileTooLarge past the bound of a firmware
    // image, FileEmpty, FileReadFailed when it cannot be read whole,
    // TransferRunning while a transfer runs.
    usbio::Status SendFile(const AnsiString &FileName);
    // A transfer started and has not ended yet.
    bool FileTransferRunning() const { return FFileSending; }
    // The image of the running transfer, as SendFile read it.
    QByteArray FileImage() const { return FFileData; }
    // The percentage OnFileProgress reports once Sent of Size bytes (Size > 0)
    // are handed over.
    static int FileProgressPercent(qint64 Sent, qint64 Size);

private:
    // The reader, the command writer and the file writer, in this order.
    template <typename Result> void CallOnAllThree(Result (TUSBIOInterface3::*Operation)());
    void PnPRemoved(TObject *Sender, const IDispatchRef &Obj);
    void PnPArrived(TObject *Sender, const IDispatchRef &Obj);
    void ReadComplete(TObject *Sender, const IDispatchRef &Obj);
    void CommandWriteComplete(TObject *Sender, const IDispatchRef &Obj);
    void FileWriteComplete(TObject *Sender, const IDispatchRef &Obj);
    // Leaves nothing of a piece whose hand-over failed behind, so the next
    // command neither waits for a completion that never comes nor finds the
    // writer started.
    void AbandonCommandPiece();
    // Ends a transfer, finished or failed: image and array dropped, writer
    // stopped when started, FFileSending clear.
    void EndFileTransfer(bool StopWriter);
    // Ends a running transfer that cannot go on and reports it through
    // OnFileFailed, last.
    void FailFileTransfer(TObject *Sender, usbio::Status Reason);
    // Hands the next chunk of the image over and counts it as sent; write
    // data's status.
    usbio::Status HandOverChunk();
    void ChunkTimedOut();
    // Waits for the completion of the chunk in flight (see CloseDevice);
    // false when the link was destroyed meanwhile.
    bool WaitForChunkInFlight();
    bool FileChunkInFlight() const { return FFileSending && FFileSent > FFileTaken; }
    // The file writer's device has left the bus.
    bool FileDeviceGone();
    // Drops the completions Writer has queued so far (see the counts below).
    void DropQueuedCompletions(TUSBIOInterface3 *Writer, int &StaleCount);

    qint32 FFileSize = 0;
    // Bytes handed over so far, the chunk in flight included.
    qint32 FFileSent = 0;
    // Bytes the device took: the chunks whose completion came.
    qint32 FFileTaken = 0;
    // The image as the file was when the transfer started.
    QByteArray FFileData;
    // The file of the running transfer, for OnFileFailed and OnFileComplete.
    AnsiString FFileName;
    QElapsedTimer FFileClock;
    // A close waits for the chunk in flight: no further chunk is sent.
    bool FFileStopping = false;
    // Runs while a chunk is in flight (FileChunkWaitMs).
    std::unique_ptr<QTimer> FChunkTimer;
    quint32 FWriteTag = 0;
    bool FWritePending = false;
    qint64 FWaitStart = 0;
    // Guarded: they are children of the Owner, which may go first.
    QPointer<TUSBIOInterface3> FReader;
    QPointer<TUSBIOInterface3> FCommandWriter;
    QPointer<TUSBIOInterface3> FFileWriter;
    QByteArray FReadBuffer;
    // Command pieces and file chunks each have their own array, so a command
    // sent during a transfer never touches the image on the wire.
    QByteArray FWriteBuffer;
    QByteArray FFileBuffer;
    bool FCommandWriting = false;
    bool FReceiving = false;
    // Set by SendFile; cleared when the transfer ends: the last chunk's
    // completion, a chunk refused or timed out, or CloseDevice.
    bool FFileSending = false;
    // Closes that left a write in flight and whose marker the event queue has
    // not reached yet, one count per writer. A completion the writer queued
    // before such a close still arrives after it, and a write started
    // meanwhile would take it for its own: a transfer would have two chunks
    // in flight and report its end one completion early, a command would not
    // wait for its piece. While a count is not 0, that writer's completions
    // are dropped. Each such close queues a marker behind those completions,
    // and the marker counts down.
    int FStaleCommandCompletions = 0;
    int FStaleFileCompletions = 0;
    // Cleared by the destructor. The waits of a command handle window
    // messages, and one of them may destroy the link (the window closing);
    // the wait then returns without touching the link again. A read's
    // OnReadDone may destroy it too; OnDataReceived is then not called.
    std::shared_ptr<bool> FAlive = std::make_shared<bool>(true);
};
