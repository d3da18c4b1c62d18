#include "app/RunWatchdog.h"

#include "app/ProgramOptions.h"

#include <cstdio>
#include <cstdlib>

RunWatchdog::~RunWatchdog()
{
    stop();
}

std::string RunWatchdog::startUpEndLine(int seconds)
{
    return "vemotool: time-out after " + std::to_string(seconds) +
           " s, still starting (reading its files or reaching the display); ending it";
}

void RunWatchdog::start(std::chrono::milliseconds deadline, const std::string &endLine,
                        std::function<void()> beforeEnd)
{
    const auto until = std::chrono::steady_clock::now() + deadline;
    m_thread = std::thread([this, until, endLine, beforeEnd = std::move(beforeEnd)] {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (m_stop.wait_until(lock, until, [this] { return m_stopping; }))
            return;
        std::fputs(endLine.c_str(), stderr);
        std::fputc('\n', stderr);
        std::fflush(stderr);
        if (beforeEnd)
            beforeEnd();
        std::_Exit(ProgramOptions::TimeoutExitCode);
    });
}

void RunWatchdog::stop()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
    }
    m_stop.notify_all();
    if (m_thread.joinable())
        m_thread.join();
}
