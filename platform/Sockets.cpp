#include "platform/Sockets.h"

#include <QByteArray>

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

namespace platform {

qintptr Sockets::open(int family, int type, int protocol)
{
    return ::socket(family, type | SOCK_CLOEXEC, protocol);
}

int Sockets::close(qintptr socket)
{
    return ::close(int(socket));
}

QString Sockets::numericAddress(const void *address, int length)
{
    char host[NI_MAXHOST] = {};
    if (getnameinfo(static_cast<const sockaddr *>(address), socklen_t(length), host, sizeof host,
                    nullptr, 0, NI_NUMERICHOST) != 0)
        return QString();
    return QString::fromLatin1(host);
}

QString Sockets::peerAddress(qintptr socket)
{
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    if (getpeername(int(socket), reinterpret_cast<sockaddr *>(&peer), &length) != 0)
        return QString();
    return numericAddress(&peer, int(length));
}

bool Sockets::isLiteralAddress(const QString &host)
{
    const QByteArray text = host.toLatin1();
    unsigned char address[sizeof(in6_addr)];
    return inet_pton(AF_INET, text.constData(), address) == 1 ||
           inet_pton(AF_INET6, text.constData(), address) == 1;
}

} // namespace platform
