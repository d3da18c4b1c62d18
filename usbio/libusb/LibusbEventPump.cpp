#include "usbio/libusb/LibusbEventPump.h"

#include <QDeadlineTimer>
#include <QSocketNotifier>
#include <QThread>

#include <libusb.h>
#include <poll.h>

namespace usbio {

LibusbEventPump::LibusbEventPump(libusb_context *context, QObject *parent)
    : QObject(parent), m_context(context)
{
    m_timeout.setSingleShot(true);
    connect(&m_timeout, &QTimer::timeout, this, &LibusbEventPump::handleReady);
    libusb_set_pollfd_notifiers(m_context, &LibusbEventPump::pollfdAdded,
                                &LibusbEventPump::pollfdRemoved, this);
    if (const libusb_pollfd **fds = libusb_get_pollfds(m_context)) {
        for (const libusb_pollfd **fd = fds; *fd; ++fd)
            watch((*fd)->fd, (*fd)->events);
        libusb_free_pollfds(fds);
    }
    armTimeout();
}

LibusbEventPump::~LibusbEventPump()
{
    libusb_set_pollfd_notifiers(m_context, nullptr, nullptr, nullptr);
    for (const Watch &watch : std::as_const(m_watches)) {
        delete watch.read;
        delete watch.write;
    }
}

void LibusbEventPump::pollfdAdded(int fd, short events, void *user)
{
    auto *pump = static_cast<LibusbEventPump *>(user);
    if (QThread::currentThread() == pump->thread())
        pump->watch(fd, events);
    else
        QMetaObject::invokeMethod(
            pump, [pump, fd, events] { pump->watch(fd, events); }, Qt::QueuedConnection);
}

void LibusbEventPump::pollfdRemoved(int fd, void *user)
{
    auto *pump = static_cast<LibusbEventPump *>(user);
    if (QThread::currentThread() == pump->thread())
        pump->unwatch(fd);
    else
        QMetaObject::invokeMethod(
            pump, [pump, fd] { pump->unwatch(fd); }, Qt::QueuedConnection);
}

void LibusbEventPump::watch(int fd, short events)
{
    unwatch(fd);
    Watch watch;
    if (events & POLLIN) {
        watch.read = new QSocketNotifier(fd, QSocketNotifier::Read, this);
        connect(watch.read, &QSocketNotifier::activated, this, &LibusbEventPump::handleReady);
    }
    if (events & POLLOUT) {
        watch.write = new QSocketNotifier(fd, QSocketNotifier::Write, this);
        connect(watch.write, &QSocketNotifier::activated, this, &LibusbEventPump::handleReady);
    }
    m_watches.insert(fd, watch);
}

void LibusbEventPump::unwatch(int fd)
{
    const auto it = m_watches.find(fd);
    if (it == m_watches.end())
        return;
    // The notifier may be the one whose activation is being handled.
    for (QSocketNotifier *notifier : {it->read, it->write}) {
        if (notifier) {
            notifier->setEnabled(false);
            notifier->deleteLater();
        }
    }
    m_watches.erase(it);
}

void LibusbEventPump::handleReady()
{
    if (m_handling)
        return;
    m_handling = true;
    timeval zero{0, 0};
    libusb_handle_events_timeout_completed(m_context, &zero, nullptr);
    m_handling = false;
    if (m_roundEnd)
        m_roundEnd();
    armTimeout();
}

bool LibusbEventPump::handleUntil(const std::function<bool()> &done, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    const bool nested = m_handling;
    m_handling = true;
    while (!done() && !deadline.hasExpired()) {
        // Short slices: libusb busy-loops on a device that answers nothing.
        timeval slice{0, 10 * 1000};
        libusb_handle_events_timeout_completed(m_context, &slice, nullptr);
        if (m_roundEnd)
            m_roundEnd();
    }
    m_handling = nested;
    armTimeout();
    return done();
}

void LibusbEventPump::armTimeout()
{
    if (libusb_pollfds_handle_timeouts(m_context))
        return;
    timeval next{0, 0};
    const int pending = libusb_get_next_timeout(m_context, &next);
    if (pending == 1)
        m_timeout.start(int(next.tv_sec * 1000 + (next.tv_usec + 999) / 1000));
    else
        m_timeout.stop();
}

} // namespace usbio
