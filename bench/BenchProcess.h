#pragma once

#include <QByteArray>

// What a benchmark reads of its own process: memory and open descriptors.
namespace bench {

// The most memory the process has held so far (ru_maxrss), in KiB.
long peakRssKiB();
// The memory the process holds now (/proc/self/statm), in KiB.
long currentRssKiB();
// The descriptors open now (the entries of /proc/self/fd), the one this
// count uses itself left out.
int openDescriptors();
// The peak memory of the children waited for so far, in KiB.
long childrenPeakRssKiB();

// CPU time this thread has used, in nanoseconds: what a piece of work costs
// on a machine that other programs share (their time is not counted).
qint64 threadCpuNs();

// Bytes of deterministic text for an image of size bytes.
QByteArray imageBytes(int size);

} // namespace bench
