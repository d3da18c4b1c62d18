#pragma once

#include "link/USBIOCOMLib_TLB.h"

#include <QByteArray>
#include <QObject>
#include <QPointer>

#include <cstdio>
#include <functional>
#include <memory>

// Device text: 8-bit, one byte per character, as the device sends it.
using AnsiString = QByteArray;

using TDataReceivedEvent = std::function<void(TObject *Sender, AnsiString &Data)>;
using TFileProgressEvent = std::function<void(TObject *Sender, int Percent)>;
// A running file transfer that ended before its last chunk was handed over:
// the file as SendFile had it, the bytes of the chunks the component took
// (of Size), and why: the status of the refused chunk, usbio::status::FileReadFailed when
// the file ended early, usbio::status::DeviceGone when the device was closed.
using TFileFailedEvent = std::function<void(TObject *Sender, const AnsiString &FileName,
                                            qint64 Sent, qint64 Size, usbio::Status Reason)>;

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
    // ended (a handler may start the next one). An image of one chunk has no
    // 100 before its completion: when CloseDevice ends it first, the close
    // reports its 100. Sender: the file writer.
    TFileProgressEvent OnFileProgress;
    // Once for a transfer that started and ends before its last chunk was
    // handed over: a chunk refused by write data, the file shorter than
    // measured, or CloseDevice. Called when the transfer has already ended.
    // Not for a SendFile that returns non-zero: nothing was started.
    TFileFailedEvent OnFileFailed;
    bool Opened = false;
    // How long a command piece may take, in milliseconds, before the next
    // piece gives up on it; tests shorten it.
    int CommandWaitMs = 1000;

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
    // Ends a running transfer first: file closed, file writer stopped; then
    // closes the device on all three objects and reports the transfer's end
    // last (see OnFileFailed).
    void CloseDevice();
    AnsiString StatusText(long Status);
    usbio::Status QueryDriverInfo(AnsiString &Api, AnsiString &Driver, AnsiString &Build,
                                  AnsiString &Flags);

    usbio::Status StartReceive(bool ResetFirst);
    usbio::Status StopReceive();

    usbio::Status SendCommand(const AnsiString &Text);
    usbio::Status WriteCommandPiece(const AnsiString &Piece);
    void FinishCommandWrite();
    usbio::Status SendFile(const AnsiString &FileName);
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
    // Ends a transfer, finished or failed: array dropped, writer stopped when
    // started, file closed, FFileSending clear.
    void EndFileTransfer(bool StopWriter);
    // Ends a running transfer whose chunk could not be handed over and
    // reports it through OnFileFailed, last.
    void FailFileTransfer(TObject *Sender, qint64 Sent, usbio::Status Reason);
    // Drops the completions Writer has queued so far (see the counts below).
    void DropQueuedCompletions(TUSBIOInterface3 *Writer, int &StaleCount);

    qint32 FFileSize = 0;
    // Bytes taken into chunks so far: while the transfer runs, those handed
    // over, the chunk in flight included.
    qint32 FFileSent = 0;
    std::FILE *FFile = nullptr;
    // The file of the running transfer, for OnFileFailed.
    AnsiString FFileName;
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
    // completion, a chunk that could not be handed over, or CloseDevice.
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
