#include "tests/support/ScopedHost.h"

ScopedHost::ScopedHost() : ScopedHost(m_ownFake) {}

ScopedHost::ScopedHost(platform::HostServices &services) : m_previous(platform::setHost(&services))
{}

ScopedHost::~ScopedHost()
{
    platform::setHost(m_previous);
}
