// Receive soak: a million device chunks (life ticks and lines, the life-tick
// filter on and off) into one window through the handler the link's chunks
// reach. Once both logs are full the window's memory stays where it is; the
// cost of the last 10 000 chunks is held against the first 10 000's, which
// went into empty logs. Costs are CPU time,
// so that other programs on the machine do not count.

#include "app/Application.h"
#include "app/Unit1.h"
#include "bench/BenchProcess.h"
#include "bench/BenchSetup.h"
#include "bench/BenchWindow.h"
#include "bench/ReceiveFeed.h"

#include <QTextDocument>

#include <algorithm>
#include <cstdio>

namespace {

constexpr qint64 kChunks = 1000000;
constexpr qint64 kBlock = 10000;
// Memory is compared from here on: both logs are full (the message log, which
// gets about six lines of ten chunks, after some 170 000) and have dropped
// lines a few times over.
constexpr qint64 kSettled = 300000;

} // namespace

int main(int argc, char **argv)
{
    bench::prepareDisplay(bench::Display::OffscreenUnlessSet);
    VemoApplication app(argc, argv);
    BenchWindow bench;
    bench.attach({});
    TForm1 &form = bench.start();
    bench.open();

    qint64 first = 0;
    qint64 last = 0;
    qint64 fullAt = -1; // the chunk after which both logs had started to drop lines
    long rssBase = 0;   // once the full logs have settled
    long rssMaxAfterBase = 0;
    for (qint64 n = 0; n < kChunks; n += kBlock) {
        const qint64 cost = ReceiveFeed::feedWindow(form, n, kBlock);
        if (n == 0)
            first = cost;
        last = cost;
        const long rss = bench::currentRssKiB();
        if (fullAt < 0 && form.Message->dropping() && form.WithoutFilter->dropping())
            fullAt = n + kBlock;
        if (n + kBlock == kSettled)
            rssBase = rss;
        else if (n + kBlock > kSettled)
            rssMaxAfterBase = std::max(rssMaxAfterBase, rss);
        if ((n + kBlock) % 100000 == 0)
            std::printf("%7lld chunks: %5.1f us per chunk, %4ld MiB, logs %d + %d lines\n",
                        n + kBlock, double(cost) / kBlock / 1000, rss / 1024,
                        form.Message->document()->blockCount(),
                        form.WithoutFilter->document()->blockCount());
    }
    const long rssEnd = bench::currentRssKiB();

    std::printf("first 10 000 chunks: %.1f us per chunk; last 10 000: %.1f us per chunk\n",
                double(first) / kBlock / 1000, double(last) / kBlock / 1000);
    if (fullAt >= 0)
        std::printf("both logs full after %lld chunks; memory %ld MiB after %lld chunks, at most "
                    "%ld MiB after that, %ld MiB at the end\n",
                    fullAt, rssBase / 1024, kSettled, rssMaxAfterBase / 1024, rssEnd / 1024);
    else
        std::printf("THE LOGS NEVER FILLED\n");
    std::printf("peak memory: %ld MiB\n", std::max(bench::peakRssKiB(), rssMaxAfterBase) / 1024);
    std::printf("message boxes shown: %d\n", bench.host().messageBoxes());
    if (fullAt >= 0)
        std::printf("receive soak memory growth: ratio %.2f (goal <= 1.05)\n",
                    double(rssMaxAfterBase) / double(rssBase));
    std::printf("receive soak: ratio %.2f (goal <= 1.2)\n", double(last) / double(first));
    return fullAt >= 0 && bench.host().messageBoxes() == 0 ? 0 : 1;
}
