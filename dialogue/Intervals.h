#pragma once

namespace dialogue {

// The periods of the window's timers, in milliseconds. The program runs
// with the defaults; tests shorten them through setIntervals() so a whole
// update cycle runs in moments.
struct Intervals
{
    int bwfFirstGeneration = 20000;  // loader request repeat, "Vemo" and unknown names
    int bwfLaterGenerations = 30000; // loader request repeat, "Vemo2" and "Vemo3"
    int bwfLayout = 22000;           // the layout's value, replaced at every open
    int restartReminder = 3500;      // "Please restart Vemo!!"
    int windTest = 10000;            // "SP2W" every 10 s
};

const Intervals &intervals();
void setIntervals(const Intervals &values);

} // namespace dialogue
