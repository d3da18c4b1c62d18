#include "tests/usbio/capture/CaptureSession.h"

#include "link/VemoUSBinterface.h"
#include "tests/support/TestBytes.h"

#include <QFile>
#include <QScopeGuard>
#include <QTest>

namespace {

constexpr int kReadSize = 16;
constexpr int kReadsPending = 5;
constexpr int kPieceSize = 16;
constexpr int kChunkSize = 64;

QString hex(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toHex());
}

// The packets of a standard request on endpoint 0 that succeeds.
QStringList control(const QString &setup)
{
    return {QStringLiteral("S control 0x00 status=-115 length=0 setup=") + setup,
            QStringLiteral("C control 0x00 status=0 length=0")};
}

QStringList clearHalt(int endpoint)
{
    return control(QStringLiteral("0x02,1,endpoint 0x%1").arg(endpoint, 2, 16, QLatin1Char('0')));
}

QString readSubmitted()
{
    return QStringLiteral("S bulk 0x81 status=-115 length=%1").arg(kReadSize);
}

QStringList written(int endpoint, const QByteArray &bytes)
{
    const QString pipe = QStringLiteral("0x%1").arg(endpoint, 2, 16, QLatin1Char('0'));
    return {QStringLiteral("S bulk %1 status=-115 length=%2 data=%3")
                .arg(pipe)
                .arg(bytes.size())
                .arg(hex(bytes)),
            QStringLiteral("C bulk %1 status=0 length=%2").arg(pipe).arg(bytes.size())};
}

} // namespace

const QByteArray CaptureSession::Command = "CAPTURE:TWO-PIECES\r";
const QByteArray CaptureSession::Answer = "ANSWER-IN-TWO-CHUNKS:OK\r";

QMap<QByteArray, QByteArray> CaptureSession::answers()
{
    return {{Command.chopped(1), Answer}};
}

QByteArray CaptureSession::image()
{
    return testBytes(200, 22);
}

CaptureSession::CaptureSession(const QString &folder)
    : m_imagePath(folder + QStringLiteral("/vemo2.bin"))
{
    QFile file(m_imagePath);
    if (file.open(QIODevice::WriteOnly))
        file.write(image());
}

QString CaptureSession::run(TVemoUSBinterface &link)
{
    QByteArray received;
    int lastPercent = -1;
    int hundreds = 0;
    link.OnDataReceived = [&](TObject *, AnsiString &data) { received += data; };
    link.OnFileProgress = [&](TObject *, int percent) {
        lastPercent = percent;
        hundreds += percent == 100 ? 1 : 0;
    };
    const auto cleanUp = qScopeGuard([&] {
        link.OnDataReceived = nullptr;
        link.OnFileProgress = nullptr;
    });

    link.ConnectInterfaces();
    if (link.EnablePnP() != 0 || link.ScanDevices() != 1)
        return QStringLiteral("the device is not found");
    if (link.OpenDevice(0) != 0 || link.StartReceive(false) != 0)
        return QStringLiteral("the device does not open");
    if (link.SendCommand(Command) != 0)
        return QStringLiteral("the command is refused");
    if (!QTest::qWaitFor([&] { return received == Answer; }, 5000))
        return QStringLiteral("the answer does not come (got '%1')")
            .arg(QString::fromLatin1(received));
    if (link.SendFile(QFile::encodeName(m_imagePath)) != 0)
        return QStringLiteral("the image is refused");
    // 100 comes at the hand-over of the last chunk and again at its
    // completion, which ends the transfer.
    if (!QTest::qWaitFor([&] { return hundreds == 2; }, 5000))
        return QStringLiteral("the image does not go through (%1 %)").arg(lastPercent);
    link.CloseDevice();
    return QString();
}

QStringList CaptureSession::expectedPackets()
{
    QStringList packets;
    // Open: the configuration, then reading starts with its reads pending.
    packets << control(QStringLiteral("0x00,9,config 1"));
    for (int i = 0; i < kReadsPending; ++i)
        packets << readSubmitted();
    // The command, piece by piece: the pipe's halt cleared, the piece written.
    for (int at = 0; at < Command.size(); at += kPieceSize) {
        packets << clearHalt(0x01);
        packets << written(0x01, Command.mid(at, kPieceSize).leftJustified(kPieceSize, '\0'));
    }
    // The answer, read by read; each read taken is replaced by a new one.
    for (int at = 0; at < Answer.size(); at += kReadSize) {
        const QByteArray chunk = Answer.mid(at, kReadSize);
        packets << QStringLiteral("C bulk 0x81 status=0 length=%1 data=%2")
                       .arg(chunk.size())
                       .arg(hex(chunk));
        packets << readSubmitted();
    }
    // The image, chunk by chunk; the halt is cleared again before the short
    // last one.
    const QByteArray bytes = image();
    packets << clearHalt(0x02);
    for (int at = 0; at < bytes.size(); at += kChunkSize) {
        const QByteArray chunk = bytes.mid(at, kChunkSize);
        if (chunk.size() < kChunkSize)
            packets << clearHalt(0x02);
        packets << written(0x02, chunk);
    }
    // Close: the reads still pending are unlinked.
    for (int i = 0; i < kReadsPending; ++i)
        packets << QStringLiteral("C bulk 0x81 status=-2 length=0");
    return packets;
}
