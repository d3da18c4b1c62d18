#include "app/BatchRun.h"

#include "app/Unit1.h"
#include "dialogue/LinkCalls.h"
#include "dialogue/Protocol.h"
#include "platform/BatchHostServices.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>

namespace {

// How often the read-back of a serial number is looked for.
constexpr int kSerialCheckMs = 25;

} // namespace

BatchRun::BatchRun(const ProgramOptions &options, platform::BatchHostServices *host)
    : m_options(options), m_host(host)
{
    m_timeout.setSingleShot(true);
    connect(&m_timeout, &QTimer::timeout, this, &BatchRun::timeOut);
    m_serialCheck.setInterval(kSerialCheckMs);
    connect(&m_serialCheck, &QTimer::timeout, this, &BatchRun::checkSerialReadBack);
}

BatchRun::~BatchRun()
{
    stopWatchdog();
}

void BatchRun::start()
{
    if (m_options.timeoutSeconds <= 0)
        return;
    m_timeout.start(m_options.timeoutSeconds * 1000);
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::seconds(m_options.timeoutSeconds + WatchdogGraceSeconds);
    m_watchdog = std::thread([this, deadline] {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (m_stop.wait_until(lock, deadline, [this] { return m_stopping; }))
            return;
        // The message loop is blocked and cannot end the run itself.
        std::fputs("vemotool: the run did not end after its time-out; ending it\n", stderr);
        std::fflush(stderr);
        std::_Exit(ProgramOptions::TimeoutExitCode);
    });
}

void BatchRun::stopWatchdog()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
    }
    m_stop.notify_all();
    if (m_watchdog.joinable())
        m_watchdog.join();
}

void BatchRun::started(TForm1 &window)
{
    m_window = &window;
    if (!m_options.batch || m_timedOut)
        return;
    using Run = dialogue::ProductionCommandLine::Run;
    const dialogue::CommandLineRuns &runs = window.Runs();
    switch (runs.LastRun().run) {
    case Run::None:
        // Nothing to run: start-up is all there is.
        window.endProgram(false);
        return;
    case Run::Serial:
        if (!runs.SerialWritten()) {
            window.endProgram(true);
            return;
        }
        // Read the number back: the run has reached its end when the
        // device reports the number it was given.
        m_boxesBeforeReadBack = m_host ? m_host->boxesShown() : 0;
        if (dialogue::LinkCalls::sendCommand(window, dialogue::protocol::SerialQuery) !=
            usbio::status::Success) {
            window.log(QStringLiteral("Could not read the serial number back"));
            window.endProgram(true);
            return;
        }
        m_serialCheck.start();
        return;
    case Run::Update:
        // The update ends the program itself: at 100 %, or as failed.
        return;
    }
}

void BatchRun::checkSerialReadBack()
{
    if (!m_window)
        return;
    const QByteArray wanted = m_window->Runs().LastRun().serialNumber;
    const QByteArray &read = m_window->SerialNo;
    if (read == wanted) {
        m_serialCheck.stop();
        m_window->log(QStringLiteral("serial number read back: ") + QString::fromLatin1(read));
        m_window->endProgram(false);
    } else if (!read.isEmpty()) {
        m_serialCheck.stop();
        m_window->log(QStringLiteral("serial number read back differs: ") +
                      QString::fromLatin1(read));
        m_window->endProgram(true);
    } else if (m_host && m_host->boxesShown() > m_boxesBeforeReadBack) {
        // A refused reply: no other will come.
        m_serialCheck.stop();
        m_window->endProgram(true);
    }
}

void BatchRun::timeOut()
{
    m_timedOut = true;
    m_serialCheck.stop();
    const QString line =
        QStringLiteral("Timed out after %1 s: the run did not end").arg(m_options.timeoutSeconds);
    std::fprintf(stderr, "%s\n", qPrintable(line));
    std::fflush(stderr);
    if (m_window) {
        m_window->log(line);
        m_window->endProgram(true);
    } else if (Form1) {
        // Still in start-up: the window exists, the loop is not entered.
        Form1->log(line);
        Form1->endProgram(true);
    }
}

int BatchRun::exitStatus(const TForm1 &window) const
{
    if (m_timedOut)
        return ProgramOptions::TimeoutExitCode;
    if (!m_options.batch)
        return 0;
    const bool boxShown = m_host && m_host->boxesShown() > 0;
    if (window.RunFailed() || boxShown || window.CertificateFailed() || !window.RunEnded())
        return ProgramOptions::RunFailedExitCode;
    return 0;
}
