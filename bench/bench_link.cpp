// Host cost of the device link against the zero-latency simulated device,
// measured beside the cost of one bare posted-event round trip of the Qt
// event loop in the same run; and what capturing the traffic (--capture)
// adds to each chunk of an image.

#include "bench/BenchBus.h"
#include "bench/BenchSetup.h"
#include "link/VemoUSBinterface.h"
#include "usbio/capture/UsbCapture.h"
#include "usbio/sim/SimDevice.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <sys/resource.h>

#include <algorithm>
#include <cstdio>

namespace {

// Posts itself the next event from the handler of the last, count times.
class PingPong : public QObject
{
public:
    explicit PingPong(int count) : m_left(count) {}

    bool event(QEvent *e) override
    {
        if (e->type() != QEvent::User)
            return QObject::event(e);
        if (--m_left > 0)
            QCoreApplication::postEvent(this, new QEvent(QEvent::User));
        return true;
    }
    bool done() const { return m_left <= 0; }

private:
    int m_left;
};

double roundTripNs(int count)
{
    PingPong ping(count);
    QElapsedTimer timer;
    timer.start();
    QCoreApplication::postEvent(&ping, new QEvent(QEvent::User));
    while (!ping.done())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    return double(timer.nsecsElapsed()) / count;
}

struct FileRun
{
    double nsPerChunk = 0;
    qint64 chunks = 0;
    bool intact = false;
};

FileRun sendImage(TVemoUSBinterface &link, usbio::SimDevice &device, const QString &dir,
                  qint64 size)
{
    QByteArray image(size, Qt::Uninitialized);
    QRandomGenerator generator(4711);
    for (qint64 i = 0; i < size; ++i)
        image[i] = char(generator.bounded(256));
    const QString path = dir + QStringLiteral("/image-%1.bin").arg(size);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(image) != size)
        qFatal("cannot write %s", qPrintable(path));
    file.close();

    device.clearRecords();
    bool complete = false;
    int lastPercent = -1;
    link.OnFileProgress = [&](TObject *, int percent) { lastPercent = percent; };
    // The device took the last chunk.
    link.OnFileComplete = [&](TObject *, const AnsiString &, qint64, qint64) { complete = true; };

    FileRun run;
    run.chunks = (size + 63) / 64;
    QElapsedTimer timer;
    timer.start();
    const usbio::Status status = link.SendFile(QFile::encodeName(path));
    if (status != 0)
        qFatal("SendFile refused: %08X", status);
    while (!complete)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    run.nsPerChunk = double(timer.nsecsElapsed()) / double(run.chunks);
    link.OnFileProgress = nullptr;
    link.OnFileComplete = nullptr;

    QByteArray received;
    received.reserve(size);
    for (const QByteArray &chunk : device.receivedChunks())
        received += chunk;
    run.intact = received == image && lastPercent == 100;
    device.clearRecords();
    return run;
}

double sendCommands(TVemoUSBinterface &link, usbio::SimDevice &device, int commands,
                    const QByteArray &text, bool *intact)
{
    device.clearRecords();
    int pieces = 0;
    link.OnCommandWritten = [&](TObject *, const IDispatchRef &) { ++pieces; };
    const int piecesPerCommand = int((text.size() + 15) / 16);
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < commands; ++i) {
        const usbio::Status status = link.SendCommand(text);
        if (status != 0)
            qFatal("SendCommand refused: %08X", status);
    }
    while (pieces < commands * piecesPerCommand)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    const double ns = double(timer.nsecsElapsed()) / (commands * piecesPerCommand);
    link.OnCommandWritten = nullptr;
    *intact = device.receivedPieces().size() == commands * piecesPerCommand;
    device.clearRecords();
    return ns;
}

// An image of size sent by a link of its own, with the traffic captured
// into a file of dir or not.
FileRun sendImageByNewLink(usbio::SimDevice &device, const QString &dir, qint64 size, bool captured)
{
    usbio::UsbCapture capture;
    if (captured && !capture.start(dir + QStringLiteral("/bench.pcap")))
        qFatal("cannot create the capture file");
    TVemoUSBinterface link(nullptr);
    link.ConnectInterfaces();
    if (link.ScanDevices() != 1 || link.OpenDevice(0) != 0)
        qFatal("cannot open the simulated device");
    const FileRun run = sendImage(link, device, dir, size);
    link.CloseDevice();
    return run;
}

