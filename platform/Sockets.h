#pragma once

#include <QString>
#include <QtGlobal>

namespace platform {

// The few calls on the host's own sockets that the HTTP client makes itself
// (it opens and closes libcurl's sockets to report its connections). A
// socket is the host's descriptor; -1 is none.
class Sockets
{
public:
    // A new socket of the address family, type and protocol a resolved
    // address gives, not inherited by programs started later; -1 when the
    // host refuses one.
    static qintptr open(int family, int type, int protocol);
    // 0, or -1 when the host refuses.
    static int close(qintptr socket);
    // The numeric text ("127.0.0.1", "::1") of a socket address of length
    // bytes; empty when it has none.
    static QString numericAddress(const void *address, int length);
    // The numeric text of the address a socket is connected to; empty when
    // it is not connected.
    static QString peerAddress(qintptr socket);
    // Whether host is an IPv4 or IPv6 address written out, not a name.
    static bool isLiteralAddress(const QString &host);
};

} // namespace platform
