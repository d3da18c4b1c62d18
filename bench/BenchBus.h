#pragma once

#include "bench/BenchHost.h"
#include "registry/KeyStore.h"
#include "usbio/sim/SimBus.h"

#include <memory>

// The simulated bus as a benchmark drives it: the bench host (boxes counted,
// never blocking) set as the program's host, a key store in memory as the
// default store, and the bus installed as the USB backend; all undone at its
// end. Construct it after the application object.
class BenchBus
{
public:
    BenchBus();
    ~BenchBus();
    BenchBus(const BenchBus &) = delete;
    BenchBus &operator=(const BenchBus &) = delete;

    BenchHost &host() { return m_host; }
    usbio::SimBus &bus() { return *m_bus; }
    usbio::SimDevice *attach(const usbio::SimDeviceSettings &settings = {});

private:
    BenchHost m_host;
    registry::KeyStore m_store{QString()}; // memory only
    std::unique_ptr<usbio::SimBus> m_bus;
};
