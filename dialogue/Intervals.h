#pragma once

namespace dialogue {

// The periods of the window's timers, in milliseconds. The program runs
// with the defaults; tests shorten them through setIntervals() so a whole
// update cycle runs in moments.
struct Intervals
{
    // The loader request repeats at its generation's period (the
    // generation table: 20000 ms for "Vemo" and unknown names, 30000 ms for
    // "Vemo2" and "Vemo3") times this, at least 1 ms.
    double bwfScale = 1.0;
    int bwfLayout = 22000;      // the layout's value, replaced at every open
    int restartReminder = 3500; // "Please restart Vemo!!"
    int windTest = 10000;       // "SP2W" every 10 s
};

// The loader request's period for a generation's period in the table.
int bwfInterval(int generationPeriodMs);

const Intervals &intervals();
void setIntervals(const Intervals &values);

} // namespace dialogue
