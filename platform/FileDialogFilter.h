#pragma once

#include <QString>
#include <QStringList>

namespace platform {

// The toolkit's file-dialog filter ("Vemo update files|vemo.exe;vemo.bin")
// in Qt's form ("Vemo update files (vemo.exe vemo.bin)"); a trailing
// description without patterns is dropped.
QStringList qtNameFilters(const QString &filter);

} // namespace platform
