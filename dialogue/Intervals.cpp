#include "dialogue/Intervals.h"

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

} // namespace dialogue
