#include "tests/usbio/EventRecorder.h"

#include "tests/usbio/SimFixture.h"

EventRecorder::EventRecorder(usbio::Component *component, QObject *parent) : QObject(parent)
{
    connect(component, &usbio::Component::eventRaised, this,
            [this](usbio::EventId id, const usbio::EventObjectRef &object) {
                if (insideCall)
                    ++raisedInsideCall;
                events.append({id, object ? object->devicePath : QString()});
            });
}

QList<usbio::EventId> EventRecorder::ids() const
{
    QList<usbio::EventId> result;
    for (const Event &event : events)
        result.append(event.id);
    return result;
}

int EventRecorder::count(usbio::EventId id) const
{
    int n = 0;
    for (const Event &event : events)
        n += event.id == id ? 1 : 0;
    return n;
}

bool EventRecorder::waitFor(usbio::EventId id, int n, int timeoutMs) const
{
    return SimFixture::waitFor([&] { return count(id) >= n; }, timeoutMs);
}
