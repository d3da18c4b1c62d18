// Memory of the simulated device taking a large image through the device
// link: the growth of the process's peak resident size while the image
// goes in, beside the image's size. The device keeps the image its loader
// assembles and, for receivedChunks(), the first 16 MiB of chunks; the rest
// of the transfer streams from the file.
//
//   vemo_bench_simmemory [MiB]      (default 128)

#include "bench/BenchBus.h"
#include "bench/BenchSetup.h"
#include "link/VemoUSBinterface.h"
#include "usbio/sim/SimDevice.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <sys/resource.h>

#include <cstdio>
#include <functional>

namespace {

long peakRssKiB()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

char patternByte(qint64 index)
{
    return char((quint64(index) * 0x9E3779B97F4A7C15ULL) >> 56);
}

void waitFor(const std::function<bool()> &done, const char *what)
{
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > 300000)
            qFatal("gave up waiting for %s", what);
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
    }
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const qint64 mib = argc > 1 ? QByteArray(argv[1]).toLongLong() : 128;
    const qint64 size = mib * 1024 * 1024 + 17;
    if (mib < 1)
        qFatal("usage: %s [MiB]", argv[0]);

    BenchBus sim;
    usbio::SimDeviceSettings settings;
    settings.loaderAnnouncesBlank = true;
    usbio::SimDevice *device = sim.attach(settings);

    // The image file, written in pieces: the bench holds no copy of it.
    QTemporaryDir dir;
    bench::scratchFolder(dir);
    const QString path = dir.filePath(QStringLiteral("image.bin"));
    {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly))
            qFatal("cannot write %s", qPrintable(path));
        QByteArray piece(1024 * 1024, Qt::Uninitialized);
        for (qint64 at = 0; at < size; at += piece.size()) {
            const qint64 n = std::min<qint64>(piece.size(), size - at);
            for (qint64 i = 0; i < n; ++i)
                piece[i] = patternByte(at + i);
            if (file.write(piece.constData(), n) != n)
                qFatal("cannot write %s", qPrintable(path));
        }
    }

    // Into the loader, which announces a blank flash by itself.
    TVemoUSBinterface link(&app);
    link.ConnectInterfaces();
    if (link.ScanDevices() != 1 || link.OpenDevice(0) != 0)
        qFatal("cannot open the simulated device");
    bool blank = false;
    link.OnDataReceived = [&](TObject *, AnsiString &data) {
        blank = blank || data.contains("Flash is BLANK");
    };
    link.SendCommand("USB-Vemo:BWF!!!");
    waitFor([&] { return device->onBus() && device->inLoader(); }, "the loader");
    link.CloseDevice();
    if (link.ScanDevices() != 1 || link.OpenDevice(0) != 0 || link.StartReceive(false) != 0)
        qFatal("cannot open the loader");
    link.SendCommand("USB-Vemo:BWF!!!"); // answered once the flash is erased
    waitFor([&] { return blank; }, "Flash is BLANK");

    const long before = peakRssKiB();
    bool done = false;
    link.OnFileProgress = [&](TObject *, int percent) { done = done || percent == 100; };
    QElapsedTimer timer;
    timer.start();
    if (link.SendFile(QFile::encodeName(path)) != 0)
        qFatal("SendFile refused");
    waitFor([&] { return done && device->image().size() == size; }, "the image");
    const double seconds = timer.elapsed() / 1000.0;
    const long after = peakRssKiB();
    link.CloseDevice();

    const QByteArray image = device->image();
    bool intact = image.size() == size;
    for (qint64 i = 0; intact && i < size; ++i)
        intact = image.at(i) == patternByte(i);
    const double grownMiB = (after - before) / 1024.0;
    std::printf("image                 : %lld MiB + 17 bytes, %lld chunks, %.1f s%s\n", mib,
                device->receivedChunkCount(), seconds, intact ? "" : ", IMAGE DIFFERS");
    std::printf("peak resident growth  : %.1f MiB = %.2f x the image\n", grownMiB,
                grownMiB / (double(size) / (1024 * 1024)));
    std::printf("chunks kept as bytes  : %lld\n", qlonglong(device->receivedChunks().size()));
    return intact ? 0 : 1;
}
