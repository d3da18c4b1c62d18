#pragma once

#include "usbio/capture/UsbmonPacket.h"

#include <QByteArray>
#include <QFile>
#include <QString>

namespace usbio {

// A pcap file of usbmon packets (link type 220, microsecond time stamps),
// as Wireshark and tshark open it. Each packet is written and handed to the
// system at once, so a run that crashes or is killed leaves a file that is
// readable up to its last packet.
class CaptureFile
{
public:
    // What a packet may hold at most, its header included; longer data is
    // cut, as a capture's snapshot length does.
    static constexpr int SnapshotLength = 262144;
    static constexpr quint32 LinkTypeUsbLinuxMmapped = 220;

    CaptureFile() = default;
    CaptureFile(const CaptureFile &) = delete;
    CaptureFile &operator=(const CaptureFile &) = delete;

    // Creates (or empties) the file at path and writes the file header; "-"
    // is standard output. False with a readable error when it cannot.
    bool open(const QString &path, QString *error = nullptr);
    bool isOpen() const { return m_file.isOpen(); }

    // Stamps the packet with the time now and writes it. After a failed
    // write nothing more is written (one warning says why).
    void write(UsbmonPacket &packet);

    // A new transfer's id, unique in the file.
    quint64 nextUrbId() { return ++m_lastUrbId; }

private:
    bool writeAll(const QByteArray &bytes);

    QFile m_file;
    QString m_name;
    QByteArray m_record; // reused for every packet
    quint64 m_lastUrbId = 0;
};

} // namespace usbio
