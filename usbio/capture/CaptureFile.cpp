#include "usbio/capture/CaptureFile.h"

#include "files/RegularFile.h"

#include <QFileInfo>
#include <QLoggingCategory>
#include <QtEndian>

#include <algorithm>
#include <chrono>
#include <cstdio>

namespace usbio {

namespace {

Q_LOGGING_CATEGORY(lcCapture, "vemo.usbio.capture")

constexpr int kRecordHeaderSize = 16;

template <typename T> void append(QByteArray &out, T value)
{
    char bytes[sizeof(T)];
    qToLittleEndian(value, bytes);
    out.append(bytes, sizeof(T));
}

} // namespace

bool CaptureFile::open(const QString &path, QString *error)
{
    m_file.close();
    bool opened = false;
    if (path == QLatin1String("-")) {
        m_name = QStringLiteral("standard output");
        opened = m_file.open(stdout, QIODevice::WriteOnly);
    } else {
        m_name = QStringLiteral("'%1'").arg(path);
        // A FIFO would block the open until a reader comes (for ever, before
        // any time-out runs), a device swallow the packets: a capture is a
        // regular file, or standard output.
        if (const QString why = files::RegularFile::checkForWriting(path); !why.isEmpty()) {
            if (error)
                *error = QStringLiteral("cannot create %1: %2").arg(m_name, why);
            return false;
        }
        m_file.setFileName(path);
        // Unbuffered: each packet goes to the system in one write.
        opened = m_file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered);
    }
    if (!opened) {
        if (error)
            *error = QStringLiteral("cannot create %1: %2").arg(m_name, m_file.errorString());
        return false;
    }

    // The classic pcap file header, little-endian, microsecond time stamps.
    QByteArray header;
    append<quint32>(header, 0xA1B2C3D4);
    append<quint16>(header, 2); // version 2.4
    append<quint16>(header, 4);
    append<qint32>(header, 0);  // time zone: UTC
    append<quint32>(header, 0); // accuracy of the time stamps
    append<quint32>(header, SnapshotLength);
    append<quint32>(header, LinkTypeUsbLinuxMmapped);
    if (!writeAll(header)) {
        if (error)
            *error = QStringLiteral("cannot write %1: %2").arg(m_name, m_file.errorString());
        m_file.close();
        return false;
    }
    m_record.reserve(kRecordHeaderSize + UsbmonPacket::HeaderSize + 64);
    return true;
}

void CaptureFile::write(UsbmonPacket &packet)
{
    if (!m_file.isOpen())
        return;
    const auto now = std::chrono::duration_cast<std::chrono::microseconds>(
                         std::chrono::system_clock::now().time_since_epoch())
                         .count();
    packet.seconds = now / 1000000;
    packet.microseconds = qint32(now % 1000000);

    m_record.resize(kRecordHeaderSize);
    packet.appendTo(m_record, SnapshotLength - UsbmonPacket::HeaderSize);
    const quint32 captured = quint32(m_record.size() - kRecordHeaderSize);
    // On the wire: the header and every byte of the transfer, captured or
    // not (an IN submission asks for bytes it does not carry).
    const quint32 wire = UsbmonPacket::HeaderSize + packet.length;
    char *h = m_record.data();
    qToLittleEndian(quint32(packet.seconds), h);
    qToLittleEndian(quint32(packet.microseconds), h + 4);
    qToLittleEndian(captured, h + 8);
    qToLittleEndian(std::max(wire, captured), h + 12);
    if (!writeAll(m_record)) {
        qCWarning(lcCapture, "writing the USB capture to %s failed (%s); the capture ends here",
                  qPrintable(m_name), qPrintable(m_file.errorString()));
        m_file.close();
    }
}

bool CaptureFile::writeAll(const QByteArray &bytes)
{
    return m_file.write(bytes) == bytes.size() && m_file.flush();
}

} // namespace usbio
