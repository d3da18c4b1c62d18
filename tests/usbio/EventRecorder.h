#pragma once

#include "usbio/Component.h"

#include <QList>
#include <QObject>
#include <QString>

// Writes down every event a component raises, in order, and tells whether
// one came while an operation of the test was running (it must not).
class EventRecorder : public QObject
{
    Q_OBJECT
public:
    struct Event
    {
        usbio::EventId id;
        QString devicePath; // plug-and-play events only
    };

    explicit EventRecorder(usbio::Component *component, QObject *parent = nullptr);

    QList<Event> events;
    // Set by the test around a component call; an event raised meanwhile is
    // counted in raisedInsideCall.
    bool insideCall = false;
    int raisedInsideCall = 0;

    QList<usbio::EventId> ids() const;
    int count(usbio::EventId id) const;
    void clear() { events.clear(); }
    // Handles events until count(id) reaches n or timeoutMs passed.
    bool waitFor(usbio::EventId id, int n, int timeoutMs = 2000) const;
};
