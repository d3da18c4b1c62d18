#include "platform/TerminationSignals.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <iterator>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

namespace platform {

namespace {

// The signals taken over, in the order their handlers go in.
constexpr int kSignals[] = {SIGTERM, SIGINT, SIGHUP, SIGQUIT};
constexpr int kSignalCount = int(sizeof(kSignals) / sizeof(kSignals[0]));

// The pipe the handlers write into: [0] read by the loop, [1] written by
// the handlers. -1 while no instance lives.
int g_pipe[2] = {-1, -1};
// The handlers before the instance's, one per signal of kSignals.
struct sigaction g_previous[kSignalCount];
// The installed instance, for deliverPending().
TerminationSignals *g_instance = nullptr;
// holdUntilInstalled() blocked the signals: the instance lets them through.
bool g_held = false;

sigset_t signalSet()
{
    sigset_t set;
    sigemptyset(&set);
    for (const int number : kSignals)
        sigaddset(&set, number);
    return set;
}

void releaseHeld()
{
    if (!g_held)
        return;
    g_held = false;
    const sigset_t set = signalSet();
    ::pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

extern "C" void onTerminationSignal(int signalNumber)
{
    // Only what is safe in a handler: one write, errno kept. The pipe never
    // blocks; a full one (EAGAIN) holds bytes the loop has yet to read, so
    // it learns of a signal all the same. Any other failure would lose the
    // signal: it then does what it does without the handler.
    const int savedErrno = errno;
    const unsigned char byte = static_cast<unsigned char>(signalNumber);
    if (g_pipe[1] >= 0 && ::write(g_pipe[1], &byte, 1) != 1 && errno != EAGAIN) {
        ::signal(signalNumber, SIG_DFL);
        ::raise(signalNumber);
    }
    errno = savedErrno;
}

void closePipe()
{
    ::close(g_pipe[0]);
    ::close(g_pipe[1]);
    g_pipe[0] = g_pipe[1] = -1;
}

} // namespace

TerminationSignals::TerminationSignals()
{
    if (g_pipe[0] >= 0)
        return; // another instance holds them
    if (::pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        g_pipe[0] = g_pipe[1] = -1;
        releaseHeld(); // they end the process as before
        return;
    }
    struct sigaction action = {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    // Interrupted system calls go on: the loop learns of the signal itself.
    action.sa_flags = SA_RESTART;
    for (int i = 0; i < kSignalCount; ++i) {
        if (::sigaction(kSignals[i], &action, &g_previous[i]) == 0)
            continue;
        // All or none: the ones in already are put back.
        while (i-- > 0)
            ::sigaction(kSignals[i], &g_previous[i], nullptr);
        closePipe();
        releaseHeld();
        return;
    }
    m_installed = true;
    g_instance = this;
    m_notifier = std::make_unique<QSocketNotifier>(g_pipe[0], QSocketNotifier::Read);
    connect(m_notifier.get(), &QSocketNotifier::activated, this, [this] { readPending(); });
    // Signals held since the program's start reach the handlers now.
    releaseHeld();
}

TerminationSignals::~TerminationSignals()
{
    if (!m_installed)
        return;
    g_instance = nullptr;
    m_notifier.reset();
    for (int i = 0; i < kSignalCount; ++i)
        ::sigaction(kSignals[i], &g_previous[i], nullptr);
    closePipe();
}

QString TerminationSignals::nameOf(int signalNumber)
{
    switch (signalNumber) {
    case SIGTERM:
        return QStringLiteral("SIGTERM");
    case SIGINT:
        return QStringLiteral("SIGINT");
    case SIGHUP:
        return QStringLiteral("SIGHUP");
    case SIGQUIT:
        return QStringLiteral("SIGQUIT");
    default:
        return QStringLiteral("signal %1").arg(signalNumber);
    }
}

QList<int> TerminationSignals::numbers()
{
    return QList<int>(std::begin(kSignals), std::end(kSignals));
}

void TerminationSignals::holdUntilInstalled()
{
    if (g_held || g_pipe[0] >= 0)
        return;
    const sigset_t set = signalSet();
    g_held = ::pthread_sigmask(SIG_BLOCK, &set, nullptr) == 0;
}

void TerminationSignals::letThrough()
{
    releaseHeld();
}

bool TerminationSignals::pending()
{
    if (g_pipe[0] < 0)
        return false;
    struct pollfd readable = {g_pipe[0], POLLIN, 0};
    int ready;
    do {
        ready = ::poll(&readable, 1, 0);
    } while (ready < 0 && errno == EINTR);
    return ready > 0 && (readable.revents & POLLIN);
}

bool TerminationSignals::deliverPending()
{
    if (!g_instance)
        return false;
    // Each one read is told; a receiver may end the instance itself.
    bool any = false;
    unsigned char byte = 0;
    while (g_instance && g_pipe[0] >= 0 && ::read(g_pipe[0], &byte, 1) == 1) {
        any = true;
        Q_EMIT g_instance->received(nameOf(byte));
    }
    return any;
}

void TerminationSignals::readPending()
{
    // One signal per activation, told last: a receiver may end everything.
    // The notifier fires again while more are pending.
    unsigned char byte = 0;
    if (::read(g_pipe[0], &byte, 1) == 1)
        Q_EMIT received(nameOf(byte));
}

} // namespace platform
