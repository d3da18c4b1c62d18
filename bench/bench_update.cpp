// The unattended update (vemotool vemo2.bin) on the simulated device, from
// the window's start with the command line to its end at 100 %, against
// the waits that are fixed by the device and the dialogue: the device off
// the bus while it restarts into its loader, the loader erasing, and, for a
// loader that waits to be asked again, the window's loader-request timer.
// The rest is what the program adds: opening, the handshakes, streaming
// the sample image, the events in between. The device's and the window's
// timers are Qt's coarse timers, which may fire up to 5 % early: a ratio a
// little under 1 means next to nothing was added.

#include "app/Application.h"
#include "app/Unit1.h"
#include "bench/BenchSetup.h"
#include "bench/BenchWindow.h"
#include "dialogue/Intervals.h"
#include "generations/GenerationTable.h"
#include "usbio/sim/SimDevice.h"

#include <QElapsedTimer>
#include <QFile>

#include <algorithm>
#include <cstdio>

namespace {

constexpr int kRounds = 5;
constexpr int kRestartMs = 200; // as examples/line.json
constexpr int kEraseMs = 300;
constexpr int kRequestIntervalMs = 1000; // the loader request, shortened from 30 s

struct Setup
{
    const char *name;
    bool loaderAnnouncesBlank;
    int fixedWaitsMs;
};

// Best wall time of an unattended update of image, in ms; negative when a
// run failed.
double bestUpdate(BenchWindow &bench, usbio::SimDevice *device, const QString &image,
                  const QByteArray &bytes)
{
    double best = 1e300;
    for (int round = 0; round < kRounds; ++round) {
        // The device is back from its last restart, running its firmware.
        if (!bench.waitFor([&] { return device->onBus() && !device->inLoader(); }))
            return -1;
        device->clearRecords();
        QElapsedTimer timer;
        timer.start();
        const bool ended = bench.runToItsEnd({image});
        const double ms = double(timer.nsecsElapsed()) / 1e6;
        // The run ends at the first 100 %, when the last chunk is handed
        // over; the device has it a moment later.
        const bool intact = bench.waitFor([&] { return device->image() == bytes; }, 5000);
        if (!ended || bench.window().Outcome().failed() || !intact) {
            std::fprintf(stderr, "%s\n", qPrintable(bench.window().Message->toPlainText()));
            return -1;
        }
        best = std::min(best, ms);
        bench.destroyWindow();
    }
    return best;
}

} // namespace

int main(int argc, char **argv)
{
    bench::prepareDisplay(bench::Display::OffscreenUnlessSet);
    VemoApplication app(argc, argv);

    dialogue::Intervals intervals;
    intervals.bwfScale = double(kRequestIntervalMs) /
                         generations::table().byName(QStringLiteral("Vemo2"))->bwfIntervalMs;
    dialogue::setIntervals(intervals);

    const QString image = QStringLiteral(SAMPLE_IMAGE);
    QFile file(image);
    if (!file.open(QIODevice::ReadOnly))
        qFatal("cannot read %s", qPrintable(image));
    const QByteArray bytes = file.readAll();

    const Setup setups[] = {
        {"loader announces the blank flash (line scripts)", true, kRestartMs + kEraseMs},
        {"loader waits for the repeated request", false,
         kRestartMs + kRequestIntervalMs + kEraseMs},
    };
    double worst = 0;
    bool failed = false;
    std::printf("best of %d updates of %s (%lld bytes) each\n", kRounds, SAMPLE_IMAGE,
                qint64(bytes.size()));
    for (const Setup &setup : setups) {
        BenchWindow bench;
        usbio::SimDeviceSettings settings;
        settings.restartDelayMs = kRestartMs;
        settings.eraseDelayMs = kEraseMs;
        settings.loaderAnnouncesBlank = setup.loaderAnnouncesBlank;
        usbio::SimDevice *device = bench.attach(settings);
        const double ms = bestUpdate(bench, device, image, bytes);
        if (ms < 0 || bench.host().messageBoxes() > 0) {
            std::printf("%s: THE UPDATE FAILED\n", setup.name);
            failed = true;
            continue;
        }
        const double ratio = ms / setup.fixedWaitsMs;
        worst = std::max(worst, ratio);
        std::printf("%s: %.0f ms, fixed waits %d ms, ratio %.2f\n", setup.name, ms,
                    setup.fixedWaitsMs, ratio);
    }
    std::printf("update overhead: ratio %.2f (goal <= 1.15)\n", worst);
    return failed ? 1 : 0;
}
