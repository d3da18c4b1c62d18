#pragma once

#include <QObject>
#include <QString>

#include <memory>

class QSocketNotifier;

namespace platform {

// SIGTERM and SIGINT as Qt signals: while an instance lives, the process
// does not die of them; each one that arrives is written by its handler into
// a pipe whose reading end the event loop watches, and comes out as
// received() from the loop (nested waits included), never inside the
// interrupted code. One instance at a time; the handlers before it are put
// back when it goes.
//
// A program that means to take them over calls holdUntilInstalled() first
// thing, before it starts any thread: from then until an instance is
// installed the signals wait (blocked) instead of killing it in the middle
// of its start-up, and the instance then receives them.
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

    // The signal's name: "SIGTERM", "SIGINT".
    static QString nameOf(int signalNumber);

    // Blocks SIGTERM and SIGINT for the calling thread and the threads it
    // starts later, until an instance installs its handlers (or the process
    // ends). Call it from main() before any thread exists.
    static void holdUntilInstalled();

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
