#include "platform/FileIdentity.h"

#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

FileIdentity::Place placeOfStat(const struct stat &info)
{
    FileIdentity::Place place;
    place.device = static_cast<unsigned long long>(info.st_dev);
    place.inode = static_cast<unsigned long long>(info.st_ino);
    return place;
}

// A dangling symbolic link is followed to what it would create; a loop of
// them gives up after a few steps.
QString followLinks(const QString &path)
{
    QString current = path;
    for (int steps = 0; steps < 40; ++steps) {
        const QFileInfo info(current);
        if (!info.isSymLink())
            return current;
        current = info.symLinkTarget();
        if (current.isEmpty())
            return path;
    }
    return current;
}

} // namespace

std::optional<FileIdentity::Place> FileIdentity::placeOf(const QString &path)
{
    struct stat info = {};
    if (path == QLatin1String("-")) {
        if (::fstat(STDOUT_FILENO, &info) != 0)
            return std::nullopt;
        return placeOfStat(info);
    }
    if (::stat(QFile::encodeName(path).constData(), &info) == 0)
        return placeOfStat(info);
    // Nothing there yet: the folder it would be created in, and its name.
    const QFileInfo target(followLinks(path));
    const QString folder = target.absolutePath();
    if (::stat(QFile::encodeName(folder).constData(), &info) != 0 || !S_ISDIR(info.st_mode))
        return std::nullopt;
    Place place = placeOfStat(info);
    place.createdAs = target.fileName();
    return place;
}

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
