#pragma once

#include "registry/KeyStore.h"
#include "usbio/sim/SimBus.h"
#include "usbio/sim/SimComponent.h"
#include "usbio/sim/SimDevice.h"

#include <functional>
#include <memory>

// A simulated bus installed as the "sim" backend, publishing into a key
// store of its own (in memory), and helpers that take a component instance
// through the link's open sequence.
class SimFixture
{
public:
    SimFixture();
    ~SimFixture();
    SimFixture(const SimFixture &) = delete;
    SimFixture &operator=(const SimFixture &) = delete;

    registry::KeyStore store{QString()};
    usbio::SimBus bus{&store};

    // A new instance of the "sim" backend.
    std::unique_ptr<usbio::SimComponent> component();
    // Enumerate, open device index, declare interface 0, select
    // configuration 0 and bind endpoint; the first non-zero status, or 0.
    static usbio::Status openPipe(usbio::Component &component, quint8 endpoint, int index = 0);
    // A component with its pipe bound (fails the test otherwise).
    std::unique_ptr<usbio::SimComponent> pipe(quint8 endpoint, int index = 0);

    // Handles everything queued now and what that posts, for a few ms.
    static void settle(int ms = 5);
    // Handles events until done() holds (true) or timeoutMs passed (false);
    // returns as soon as an event makes it hold, without a polling delay.
    static bool waitFor(const std::function<bool()> &done, int timeoutMs = 2000);
};
