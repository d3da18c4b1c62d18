#include "platform/HostServices.h"

#include "platform/QtHostServices.h"

namespace platform {

namespace {
HostServices *g_host = nullptr;
} // namespace

HostServices &host()
{
    if (g_host)
        return *g_host;
    // The real desktop, made on first use and kept for the whole process.
    static QtHostServices desktop;
    return desktop;
}

void setHost(HostServices *services)
{
    g_host = services;
}

} // namespace platform
