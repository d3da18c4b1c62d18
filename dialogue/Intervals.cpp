#include "dialogue/Intervals.h"

#include <QtGlobal>

namespace dialogue {

namespace {
Intervals g_intervals;
}

const Intervals &intervals()
{
    return g_intervals;
}

void setIntervals(const Intervals &values)
{
    g_intervals = values;
}

int bwfInterval(int generationPeriodMs)
{
    return qMax(1, qRound(generationPeriodMs * g_intervals.bwfScale));
}

} // namespace dialogue
