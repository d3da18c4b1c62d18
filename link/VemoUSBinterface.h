#pragma once

#include "link/CommandSender.h"
#include "link/FileTransfer.h"
#include "link/USBIOCOMLib_TLB.h"

#include <QByteArray>
#include <QObject>
#include <QPointer>

#include <functional>
#include <memory>

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
// The link opens, closes, scans, hears plug-and-play and reads; its two
// writing parts, each on its own writer, are the command writes
// (TCommandSender) and the file transfer (TFileTransfer).
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

    usbio::Status SendCommand(const AnsiString &Text) { return FCommandSender.Send(Text); }
    usbio::Status WriteCommandPiece(const AnsiString &Piece)
    {
        return FCommandSender.WritePiece(Piece);
    }
    void FinishCommandWrite() { FCommandSender.FinishWrite(); }
    // Reads the whole file into memory (the image sent is the file as it
    // is now) and hands its first chunk over. FileOpenFailed when it cannot
    // be opened, FileNotRegular for a device, FIFO, socket or folder (which
    // would block or never end), FileTooLarge past the bound of a firmware
    // image, FileEmpty, FileReadFailed when it cannot be read whole,
    // TransferRunning while a transfer runs.
    usbio::Status SendFile(const AnsiString &FileName) { return FFileTransfer.Start(FileName); }
    // A transfer started and has not ended yet.
    bool FileTransferRunning() const { return FFileTransfer.Running(); }
    // The image of the running transfer, as SendFile read it.
    QByteArray FileImage() const { return FFileTransfer.Image(); }
    // The bytes the device took of the running transfer's image (the chunks
    // whose completion came), and the image's size; once the transfer has
    // ended, of the last one (so at its completion's OnFileProgress the two
    // are equal).
    qint64 FileBytesTaken() const { return FFileTransfer.Taken(); }
    qint64 FileSize() const { return FFileTransfer.Size(); }
    // The percentage OnFileProgress reports once Sent of Size bytes (Size > 0)
    // are handed over.
    static int FileProgressPercent(qint64 Sent, qint64 Size)
    {
        return TFileTransfer::ProgressPercent(Sent, Size);
    }

private:
    // The reader, the command writer and the file writer, in this order.
    template <typename Result> void CallOnAllThree(Result (TUSBIOInterface3::*Operation)());
    void PnPRemoved(TObject *Sender, const IDispatchRef &Obj);
    void PnPArrived(TObject *Sender, const IDispatchRef &Obj);
    void ReadComplete(TObject *Sender, const IDispatchRef &Obj);

    // Cleared by the destructor. The waits of a command or a close handle
    // window messages, and one of them may destroy the link (the window
    // closing); the wait then returns without touching the link again. A
    // read's OnReadDone may destroy it too; OnDataReceived is then not
    // called. Shared with the two writing parts.
    std::shared_ptr<bool> FAlive = std::make_shared<bool>(true);
    // Guarded: they are children of the Owner, which may go first.
    QPointer<TUSBIOInterface3> FReader;
    QPointer<TUSBIOInterface3> FCommandWriter;
    QPointer<TUSBIOInterface3> FFileWriter;
    QByteArray FReadBuffer;
    bool FReceiving = false;
    // Command writes on the command writer, the file transfer on the file
    // writer.
    TCommandSender FCommandSender{*this, FCommandWriter, FAlive};
    TFileTransfer FFileTransfer{*this, FFileWriter, FAlive};
};
