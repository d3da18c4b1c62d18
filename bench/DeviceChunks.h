#pragma once

#include <QByteArray>

// A device's output as the receive benchmarks feed it: life ticks (a time of
// day, "VEMO:RUN BAT OK"), short answers, and a line split over a full
// 16-character chunk and the next. Chunk n is always the same text; with the
// filter on, the ticks are hidden.
class DeviceChunks
{
public:
    // Chunks in one round of the mix.
    static constexpr int Period = 8;

    static QByteArray chunk(qint64 n);
    // Whether the life-tick filter is on at chunk n: on and off in turns of
    // 1 000 chunks, so every 10 000 chunks have the same mix.
    static bool filterOn(qint64 n) { return (n / 1000) % 2 == 1; }
};
