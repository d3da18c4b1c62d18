#include "bench/BenchSetup.h"

#include <QTemporaryDir>
#include <QtGlobal>

namespace bench {

void prepareDisplay(Display display)
{
    if (display == Display::Offscreen || qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("QT_ENABLE_HIGHDPI_SCALING", "0");
}

QString scratchFolder(const QTemporaryDir &dir)
{
    if (!dir.isValid())
        qFatal("no temporary directory: %s", qPrintable(dir.errorString()));
    return dir.path();
}

} // namespace bench
