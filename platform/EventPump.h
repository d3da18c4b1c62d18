#pragma once

namespace platform {

// The two ways the program lets queued messages (Qt events) run while it is
// inside a handler: handle what is there, waiting a bounded time for
// something to come, or handle what is there and go on at once. Shared by
// the real host services and the test fake, so both wait the same way.
class EventPump
{
public:
    // Handles pending events; when none is pending, waits for one, at most
    // maxWaitMs (0 or less: no wait). Without an application object there
    // are no events, and it only lets the time pass.
    static void handleMessage(int maxWaitMs);
    // Handles all events queued now, including posted ones, without waiting.
    static void processMessages();
};

} // namespace platform
