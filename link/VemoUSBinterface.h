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
// A file transfer that ended before its last chunk was handed over: the
// file, the bytes handed over of its size, and why (a refused chunk, the
// device closed or gone).
using TFileFailedEvent = std::function<void(TObject *Sender, const AnsiString &FileName,
                                            qint64 Sent, qint64 Size, usbio::Status Reason)>;

// The program's only path to a device: three component instances, one per
// pipe (reader on IN 0x81, command writer on OUT 0x01, file writer on OUT
// 0x02). Failures come back as status codes; only ConnectInterfaces raises.
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
    TUSBIOEvent OnCommandWritten;
    TDataReceivedEvent OnDataReceived;
    TFileProgressEvent OnFileProgress;
    TFileFailedEvent OnFileFailed;
    bool Opened = false;

    void ConnectInterfaces();
    usbio::Status EnablePnP();
    int ScanDevices();
    usbio::Status OpenDevice(int Index);
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

    // The link's own statuses beyond the component's.
    static constexpr usbio::Status TransferRunning = 0xE0010001; // SendFile while sending
    static constexpr usbio::Status FileOpenFailed = 0xE0010002;  // SendFile: cannot open
    static constexpr usbio::Status FileEmpty = 0xE0010003;       // SendFile: 0-byte file

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

    qint32 FFileSize = 0;
    qint32 FFileSent = 0;
    std::FILE *FFile = nullptr;
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
    bool FFileSending = false;
    // Cleared by the destructor. The waits of a command handle window
    // messages, and one of them may destroy the link (the window closing);
    // the wait then returns without touching the link again.
    std::shared_ptr<bool> FAlive = std::make_shared<bool>(true);
};
