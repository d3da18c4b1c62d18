// Start-up: the program run as a line script runs it when there is nothing
// to do (--batch on a simulated bus with no device: it starts, logs its
// start-up and ends), against a bare Qt Widgets program that shows a window
// and ends, both on the offscreen platform (and, for reference, the same
// window with a label and an editable combo box: the fonts any window with
// text sets up). Wall time and peak memory of
// each run, the two taking turns; the best of several runs of each.

#include "bench/BenchSetup.h"
#include "bench/QuietSpawn.h"

#include <QByteArray>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <vector>

extern char **environ;

namespace {

constexpr int kRuns = 30;

struct Run
{
    double ms = 0;
    double cpuMs = 0; // user and system time of the process
    long peakKiB = 0;
    int status = -1;
};

Run runOnce(const std::vector<QByteArray> &arguments)
{
    Run run;
    QElapsedTimer timer;
    timer.start();
    const pid_t pid = bench::spawnQuiet(arguments);
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) != pid)
        qFatal("cannot wait for %s", arguments.front().constData());
    run.ms = double(timer.nsecsElapsed()) / 1e6;
    run.cpuMs = (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
                (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
    run.peakKiB = usage.ru_maxrss;
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

Run best(const Run &a, const Run &b)
{
    return {std::min(a.ms, b.ms), std::min(a.cpuMs, b.cpuMs), std::min(a.peakKiB, b.peakKiB),
            a.status != 0 ? a.status : b.status};
}

} // namespace

int main()
{
    // The same platform for every program compared, and no display needed.
    bench::prepareDisplay(bench::Display::Offscreen);

    QTemporaryDir dir;
    bench::scratchFolder(dir);
    const QString config = dir.filePath(QStringLiteral("no-device.json"));
    QFile file(config);
    if (!file.open(QIODevice::WriteOnly) || file.write("{ \"devices\": [] }\n") < 0)
        qFatal("cannot write %s", qPrintable(config));
    file.close();

    const std::vector<QByteArray> program{
        VEMOTOOL_PATH, "--batch", "--sim=" + QFile::encodeName(config),
        "--registry=" + QFile::encodeName(dir.filePath(QStringLiteral("registry.json")))};
    const std::vector<QByteArray> bare{BARE_WINDOW_PATH};
    const std::vector<QByteArray> bareText{BARE_WINDOW_PATH, "--text"};

    // A first run of each brings the files into the page cache.
    runOnce(program);
    runOnce(bare);
    runOnce(bareText);
    Run programBest{1e300, 1e300, 1L << 40, 0};
    Run bareBest{1e300, 1e300, 1L << 40, 0};
    Run bareTextBest{1e300, 1e300, 1L << 40, 0};
    for (int i = 0; i < kRuns; ++i) {
        programBest = best(programBest, runOnce(program));
        bareBest = best(bareBest, runOnce(bare));
        bareTextBest = best(bareTextBest, runOnce(bareText));
    }

    std::printf("best of %d runs each, offscreen\n", kRuns);
    std::printf("vemotool --batch, no device  : %6.1f ms (CPU %5.1f ms), peak %6.1f MB (exit "
                "status %d)\n",
                programBest.ms, programBest.cpuMs, programBest.peakKiB / 1024.0,
                programBest.status);
    std::printf("bare Qt Widgets window       : %6.1f ms (CPU %5.1f ms), peak %6.1f MB (exit "
                "status %d)\n",
                bareBest.ms, bareBest.cpuMs, bareBest.peakKiB / 1024.0, bareBest.status);
    std::printf("bare window with text        : %6.1f ms (CPU %5.1f ms), peak %6.1f MB (exit "
                "status %d)\n",
                bareTextBest.ms, bareTextBest.cpuMs, bareTextBest.peakKiB / 1024.0,
                bareTextBest.status);
    std::printf("start-up CPU time: ratio %.2f\n", programBest.cpuMs / bareBest.cpuMs);
    std::printf("for reference, against the bare window with text: ratio %.2f (CPU %.2f)\n",
                programBest.ms / bareTextBest.ms, programBest.cpuMs / bareTextBest.cpuMs);
    std::printf("start-up memory: +%.1f MB over bare (goal <= 15)\n",
                (programBest.peakKiB - bareBest.peakKiB) / 1024.0);
    std::printf("start-up: ratio %.2f (goal <= 1.5)\n", programBest.ms / bareBest.ms);
    return programBest.status == 0 && bareBest.status == 0 && bareTextBest.status == 0 ? 0 : 1;
}
