// The receive path: 100 000 device chunks through the window's handler into
// its two logs, against the same lines appended to bare text views shaped as
// the window's, in the same run. The ratio is what the handler adds to the
// appends it cannot do without; the handler's cost should also stay the same
// from the first 10 000 chunks to the last, as the logs fill. Costs are CPU
// time, so that other programs on the machine do not count.

#include "app/Application.h"
#include "app/Unit1.h"
#include "bench/BenchProcess.h"
#include "bench/BenchSetup.h"
#include "bench/BenchWindow.h"
#include "bench/ReceiveFeed.h"

#include <QList>

#include <algorithm>
#include <cstdio>
#include <limits>

namespace {

constexpr qint64 kChunks = 100000;
constexpr qint64 kBlock = 10000;
constexpr int kBlocks = int(kChunks / kBlock);
constexpr int kRounds = 3;

void keepBest(QList<qint64> &into, const QList<qint64> &round)
{
    for (int i = 0; i < into.size(); ++i)
        into[i] = std::min(into[i], round[i]);
}

qint64 sum(const QList<qint64> &blocks)
{
    qint64 total = 0;
    for (qint64 block : blocks)
        total += block;
    return total;
}

// The window's newest lines of a log, without what the window says about
// the logs themselves (the raw log's bound is reached in every round).
QStringList deviceLines(const QPlainTextEdit &view, int count)
{
    QStringList lines = ReceiveFeed::lastLines(view, count + 10);
    lines.removeIf(
        [](const QString &line) { return line.startsWith(QLatin1String("The raw log")); });
    return lines.mid(lines.size() - count);
}

} // namespace

int main(int argc, char **argv)
{
    bench::prepareDisplay(bench::Display::OffscreenUnlessSet);
    VemoApplication app(argc, argv);
    BenchWindow bench;
    bench.attach({});

    const QList<ReceiveFeed::ShownLines> lines = ReceiveFeed::linesOf(0, kChunks);

    // The best of a few rounds, block by block, the window and the bare
    // views taking turns, each round from empty logs.
    QList<qint64> window(kBlocks, std::numeric_limits<qint64>::max());
    QList<qint64> bare(kBlocks, std::numeric_limits<qint64>::max());
    bool same = true;
    for (int round = 0; round < kRounds; ++round) {
        TForm1 &form = bench.start();
        bench.open();
        QList<qint64> windowRound;
        for (int block = 0; block < kBlocks; ++block)
            windowRound << ReceiveFeed::feedWindow(form, block * kBlock, kBlock);

        ReceiveFeed::BareViews views(form);
        QList<qint64> bareRound;
        for (int block = 0; block < kBlocks; ++block)
            bareRound << views.append(lines, block * kBlock, kBlock);

        // Like for like: both show the same newest lines.
        same =
            same &&
            deviceLines(*form.WithoutFilter, 1000) == ReceiveFeed::lastLines(views.raw(), 1000) &&
            deviceLines(*form.Message, 1000) == ReceiveFeed::lastLines(views.message(), 1000);
        keepBest(window, windowRound);
        keepBest(bare, bareRound);
        bench.destroyWindow();
    }

    const double ratio = double(sum(window)) / double(sum(bare));
    const double flat = double(window.last()) / double(window.first());
    std::printf("best of %d rounds, %lld chunks each (life ticks and lines, filter on and off), "
                "CPU time\n",
                kRounds, kChunks);
    std::printf("window handler : %6.1f us per chunk (first 10 000: %.1f, last 10 000: %.1f)\n",
                double(sum(window)) / kChunks / 1000, double(window.first()) / kBlock / 1000,
                double(window.last()) / kBlock / 1000);
    std::printf("bare appends   : %6.1f us per chunk (first 10 000: %.1f, last 10 000: %.1f)\n",
                double(sum(bare)) / kChunks / 1000, double(bare.first()) / kBlock / 1000,
                double(bare.last()) / kBlock / 1000);
    std::printf("peak memory    : %6ld MiB\n", bench::peakRssKiB() / 1024);
    if (!same)
        std::printf("THE WINDOW'S LINES DIFFER FROM THE BARE VIEWS'\n");
    std::printf("receive path flat: last/first 10 000 chunks %.2f (goal <= 1.2)\n", flat);
    std::printf("receive path: ratio %.2f (goal <= 1.2)\n", ratio);
    return same && bench.host().messageBoxes() == 0 ? 0 : 1;
}
