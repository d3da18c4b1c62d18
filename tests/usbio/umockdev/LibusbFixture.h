#pragma once

#include "registry/KeyStore.h"
#include "tests/usbio/umockdev/UsbMockBus.h"
#include "tests/usbio/umockdev/UsbMockDevice.h"
#include "usbio/libusb/LibusbBackend.h"
#include "usbio/libusb/LibusbComponent.h"

#include <functional>
#include <memory>

// The "libusb" backend over a umockdev testbed: devices are added to the
// mock first, then start() brings up libusb, which finds them as it would
// real ones. The backend publishes into a key store of its own (in memory).
class LibusbFixture
{
public:
    LibusbFixture();
    ~LibusbFixture();
    LibusbFixture(const LibusbFixture &) = delete;
    LibusbFixture &operator=(const LibusbFixture &) = delete;

    UsbMockBus mock;
    registry::KeyStore store{QString()};
    std::unique_ptr<usbio::LibusbBackend> backend;

    // Installs the backend (libusb starts, finds what the mock holds).
    void start();
    std::unique_ptr<usbio::LibusbComponent> component();
    // A component with its pipe bound, through the link's open sequence.
    std::unique_ptr<usbio::LibusbComponent> pipe(quint8 endpoint, int index = 0);

    // Handles events until done() holds (true) or timeoutMs passed (false).
    static bool waitFor(const std::function<bool()> &done, int timeoutMs = 3000);
    static void settle(int ms = 20);
};
