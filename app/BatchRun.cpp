#include "app/BatchRun.h"

#include "app/Application.h"
#include "app/RunRecord.h"
#include "app/Unit1.h"
#include "platform/BatchHostServices.h"
#include "platform/HostServices.h"
#include "platform/TerminationSignals.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

using dialogue::EndKind;

namespace {

void printError(const QString &line)
{
    const QByteArray bytes = line.toLocal8Bit() + '\n';
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stderr);
    std::fflush(stderr);
}

} // namespace

BatchRun::BatchRun(const ProgramOptions &options, platform::BatchHostServices *host,
                   RunRecord *record)
    : m_options(options), m_host(host), m_record(record)
{
    m_timeout.setSingleShot(true);
    connect(&m_timeout, &QTimer::timeout, this, &BatchRun::timeOut);
    if (m_host)
        m_host->logLine = [this](const QString &line) { boxShown(line); };
    if (auto *app = qobject_cast<VemoApplication *>(QCoreApplication::instance()))
        app->onException = [this](const QString &message) { exceptionShown(message); };
}

BatchRun::~BatchRun()
{
    if (m_host)
        m_host->logLine = nullptr;
    if (auto *app = qobject_cast<VemoApplication *>(QCoreApplication::instance()))
        app->onException = nullptr;
}

void BatchRun::start(std::optional<std::chrono::steady_clock::time_point> runStart)
{
    if (m_options.batch) {
        m_signals = std::make_unique<platform::TerminationSignals>();
        connect(m_signals.get(), &platform::TerminationSignals::received, this,
                &BatchRun::interrupted);
    }
    if (m_options.timeoutSeconds <= 0)
        return;
    using std::chrono::milliseconds;
    const auto now = std::chrono::steady_clock::now();
    const milliseconds spent =
        std::chrono::duration_cast<milliseconds>(now - runStart.value_or(now));
    const milliseconds left =
        std::max(milliseconds(0), milliseconds(m_options.timeoutSeconds * 1000LL) - spent);
    m_timeout.start(int(left.count()));
    // A loop blocked past its time-out still leaves its record, with what
    // is known without the loop's thread.
    std::function<void()> recordEnd;
    if (m_record && m_record->wanted()) {
        recordEnd = [record = m_record] {
            QString error;
            record->write(dialogue::RunFacts(), ProgramOptions::TimeoutExitCode,
                          QString::fromLatin1(RunWatchdog::EndLine), &error,
                          RunRecord::Facts::Lost);
        };
    }
    m_watchdog.start(left + std::chrono::seconds(WatchdogGraceSeconds), RunWatchdog::EndLine,
                     std::move(recordEnd));
}

void BatchRun::boxShown(const QString &line)
{
    // The window of the run (it exists from the start of its start-up).
    if (!Form1)
        return;
    Form1->Outcome().recordBox(line);
    Form1->log(line);
    Form1->ReadBack().BoxShown(line);
    Form1->Ending().BoxShown(line);
}

void BatchRun::exceptionShown(const QString &message)
{
    if (Form1)
        Form1->Outcome().recordException(message);
}

void BatchRun::interrupted(const QString &signalName)
{
    // A run that has ended already is left to end as it did.
    if (platform::host().terminateRequested())
        return;
    if (!Form1) {
        platform::host().terminate();
        return;
    }
    Form1->ReadBack().Abandon();
    Form1->Ending().Interrupted(signalName);
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
        window.endProgram(EndKind::Done, QStringLiteral("nothing to run"));
        return;
    case Run::Serial:
        if (!runs.SerialWritten()) {
            window.endProgram(runs.SerialDeviceOpen() ? EndKind::Failed : EndKind::NoDevice,
                              QStringLiteral("Error writing serial number!"));
            return;
        }
        window.ReadBack().Start(runs.LastRun().serialNumber);
        return;
    case Run::Update:
        // The update ends the program itself: when it is done, or as failed.
        return;
    }
}

void BatchRun::timeOut()
{
    const QString line =
        QStringLiteral("Timed out after %1 s: the run did not end").arg(m_options.timeoutSeconds);
    printError(line);
    // Still in start-up or not, the window exists: the loop runs only with it.
    if (!Form1)
        return;
    Form1->ReadBack().Abandon();
    Form1->log(line);
    // A device that does not come back after its update did not take it.
    QString verification;
    if (Form1->Ending().TimeOutEnd(m_options.timeoutSeconds, &verification)) {
        Form1->endProgram(EndKind::ImageNotLoaded, verification);
        return;
    }
    Form1->Outcome().recordTimeOut(m_options.timeoutSeconds);
    Form1->endProgram(EndKind::TimeOut,
                      QStringLiteral("time-out after %1 s").arg(m_options.timeoutSeconds));
}

void BatchRun::writeRecord(TForm1 &window, RunOutcome &outcome)
{
    if (!m_record)
        return;
    QString error;
    if (m_record->write(window.runFacts(), outcome.exitStatus(m_options.batch),
                        outcome.endReason(m_options.batch), &error))
        return;
    const QString line = QStringLiteral("Could not write the run's record: ") + error;
    printError(line);
    window.log(line);
    outcome.recordRecordFailure(error);
}

int BatchRun::finish(TForm1 &window)
{
    // A log file removed or replaced since its last look counts before the
    // run's last line is decided.
    window.CheckLogFile();
    RunOutcome &outcome = window.Outcome();
    writeRecord(window, outcome);
    if (m_options.batch) {
        const QString line = outcome.endLine(true);
        printError(line);
        window.log(line);
    }
    return outcome.exitStatus(m_options.batch);
}
