#include "app/BatchRun.h"

#include "app/Unit1.h"
#include "platform/BatchHostServices.h"

#include <chrono>
#include <cstdio>

BatchRun::BatchRun(const ProgramOptions &options, platform::BatchHostServices *host)
    : m_options(options), m_host(host)
{
    m_timeout.setSingleShot(true);
    connect(&m_timeout, &QTimer::timeout, this, &BatchRun::timeOut);
    if (m_host)
        m_host->logLine = [this](const QString &line) { boxShown(line); };
}

BatchRun::~BatchRun()
{
    if (m_host)
        m_host->logLine = nullptr;
}

void BatchRun::start()
{
    if (m_options.timeoutSeconds <= 0)
        return;
    m_timeout.start(m_options.timeoutSeconds * 1000);
    m_watchdog.start(std::chrono::seconds(m_options.timeoutSeconds + WatchdogGraceSeconds));
}

void BatchRun::boxShown(const QString &line)
{
    // The window of the run (it exists from the start of its start-up).
    if (!Form1)
        return;
    Form1->log(line);
    Form1->ReadBack().BoxShown();
}

void BatchRun::started(TForm1 &window)
{
    if (!m_options.batch || window.Outcome().timedOut())
        return;
    using Run = dialogue::ProductionCommandLine::Run;
    const dialogue::CommandLineRuns &runs = window.Runs();
    switch (runs.LastRun().run) {
    case Run::None:
        // Nothing to run: start-up is all there is.
        window.endProgram(false, QStringLiteral("nothing to run"));
        return;
    case Run::Serial:
        if (!runs.SerialWritten()) {
            window.endProgram(true, QStringLiteral("Error writing serial number!"));
            return;
        }
        window.ReadBack().Start(runs.LastRun().serialNumber);
        return;
    case Run::Update:
        // The update ends the program itself: at 100 %, or as failed.
        return;
    }
}

void BatchRun::timeOut()
{
    const QString line =
        QStringLiteral("Timed out after %1 s: the run did not end").arg(m_options.timeoutSeconds);
    std::fprintf(stderr, "%s\n", qPrintable(line));
    std::fflush(stderr);
    // Still in start-up or not, the window exists: the loop runs only with it.
    if (!Form1)
        return;
    Form1->Outcome().recordTimeOut();
    Form1->ReadBack().Abandon();
    Form1->log(line);
    Form1->endProgram(true, line);
}

int BatchRun::exitStatus(const TForm1 &window) const
{
    const int status =
        window.Outcome().exitStatus(m_options.batch, m_host ? m_host->boxesShown() : 0);
    // A run refused for its device says which way.
    if (status == ProgramOptions::RunFailedExitCode) {
        switch (window.deviceChoice().refusal()) {
        case dialogue::DeviceChoice::Refusal::NotAttached:
            return ProgramOptions::NoDeviceExitCode;
        case dialogue::DeviceChoice::Refusal::OtherDevice:
            return ProgramOptions::ImageNotLoadedExitCode;
        case dialogue::DeviceChoice::Refusal::None:
            break;
        }
    }
    return status;
}
