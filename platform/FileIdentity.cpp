#include "platform/FileIdentity.h"

#include <QFile>

#include <sys/stat.h>

namespace platform {

bool FileIdentity::pathNamesOpenFile(const QString &path, int descriptor)
{
    struct stat open = {};
    struct stat named = {};
    if (descriptor < 0 || ::fstat(descriptor, &open) != 0)
        return false;
    if (::stat(QFile::encodeName(path).constData(), &named) != 0)
        return false;
    return open.st_dev == named.st_dev && open.st_ino == named.st_ino;
}

} // namespace platform
