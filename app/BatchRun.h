#pragma once

#include "app/ProgramOptions.h"
#include "app/RunWatchdog.h"
#include "platform/QtHostServices.h"

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

namespace usbio {
class UsbCapture;
}

// The process's side of an unattended run (--batch, --timeout, --record):
// the time-out's timer and the watchdog behind it, the termination signals
// (SIGTERM, SIGINT, SIGHUP, SIGQUIT), an installer that runs past either,
// the capture of the traffic lost, the batch host's boxes and an exception
// reaching the application are handed
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

    // ---- A program the run waits for, and the capture ------------------------------
    // The host whose program runs (an installer) the run's time-out and
    // the signals end: a program still running then is ended with its
    // process group, inside the wait that handles no messages, and the run
    // ends (time-out, or interrupted) as it would have in its loop. Before
    // start().
    void limitProgramsOf(platform::QtHostServices &host);
    // The capture of the traffic (--capture): a capture that cannot be kept
    // (a failed write; its file removed or replaced, looked at before the
    // run's end is decided) is said once, on standard error and in the
    // message log, and fails a --batch run as a lost log file does.
    void watchCapture(usbio::UsbCapture &capture);
    // Once the message loop has ended: the exit status; the run's record is
    // written (a record that cannot be written fails the run), then with
    // --batch, or after a production command line, the run's last line
    // ("run ended: 0 done") goes to standard error and the message log.
    int finish(TForm1 &window);

    // Time the loop gets to end after the time-out before the process is
    // ended from outside it: anything else that blocks the loop (a file
    // system that hangs, a certificate that does not print). An installer
    // that never returns does not: it is ended at the time-out itself.
    static constexpr int WatchdogGraceSeconds = 15;

private:
    void timeOut();
    // A termination signal: the run ends.
    void interrupted(const QString &signalName);
    // What ends a program the run waits for: the signals (--batch), and
    // the deadline start() adds.
    platform::QtHostServices::ProgramLimit programLimit();
    // A program the run waited for was ended at the time-out or a signal.
    void programEnded(platform::QtHostServices::ProgramCut cut);
    // The capture was lost.
    void captureLost(const QString &why);
    // The capture's file still where it was named, before the end.
    void checkCapture();
    // The run's record, with the status and reason the outcome gives.
    void writeRecord(TForm1 &window, dialogue::RunOutcome &outcome);

    ProgramOptions m_options;
    platform::BatchHostServices *m_host;
    RunRecord *m_record;
    QTimer m_timeout;
    RunWatchdog m_watchdog;
    std::unique_ptr<platform::TerminationSignals> m_signals;
    dialogue::DeviceDialogue *m_dialogue = nullptr;
    platform::QtHostServices *m_programHost = nullptr;
    usbio::UsbCapture *m_capture = nullptr;
    QString m_captureLost; // said before the window's dialogue was there
};
