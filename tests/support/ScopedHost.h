#pragma once

#include "tests/support/FakeHostServices.h"

// Installs host services as platform::host() for its lifetime and puts the
// ones before back at its end. Without an argument it installs a
// FakeHostServices of its own.
class ScopedHost
{
public:
    ScopedHost();
    explicit ScopedHost(platform::HostServices &services);
    ~ScopedHost();
    ScopedHost(const ScopedHost &) = delete;
    ScopedHost &operator=(const ScopedHost &) = delete;

    // The fake this object made (the default constructor only).
    FakeHostServices &fake() { return m_ownFake; }

private:
    FakeHostServices m_ownFake;
    platform::HostServices *m_previous;
};
