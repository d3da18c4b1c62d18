#pragma once

#include <QHash>
#include <QObject>
#include <QTimer>

#include <functional>

struct libusb_context;
class QSocketNotifier;

namespace usbio {

// Runs libusb's event handling on the thread of the Qt event loop: one
// socket notifier per descriptor libusb polls, so transfer and hotplug
// callbacks all run on the main thread, from the event loop, and never in
// parallel with a component operation.
class LibusbEventPump : public QObject
{
    Q_OBJECT
public:
    explicit LibusbEventPump(libusb_context *context, QObject *parent = nullptr);
    ~LibusbEventPump() override;
    LibusbEventPump(const LibusbEventPump &) = delete;
    LibusbEventPump &operator=(const LibusbEventPump &) = delete;

    // Handles what libusb has ready now, without waiting.
    void handleReady();
    // Runs libusb's own event handling (not Qt's) until done() holds or
    // timeoutMs has passed; the stops wait for their cancellations this way.
    bool handleUntil(const std::function<bool()> &done, int timeoutMs);
    // Whether libusb's event handling is running now (its callbacks are
    // being called).
    bool handling() const { return m_handling; }
    // Called after each round of libusb's event handling, once every
    // callback of the round has run.
    void setRoundEnd(std::function<void()> roundEnd) { m_roundEnd = std::move(roundEnd); }

private:
    struct Watch
    {
        QSocketNotifier *read = nullptr;
        QSocketNotifier *write = nullptr;
    };

    static void pollfdAdded(int fd, short events, void *user);
    static void pollfdRemoved(int fd, void *user);
    void watch(int fd, short events);
    void unwatch(int fd);
    void armTimeout();

    libusb_context *m_context;
    QHash<int, Watch> m_watches;
    // Only used where libusb leaves its timeouts to the caller.
    QTimer m_timeout;
    bool m_handling = false;
    std::function<void()> m_roundEnd;
};

} // namespace usbio
