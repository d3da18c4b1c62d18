#pragma once

class QObject;

// Closes that left a write of one writer in flight and whose marker the event
// queue has not reached yet. A completion the writer queued before such a
// close still arrives after it, and a write started meanwhile would take it
// for its own: a transfer would have two chunks in flight and report its end
// one completion early, a command would not wait for its piece. While any
// such close is counted, that writer's completions are stale and dropped.
// Each close queues a marker behind those completions, and the marker counts
// down.
class TStaleCompletions
{
public:
    // From now until the event queue reaches what Writer has queued so far,
    // its completions are stale. The marker goes to Writer: it is dropped
    // with it, and with it the writer's completions, so a writer deleted
    // before its owner counts no longer.
    void DropQueued(QObject *Writer);
    bool Pending() const { return FCount > 0; }

private:
    int FCount = 0;
};
