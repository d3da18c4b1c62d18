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
    // A box of the batch host is one line of the run; it may end a run
    // that waits. The window of the run exists from the start of its
    // start-up.
    if (m_host)
        m_host->logLine = [this](const QString &line) {
            if (m_dialogue)
                m_dialogue->boxShown(line);
        };
    if (auto *app = qobject_cast<VemoApplication *>(QCoreApplication::instance()))
        app->onException = [this](const QString &message) {
            if (m_dialogue)
                m_dialogue->exceptionShown(message);
        };
}

void BatchRun::attach(dialogue::DeviceDialogue &dialogue)
{
    m_dialogue = &dialogue;
}

void BatchRun::detach(dialogue::DeviceDialogue &dialogue)
{
    if (m_dialogue == &dialogue)
        m_dialogue = nullptr;
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

void BatchRun::interrupted(const QString &signalName)
{
    if (!m_dialogue) {
        platform::host().terminate();
        return;
    }
    m_dialogue->interrupted(signalName);
}

void BatchRun::started(TForm1 &window)
{
    window.Dialogue().startedUp();
}

void BatchRun::timeOut()
{
    printError(
        QStringLiteral("Timed out after %1 s: the run did not end").arg(m_options.timeoutSeconds));
    // Still in start-up or not, the window exists: the loop runs only with it.
    if (m_dialogue)
        m_dialogue->timedOut(m_options.timeoutSeconds);
}

void BatchRun::writeRecord(TForm1 &window, dialogue::RunOutcome &outcome)
{
    if (!m_record)
        return;
    QString error;
    if (m_record->write(window.Dialogue().runFacts(), outcome.exitStatus(m_options.batch),
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
    dialogue::RunOutcome &outcome = window.Outcome();
    writeRecord(window, outcome);
    // A line script reads the last line; so does whoever started a
    // production command line by hand.
    const bool production =
        window.Dialogue().runs().LastRun().run != dialogue::ProductionCommandLine::Run::None;
    if (m_options.batch || production) {
        const QString line = outcome.endLine(m_options.batch);
        printError(line);
        window.log(line);
    }
    return outcome.exitStatus(m_options.batch);
}
