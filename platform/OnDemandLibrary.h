#pragma once

#include <QByteArray>
#include <QLibrary>
#include <QMutex>

namespace platform {

// A shared library that only some runs need (libcurl for the firmware
// download, libcups for printing), loaded at the first call of one of its
// functions rather than with the program: every library the program links
// is loaded, relocated and searched at each start, with all the libraries
// it pulls in after it.
class OnDemandLibrary
{
public:
    // name and major version as QLibrary takes them ("curl", 4 for
    // libcurl.so.4).
    OnDemandLibrary(const char *name, int version);
    OnDemandLibrary(const OnDemandLibrary &) = delete;
    OnDemandLibrary &operator=(const OnDemandLibrary &) = delete;

    // The function, loading the library at the first call; null when the
    // library or the function is not there (failure() then says why).
    QFunctionPointer resolve(const char *symbol);
    // Why the last resolve failed, as one line ("libcurl.so.4 could not be
    // loaded: ..."); stays valid until the next resolve.
    const char *failure() const { return FFailure.constData(); }

private:
    QMutex FLock;
    QLibrary FLibrary;
    bool FTried = false;
    QByteArray FFailure;
};

} // namespace platform
