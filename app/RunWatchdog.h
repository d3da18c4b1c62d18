#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

// The last resort of a run with a time-out: when the message loop is
// blocked (an installer that never returns) the run cannot end itself, so a
// thread of its own ends the process with the time-out's exit status once
// the deadline has passed, saying so on standard error. Stopping it (or
// destroying it) before then lets the process go on.
class RunWatchdog
{
public:
    RunWatchdog() = default;
    ~RunWatchdog();
    RunWatchdog(const RunWatchdog &) = delete;
    RunWatchdog &operator=(const RunWatchdog &) = delete;

    // Starts watching; the process ends after this long unless stopped,
    // with endLine on standard error. beforeEnd, when set, runs on the
    // watchdog's thread just before the process ends (after the line): it
    // must touch nothing the blocked loop's thread may be changing.
    void start(std::chrono::milliseconds deadline, const std::string &endLine = EndLine,
               std::function<void()> beforeEnd = {});
    void stop();

    // What it writes to standard error as it ends the process.
    static constexpr const char *EndLine =
        "vemotool: the run did not end after its time-out; ending it";
    // What it writes when start-up (reading the files, reaching the
    // display) has not got as far as the run's own time-out by then.
    static std::string startUpEndLine(int seconds);

private:
    std::thread m_thread;
    std::mutex m_mutex;
    std::condition_variable m_stop;
    bool m_stopping = false;
};
