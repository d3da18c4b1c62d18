#include "usbio/capture/CaptureFile.h"

#include "files/RegularFile.h"

#include <QAbstractEventDispatcher>
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
    m_path = path;
    m_failure.clear();
    m_whole = 0;
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
    m_whole = header.size();
    m_pending.reserve(4 * (kRecordHeaderSize + UsbmonPacket::HeaderSize + 64));
    return true;
}

CaptureFile::~CaptureFile()
{
    QObject::disconnect(m_loopWatch);
    flush();
}

CaptureFile::Batch::Batch(CaptureFile &file) : m_file(file), m_outer(file.m_batching)
{
    m_file.m_batching = true;
    m_file.watchLoop();
}

CaptureFile::Batch::~Batch()
{
    m_file.m_batching = m_outer;
    m_file.flush();
}

void CaptureFile::watchLoop()
{
    if (m_loopWatch)
        return;
    if (QAbstractEventDispatcher *loop = QAbstractEventDispatcher::instance())
        m_loopWatch =
            QObject::connect(loop, &QAbstractEventDispatcher::aboutToBlock, [this] { flush(); });
}

void CaptureFile::flush()
{
    if (m_pending.isEmpty())
        return;
    if (m_file.isOpen()) {
        if (writeAll(m_pending)) {
            m_whole += m_pending.size();
        } else {
            const QString why = m_file.errorString();
            // A packet cut in the middle would spoil the whole capture for
            // its reader: the file ends with the last whole one.
            if (m_path != QLatin1String("-"))
                m_file.resize(m_whole);
            fail(QStringLiteral("cannot write %1: %2").arg(m_name, why));
        }
    }
    m_pending.resize(0);
}

void CaptureFile::fail(const QString &why)
{
    if (!m_failure.isEmpty())
        return;
    m_failure = why;
    if (m_file.isOpen())
        m_file.close();
    if (onFailure)
        onFailure(why);
    else
        qCWarning(lcCapture, "the USB capture ends here: %s", qPrintable(why));
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

    // The record goes after the packets collected before it.
    const qsizetype start = m_pending.size();
    m_pending.resize(start + kRecordHeaderSize);
    packet.appendTo(m_pending, SnapshotLength - UsbmonPacket::HeaderSize);
    const quint32 captured = quint32(m_pending.size() - start - kRecordHeaderSize);
    // On the wire: the header and every byte of the transfer, captured or
    // not (an IN submission asks for bytes it does not carry).
    const quint32 wire = UsbmonPacket::HeaderSize + packet.length;
    char *h = m_pending.data() + start;
    qToLittleEndian(quint32(packet.seconds), h);
    qToLittleEndian(quint32(packet.microseconds), h + 4);
    qToLittleEndian(captured, h + 8);
    qToLittleEndian(std::max(wire, captured), h + 12);
    if (!m_batching)
        flush();
}

bool CaptureFile::writeAll(const QByteArray &bytes)
{
    // A short write is followed by one for the rest, which says why the
    // first stopped short (the disk full, the file too large, the pipe
    // closed).
    qint64 done = 0;
    while (done < bytes.size()) {
        const qint64 written = m_file.write(bytes.constData() + done, bytes.size() - done);
        if (written <= 0)
            return false;
        done += written;
    }
    return m_file.flush();
}

} // namespace usbio
