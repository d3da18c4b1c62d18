#include "platform/OnDemandLibrary.h"

#include <QMutexLocker>

namespace platform {

OnDemandLibrary::OnDemandLibrary(const char *name, int version)
    : FLibrary(QString::fromLatin1(name), version)
{}

QFunctionPointer OnDemandLibrary::resolve(const char *symbol)
{
    QMutexLocker locker(&FLock);
    if (!FTried) {
        FTried = true;
        FLibrary.load();
    }
    if (!FLibrary.isLoaded()) {
        FFailure = FLibrary.errorString().toLocal8Bit();
        return nullptr;
    }
    const QFunctionPointer function = FLibrary.resolve(symbol);
    if (!function)
        FFailure = QStringLiteral("%1 has no function %2")
                       .arg(FLibrary.fileName(), QString::fromLatin1(symbol))
                       .toLocal8Bit();
    return function;
}

} // namespace platform
