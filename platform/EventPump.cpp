#include "platform/EventPump.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <chrono>
#include <thread>

namespace platform {

void EventPump::handleMessage(int maxWaitMs)
{
    if (!QCoreApplication::instance()) {
        if (maxWaitMs > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(maxWaitMs));
        return;
    }
    if (maxWaitMs <= 0) {
        processMessages();
        return;
    }
    // The timer's own event ends the wait when nothing else comes first.
    QTimer wakeUp;
    wakeUp.setSingleShot(true);
    wakeUp.setTimerType(Qt::PreciseTimer);
    wakeUp.start(maxWaitMs);
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    // A wait nested in the handler of a posted event does not deliver the
    // events posted behind that one; deliver them here.
    QCoreApplication::sendPostedEvents();
}

void EventPump::processMessages()
{
    if (!QCoreApplication::instance())
        return;
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    // What the handlers posted meanwhile is queued now as well.
    QCoreApplication::sendPostedEvents();
}

} // namespace platform
