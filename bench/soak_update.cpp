// Update soak: 500 unattended updates in a row on the simulated device,
// each through the window's own path (a window started with the command
// line, ended at 100 %), with commands sent between them (the device
// opened again with its new firmware, three commands typed into the
// command box and sent, the device closed). The process's memory and open
// descriptors are read after every update: nothing may grow with the count.

#include "app/Application.h"
#include "app/Unit1.h"
#include "bench/BenchProcess.h"
#include "bench/BenchSetup.h"
#include "bench/BenchWindow.h"
#include "usbio/sim/SimDevice.h"

#include <QComboBox>
#include <QFile>
#include <QPushButton>

#include <algorithm>
#include <cstdio>

namespace {

constexpr int kUpdates = 500;
// Memory and descriptors are taken as the base once the program has done
// everything once and its caches are warm.
constexpr int kWarmUp = 50;

QString lastLine(const TForm1 &form)
{
    const QString log = form.Message->toPlainText();
    return log.mid(log.lastIndexOf(QLatin1Char('\n')) + 1);
}

// One update and the commands after it; false with a line on standard
// error when something did not go as it should.
bool updateAndCommands(BenchWindow &bench, usbio::SimDevice *device, const QString &image,
                       const QByteArray &bytes)
{
    if (!bench.waitFor([&] { return device->onBus() && !device->inLoader(); })) {
        std::fprintf(stderr, "the device did not come back\n");
        return false;
    }
    device->clearRecords();
    if (!bench.runToItsEnd({image}) || bench.window().Outcome().failed() ||
        !bench.waitFor([&] { return device->image() == bytes; }, 5000)) {
        std::fprintf(stderr, "the update failed:\n%s\n",
                     qPrintable(bench.window().Message->toPlainText()));
        return false;
    }

    // The device restarts with its new firmware; the window lists it.
    TForm1 &form = bench.window();
    if (!bench.waitFor([&] {
            return device->onBus() && !device->inLoader() && form.DevicesCB->count() == 1 &&
                   form.Open->isEnabled();
        })) {
        std::fprintf(stderr, "the device was not listed again\n");
        return false;
    }
    form.OpenClick(form.Open);
    if (!bench.waitFor(
            [&] { return lastLine(form).startsWith(QLatin1String("Vemo2 firmware")); })) {
        std::fprintf(stderr, "the device did not open again\n");
        return false;
    }
    for (const char *command : {"NSF?", "BE?", "DEVINFO?"}) {
        form.Command->setEditText(QString::fromLatin1(command));
        form.SendCommandClick(form.SendCommand);
    }
    if (!bench.waitFor([&] { return lastLine(form).startsWith(QLatin1String("Vemo2 SN")); })) {
        std::fprintf(stderr, "the commands were not answered:\n%s\n",
                     qPrintable(form.Message->toPlainText()));
        return false;
    }
    form.CloseClick(form.Close);
    bench.destroyWindow();
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    bench::prepareDisplay(bench::Display::OffscreenUnlessSet);
    VemoApplication app(argc, argv);

    const QString image = QStringLiteral(SAMPLE_IMAGE);
    QFile file(image);
    if (!file.open(QIODevice::ReadOnly))
        qFatal("cannot read %s", qPrintable(image));
    const QByteArray bytes = file.readAll();

    BenchWindow bench;
    usbio::SimDeviceSettings settings;
    settings.restartDelayMs = 20;
    settings.eraseDelayMs = 20;
    settings.loaderAnnouncesBlank = true;
    usbio::SimDevice *device = bench.attach(settings);

    long baseRss = 0;
    int baseDescriptors = 0;
    long lastRss = 0;
    long highestRssAfterWarmUp = 0;
    int highestDescriptorsAfterWarmUp = 0;
    int done = 0;
    for (; done < kUpdates; ++done) {
        if (!updateAndCommands(bench, device, image, bytes))
            break;
        lastRss = bench::currentRssKiB();
        const int descriptors = bench::openDescriptors();
        if (done + 1 == kWarmUp) {
            baseRss = lastRss;
            baseDescriptors = descriptors;
        } else if (done + 1 > kWarmUp) {
            highestRssAfterWarmUp = std::max(highestRssAfterWarmUp, lastRss);
            highestDescriptorsAfterWarmUp = std::max(highestDescriptorsAfterWarmUp, descriptors);
        }
        if ((done + 1) % 50 == 0)
            std::printf("%4d updates: %6.1f MiB, %d descriptors open, firmware %s\n", done + 1,
                        lastRss / 1024.0, descriptors, device->firmwareVersion().constData());
    }

    std::printf("updates done: %d of %d, message boxes shown: %d\n", done, kUpdates,
                bench.host().messageBoxes());
    std::printf("memory after %d updates: %.1f MiB, at most %.1f MiB after that, %.1f MiB at "
                "the end; peak %.1f MiB\n",
                kWarmUp, baseRss / 1024.0, highestRssAfterWarmUp / 1024.0, lastRss / 1024.0,
                std::max(bench::peakRssKiB(), highestRssAfterWarmUp) / 1024.0);
    std::printf("soak memory growth: ratio %.2f (goal <= 1.05)\n",
                double(highestRssAfterWarmUp) / double(std::max(1L, baseRss)));
    std::printf("soak descriptors growth: %d (goal 0)\n",
                highestDescriptorsAfterWarmUp - baseDescriptors);
    return done == kUpdates && bench.host().messageBoxes() == 0 ? 0 : 1;
}