long peakRssKiB()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    BenchBus sim;
    usbio::SimDevice *device = sim.attach();

    TVemoUSBinterface link(&app);
    link.ConnectInterfaces();
    if (link.ScanDevices() != 1 || link.OpenDevice(0) != 0)
        qFatal("cannot open the simulated device");

    QTemporaryDir dir;
    bench::scratchFolder(dir);

    // Other programs share the machine: each figure is the best of a few
    // rounds, the round trip measured in every round beside the rest.
    constexpr int kRounds = 5;
    roundTripNs(20000); // warm-up
    double roundTrip = 1e300;
    FileRun small{1e300, 0, true};
    FileRun large{1e300, 0, true};
    double perPiece = 1e300;
    bool commandsIntact = true;
    const QByteArray command = QByteArray("NSF?").leftJustified(27, '?') + '\r';
    const int commands = 10000;
    for (int round = 0; round < kRounds; ++round) {
        roundTrip = std::min(roundTrip, roundTripNs(100000));
        const FileRun s = sendImage(link, *device, dir.path(), 256 * 1024);
        const FileRun l = sendImage(link, *device, dir.path(), 4 * 1024 * 1024);
        bool intact = false;
        perPiece = std::min(perPiece, sendCommands(link, *device, commands, command, &intact));
        commandsIntact = commandsIntact && intact;
        small = {std::min(small.nsPerChunk, s.nsPerChunk), s.chunks, small.intact && s.intact};
        large = {std::min(large.nsPerChunk, l.nsPerChunk), l.chunks, large.intact && l.intact};
    }

    link.CloseDevice();

    // The capture's cost per chunk: the same image with and without it, the
    // two taking turns. Each packet is one write to the file (two per
    // chunk: its submission and its completion), which is most of it.
    constexpr qint64 kCapturedImage = 1024 * 1024;
    FileRun plain{1e300, 0, true};
    FileRun captured{1e300, 0, true};
    for (int round = 0; round < kRounds; ++round) {
        const FileRun p = sendImageByNewLink(*device, dir.path(), kCapturedImage, false);
        const FileRun c = sendImageByNewLink(*device, dir.path(), kCapturedImage, true);
        plain = {std::min(plain.nsPerChunk, p.nsPerChunk), p.chunks, plain.intact && p.intact};
        captured = {std::min(captured.nsPerChunk, c.nsPerChunk), c.chunks,
                    captured.intact && c.intact};
    }
    const double ratio = captured.nsPerChunk / plain.nsPerChunk;

    std::printf("best of %d rounds\n", kRounds);
    std::printf("bare posted-event round trip : %8.0f ns\n", roundTrip);
    std::printf("file chunk (64 B), 256 KiB   : %8.0f ns  = %5.2f round trips  (%lld chunks%s)\n",
                small.nsPerChunk, small.nsPerChunk / roundTrip, small.chunks,
                small.intact ? "" : ", IMAGE DIFFERS");
    std::printf("file chunk (64 B), 4 MiB     : %8.0f ns  = %5.2f round trips  (%lld chunks%s)\n",
                large.nsPerChunk, large.nsPerChunk / roundTrip, large.chunks,
                large.intact ? "" : ", IMAGE DIFFERS");
    std::printf("command piece (16 B)         : %8.0f ns  = %5.2f round trips  (%d commands of "
                "%d characters%s)\n",
                perPiece, perPiece / roundTrip, commands, int(command.size()),
                commandsIntact ? "" : ", PIECES MISSING");
    std::printf("file chunk (64 B), 1 MiB     : %8.0f ns without capture, %8.0f ns captured "
                "(+%.0f ns per chunk, %lld chunks%s)\n",
                plain.nsPerChunk, captured.nsPerChunk, captured.nsPerChunk - plain.nsPerChunk,
                captured.chunks, plain.intact && captured.intact ? "" : ", IMAGE DIFFERS");
    std::printf("peak memory (ru_maxrss)      : %8ld KiB\n", peakRssKiB());
    std::printf("message boxes shown          : %8d\n", sim.host().messageBoxes());
    std::printf("capture overhead: ratio %.2f (goal <= 1.3)\n", ratio);
    return small.intact && large.intact && commandsIntact && plain.intact && captured.intact ? 0
                                                                                             : 1;
}
