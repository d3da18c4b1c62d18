#include "bench/BenchBus.h"

#include "platform/HostServices.h"

BenchBus::BenchBus() : m_bus(std::make_unique<usbio::SimBus>(&m_store))
{
    platform::setHost(&m_host);
    registry::KeyStore::setDefaultStore(&m_store);
    m_bus->install();
}

BenchBus::~BenchBus()
{
    m_bus.reset();
    registry::KeyStore::setDefaultStore(nullptr);
    platform::setHost(nullptr);
}

usbio::SimDevice *BenchBus::attach(const usbio::SimDeviceSettings &settings)
{
    return m_bus->attach(settings);
}
