#include "platform/AppendFile.h"

#include "platform/FileIdentity.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

QString systemError(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// Whether the file's last byte is not a line break (an empty file ends
// none). Read where it is now: another writer may have appended since.
bool endsInsideALine(int fd)
{
    struct stat info;
    if (::fstat(fd, &info) != 0 || info.st_size <= 0)
        return false;
    char last = '\n';
    ssize_t got;
    do {
        got = ::pread(fd, &last, 1, info.st_size - 1);
    } while (got < 0 && errno == EINTR);
    return got == 1 && last != '\n';
}

} // namespace

AppendFile::~AppendFile()
{
    close();
}

bool AppendFile::open(const QString &path, QString *error)
{
    close();
    const QByteArray name = QFile::encodeName(path);
    // Said as what it is rather than as the error its open would give.
    struct stat before;
    if (::stat(name.constData(), &before) == 0 && !S_ISREG(before.st_mode)) {
        *error = QStringLiteral("'%1' is not a regular file").arg(path);
        return false;
    }
    // O_NONBLOCK: a FIFO without a reader fails at once instead of waiting
    // for one; it is refused below anyway. Not handed on to an installer.
    // Read too where it may be: the last byte tells whether the file ends
    // inside a line. A file that may only be written is appended to as it is.
    const int flags = O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK;
    int fd = ::open(name.constData(), O_RDWR | flags, 0666);
    if (fd < 0 && errno == EACCES)
        fd = ::open(name.constData(), O_WRONLY | flags, 0666);
    if (fd < 0) {
        const int why = errno;
        *error = QStringLiteral("cannot open '%1': %2").arg(path, systemError(why));
        return false;
    }
    struct stat info;
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        *error = QStringLiteral("'%1' is not a regular file").arg(path);
        return false;
    }
    const int status = ::fcntl(fd, F_GETFL);
    if (status < 0 || ::fcntl(fd, F_SETFL, status & ~O_NONBLOCK) != 0) {
        const int why = errno;
        ::close(fd);
        *error = QStringLiteral("cannot open '%1': %2").arg(path, systemError(why));
        return false;
    }
    m_fd = fd;
    m_path = path;
    return true;
}

bool AppendFile::append(const QByteArray &bytes, QString *error)
{
    if (m_fd < 0) {
        *error = QStringLiteral("the file is not open");
        return false;
    }
    if (!FileIdentity::pathNamesOpenFile(m_path, m_fd)) {
        *error = QStringLiteral("%1: '%2'").arg(QLatin1String(RemovedOrReplaced), m_path);
        return false;
    }
    // A line left unfinished before (a short write whose line break did not
    // get in either) is ended first, in the same write.
    const QByteArray out = endsInsideALine(m_fd) ? '\n' + bytes : bytes;
    ssize_t written;
    do {
        written = ::write(m_fd, out.constData(), size_t(out.size()));
    } while (written < 0 && errno == EINTR);
    if (written < 0) {
        const int why = errno;
        *error = QStringLiteral("cannot write to '%1': %2").arg(m_path, systemError(why));
        return false;
    }
    if (written != ssize_t(out.size())) {
        // Nothing can take the part back from under other writers: it is
        // ended so that it spoils only its own line.
        if (written > 0) {
            ssize_t ended;
            do {
                ended = ::write(m_fd, "\n", 1);
            } while (ended < 0 && errno == EINTR);
        }
        *error = QStringLiteral("short write to '%1': %2 of %3 bytes (is the disk full?)")
                     .arg(m_path)
                     .arg(qint64(written))
                     .arg(out.size());
        return false;
    }
    if (::fsync(m_fd) != 0) {
        const int why = errno;
        *error = QStringLiteral("cannot sync '%1': %2").arg(m_path, systemError(why));
        return false;
    }
    return true;
}

void AppendFile::close()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

} // namespace platform
