#include "platform/HostServices.h"

#include <QtGlobal>

#include <utility>

namespace platform {

namespace {
HostServices *g_host = nullptr;
} // namespace

HostServices &host()
{
    // The program sets the desktop's (or an unattended run's) services at its
    // start, a test its fake: a call before that is a fault of the caller.
    if (!g_host)
        qFatal("platform::host() called before the program set its host services");
    return *g_host;
}

HostServices *setHost(HostServices *services)
{
    return std::exchange(g_host, services);
}

} // namespace platform
