#include "bench/BenchProcess.h"

#include <QDir>
#include <QFile>
#include <QList>

#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

namespace bench {

long peakRssKiB()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

long childrenPeakRssKiB()
{
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    return usage.ru_maxrss;
}

long currentRssKiB()
{
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return -1;
    const QList<QByteArray> fields = statm.readAll().simplified().split(' ');
    if (fields.size() < 2)
        return -1;
    return fields.at(1).toLong() * (sysconf(_SC_PAGESIZE) / 1024);
}

int openDescriptors()
{
    // Listing the folder opens one descriptor of its own.
    const QStringList entries = QDir(QStringLiteral("/proc/self/fd"))
                                    .entryList(QDir::Files | QDir::System | QDir::NoDotAndDotDot);
    return int(entries.size()) - 1;
}

qint64 threadCpuNs()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return qint64(now.tv_sec) * 1000000000 + now.tv_nsec;
}

QByteArray imageBytes(int size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    quint32 state = 4711;
    for (int i = 0; i < size; ++i) {
        state = state * 1103515245u + 12345u;
        bytes[i] = char(state >> 24);
    }
    return bytes;
}

} // namespace bench
