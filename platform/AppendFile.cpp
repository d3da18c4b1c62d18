#include "platform/AppendFile.h"

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
    const int fd =
        ::open(name.constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0666);
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
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
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
    ssize_t written;
    do {
        written = ::write(m_fd, bytes.constData(), size_t(bytes.size()));
    } while (written < 0 && errno == EINTR);
    if (written < 0) {
        const int why = errno;
        *error = QStringLiteral("cannot write to '%1': %2").arg(m_path, systemError(why));
        return false;
    }
    if (written != ssize_t(bytes.size())) {
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
                     .arg(bytes.size());
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
