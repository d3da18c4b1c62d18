#pragma once

#include <QList>
#include <QObject>
#include <QString>

#include <memory>

class QSocketNotifier;

namespace platform {

// SIGTERM, SIGINT, SIGHUP and SIGQUIT as Qt signals (a terminal that closes
// ends a run as a kill or Ctrl-C does): while an instance lives, the process
// does not die of them; each one that arrives is written by its handler into
// a pipe whose reading end the event loop watches, and comes out as
// received() from the loop (nested waits included), never inside the
// interrupted code. One instance at a time; the handlers before it are put
// back when it goes.
//
// A program that means to take them over calls holdUntilInstalled() first
// thing, before it starts any thread: from then until an instance is
// installed the signals wait (blocked) instead of killing it in the middle
// of its start-up, and the instance then receives them. One that finds it
// does not take them over after all calls letThrough(): a signal that
// waited ends it then, as it would have.
class TerminationSignals : public QObject
{
    Q_OBJECT
public:
    TerminationSignals();
    ~TerminationSignals() override;
    TerminationSignals(const TerminationSignals &) = delete;
    TerminationSignals &operator=(const TerminationSignals &) = delete;

    // False when the handlers could not be installed (another instance
    // holds them, or the host refused); the process then dies of the signals
    // as before.
    bool installed() const { return m_installed; }

    // The signal's name: "SIGTERM", "SIGINT", "SIGHUP", "SIGQUIT".
    static QString nameOf(int signalNumber);
    // The signals taken over.
    static QList<int> numbers();

    // Blocks the signals for the calling thread and the threads it starts
    // later, until an instance installs its handlers (or the process ends).
    // Call it from main() before any thread exists.
    static void holdUntilInstalled();
    // Unblocks what holdUntilInstalled() held, without an instance: the
    // signals end the process again (one that waited, now).
    static void letThrough();

    // Whether a signal has arrived that the loop has not handed out yet;
    // nothing is taken. For a wait that handles no messages (a program run
    // to its end) and must stop when one comes.
    static bool pending();

    // Hands out the signals that have arrived and are still waiting for the
    // loop, now, as received() of the installed instance (if any): for a
    // step that must not be taken once a signal came, such as ending a run
    // as done. False when none was waiting.
    static bool deliverPending();

Q_SIGNALS:
    void received(const QString &signalName);

private:
    void readPending();

    bool m_installed = false;
    std::unique_ptr<QSocketNotifier> m_notifier;
};

} // namespace platform
