#pragma once

#include "app/ProgramOptions.h"
#include "app/RunWatchdog.h"

#include <QObject>
#include <QString>
#include <QTimer>

#include <chrono>
#include <memory>
#include <optional>

class RunRecord;
class TForm1;

namespace dialogue {
class DeviceDialogue;
class RunOutcome;
} // namespace dialogue

namespace platform {
class BatchHostServices;
class TerminationSignals;
} // namespace platform

// The process's side of an unattended run (--batch, --timeout, --record):
// the time-out's timer and the watchdog behind it, SIGTERM and SIGINT, the
// batch host's boxes and an exception reaching the application are handed
// to the window's dialogue (dialogue::DeviceDialogue decides what each
// does to the run); at the end the run's record is written and its last
// line ("run ended: 0 done") said, from the dialogue's outcome.
class BatchRun : public QObject
{
    Q_OBJECT
public:
    // host: the batch host when --batch is given, else null. Its boxes go to
    // the message log of the window there is. record: where the run's
    // record goes (--record), else null.
    BatchRun(const ProgramOptions &options, platform::BatchHostServices *host,
             RunRecord *record = nullptr);
    ~BatchRun() override;
    BatchRun(const BatchRun &) = delete;
    BatchRun &operator=(const BatchRun &) = delete;

    // Before the window: the time-out covers start-up, whose production run
    // may already wait for the device; so do the signals. The time-out runs
    // from runStart (the process's start, which a start-up watchdog covered
    // until now); without one, from now.
    void start(std::optional<std::chrono::steady_clock::time_point> runStart = std::nullopt);
    // The window's dialogue, from before its start-up to its end: what the
    // run hears goes there.
    void attach(dialogue::DeviceDialogue &dialogue);
    void detach(dialogue::DeviceDialogue &dialogue);
    // After the window's start-up, with its production run dispatched.
    void started(TForm1 &window);
    // Once the message loop has ended: the exit status; the run's record is
    // written (a record that cannot be written fails the run), then with
    // --batch, or after a production command line, the run's last line
    // ("run ended: 0 done") goes to standard error and the message log.
    int finish(TForm1 &window);

    // Time the loop gets to end after the time-out before the process is
    // ended from outside it (an installer that never returns blocks it).
    static constexpr int WatchdogGraceSeconds = 15;

private:
    void timeOut();
    // SIGTERM or SIGINT: the run ends.
    void interrupted(const QString &signalName);
    // The run's record, with the status and reason the outcome gives.
    void writeRecord(TForm1 &window, dialogue::RunOutcome &outcome);

    ProgramOptions m_options;
    platform::BatchHostServices *m_host;
    RunRecord *m_record;
    QTimer m_timeout;
    RunWatchdog m_watchdog;
    std::unique_ptr<platform::TerminationSignals> m_signals;
    dialogue::DeviceDialogue *m_dialogue = nullptr;
};
