#pragma once

#include "usbio/capture/UsbmonPacket.h"

#include <QByteArray>
#include <QFile>
#include <QMetaObject>
#include <QString>

#include <functional>

namespace usbio {

// A pcap file of usbmon packets (link type 220, microsecond time stamps),
// as Wireshark and tshark open it. Each packet is handed to the system at
// once, or, while a Batch lives (the handlers of one event run), with the
// others of that event in one write when they have run, and in any case
// before the program waits for anything: a run that crashes or is killed
// leaves a file that is readable up to its last packet (a crash inside an
// event's handlers loses that event's packets at most).
class CaptureFile
{
public:
    // The packets written while it lives go out together at its end, in one
    // write: a chunk's completion and the next chunk's submission, which its
    // handler hands over, cost one system call instead of two. The end of
    // any batch (an event handled inside a wait of another, too) writes all
    // that was collected, and so does the event loop before it waits.
    class Batch
    {
    public:
        explicit Batch(CaptureFile &file);
        ~Batch();
        Batch(const Batch &) = delete;
        Batch &operator=(const Batch &) = delete;

    private:
        CaptureFile &m_file;
        bool m_outer;
    };

    // What a packet may hold at most, its header included; longer data is
    // cut, as a capture's snapshot length does.
    static constexpr int SnapshotLength = 262144;
    static constexpr quint32 LinkTypeUsbLinuxMmapped = 220;

    CaptureFile() = default;
    ~CaptureFile();
    CaptureFile(const CaptureFile &) = delete;
    CaptureFile &operator=(const CaptureFile &) = delete;

    // Creates (or empties) the file at path and writes the file header; "-"
    // is standard output. False with a readable error when it cannot.
    bool open(const QString &path, QString *error = nullptr);
    bool isOpen() const { return m_file.isOpen(); }

    // Stamps the packet with the time now and writes it (in a batch: at
    // the batch's end). After a failed write nothing more is written, and
    // the file keeps only whole packets: the part of a packet that got in
    // is taken back (standard output cannot take it back).
    void write(UsbmonPacket &packet);
    // Writes what was collected.
    void flush();

    // Ends the capture for why (its file is lost: a full disk, a closed
    // pipe, the file removed): nothing more is written, and onFailure is
    // told, once. A failed write ends it so by itself, with the system's
    // reason.
    void fail(const QString &why);
    // Why the capture was lost; empty while it holds.
    QString failure() const { return m_failure; }
    // Called once, at the first failure, with its reason; without it the
    // reason is a warning.
    std::function<void(const QString &why)> onFailure;

    // The capture's file, as it was named ("-": standard output), and the
    // descriptor it writes to (-1 once closed), for a look at whether the
    // name still leads to it.
    QString path() const { return m_path; }
    int descriptor() const { return m_file.isOpen() ? m_file.handle() : -1; }

    // A new transfer's id, unique in the file.
    quint64 nextUrbId() { return ++m_lastUrbId; }

private:
    bool writeAll(const QByteArray &bytes);
    // Flushes whenever the event loop is about to wait (once there is one).
    void watchLoop();

    QFile m_file;
    QString m_path;
    QString m_name;
    QString m_failure;
    qint64 m_whole = 0;   // bytes of whole packets (and the header) in the file
    QByteArray m_pending; // the packets not written yet; its room is reused
    bool m_batching = false;
    QMetaObject::Connection m_loopWatch;
    quint64 m_lastUrbId = 0;
};

} // namespace usbio
