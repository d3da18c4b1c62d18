#include "files/RegularFile.h"

#include <QFile>
#include <QFileInfo>

namespace files {

QString RegularFile::notRegularReason()
{
    return QStringLiteral("not a regular file (a device, FIFO or socket)");
}

QString RegularFile::tooLargeReason(qint64 limit, qint64 size)
{
    return QStringLiteral("larger than %1 (%2 bytes)").arg(sizeText(limit)).arg(size);
}

QString RegularFile::sizeText(qint64 bytes)
{
    constexpr qint64 KiB = 1024;
    constexpr qint64 MiB = 1024 * KiB;
    if (bytes >= MiB && bytes % MiB == 0)
        return QStringLiteral("%1 MiB").arg(bytes / MiB);
    if (bytes >= KiB && bytes % KiB == 0)
        return QStringLiteral("%1 KiB").arg(bytes / KiB);
    return QStringLiteral("%1 bytes").arg(bytes);
}

QString RegularFile::checkForReading(const QString &path, qint64 limit, Problem *problem)
{
    auto found = [problem](Problem kind, const QString &why) {
        if (problem)
            *problem = kind;
        return why;
    };
    // QFileInfo looks with stat(): nothing is opened, so a FIFO cannot block.
    const QFileInfo info(path);
    if (!info.exists())
        return found(Problem::Missing, QStringLiteral("no such file"));
    if (info.isDir())
        return found(Problem::NotRegular, QStringLiteral("a folder, not a file"));
    // isFile() holds for regular files only (and Qt's resources).
    if (!info.isFile())
        return found(Problem::NotRegular, notRegularReason());
    if (info.size() > limit)
        return found(Problem::TooLarge, tooLargeReason(limit, info.size()));
    return found(Problem::None, QString());
}

QString RegularFile::checkForWriting(const QString &path)
{
    const QFileInfo info(path);
    if (!info.exists())
        return QString();
    if (info.isDir())
        return QStringLiteral("a folder, not a file");
    if (!info.isFile())
        return notRegularReason();
    return QString();
}

bool RegularFile::read(const QString &path, qint64 limit, QByteArray *content, QString *error,
                       Problem *problem)
{
    auto fail = [error, problem](Problem kind, const QString &why) {
        if (error)
            *error = why;
        if (problem)
            *problem = kind;
        return false;
    };
    Problem looked = Problem::None;
    if (const QString why = checkForReading(path, limit, &looked); !why.isEmpty())
        return fail(looked, why);
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return fail(Problem::OpenFailed, file.errorString());
    // Replaced by a pipe or a device between the look and the open.
    if (file.isSequential())
        return fail(Problem::NotRegular, notRegularReason());
    // Read to its end, never past the bound: a file that grows meanwhile
    // (or lies about its size) stops at limit + 1 bytes.
    QByteArray bytes;
    bytes.reserve(qsizetype(qMin(file.size(), limit) + 1));
    char buffer[64 * 1024];
    for (;;) {
        const qint64 want = qMin<qint64>(sizeof buffer, limit + 1 - bytes.size());
        const qint64 got = file.read(buffer, want);
        if (got < 0)
            return fail(Problem::ReadFailed, file.errorString());
        if (got == 0)
            break;
        bytes.append(buffer, qsizetype(got));
        if (bytes.size() > limit)
            return fail(Problem::TooLarge,
                        tooLargeReason(limit, qMax(file.size(), qint64(bytes.size()))));
    }
    *content = std::move(bytes);
    if (problem)
        *problem = Problem::None;
    return true;
}

} // namespace files
