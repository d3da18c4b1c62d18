#include "tests/download/TestHttpServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <stdexcept>

char TestHttpServer::patternByte(quint32 seed, qint64 index)
{
    const quint64 mixed =
        (quint64(index) + 1) * 0x9E3779B97F4A7C15ULL + seed * 0xBF58476D1CE4E5B9ULL;
    return char(mixed >> 56);
}

QByteArray TestHttpServer::pattern(quint32 seed, qint64 size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (qint64 i = 0; i < size; ++i)
        bytes[i] = patternByte(seed, i);
    return bytes;
}

TestHttpServer::TestHttpServer()
{
    m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof address;
    if (m_listener < 0 || ::bind(m_listener, reinterpret_cast<sockaddr *>(&address), length) != 0 ||
        ::listen(m_listener, 8) != 0 ||
        ::getsockname(m_listener, reinterpret_cast<sockaddr *>(&address), &length) != 0 ||
        ::pipe2(m_wake, O_CLOEXEC) != 0)
        throw std::runtime_error("the test server cannot listen");
    m_port = ntohs(address.sin_port);
    m_thread = std::thread([this] { run(); });
}

TestHttpServer::~TestHttpServer()
{
    const char stop = 's';
    (void)!::write(m_wake[1], &stop, 1);
    m_thread.join();
    ::close(m_listener);
    ::close(m_wake[0]);
    ::close(m_wake[1]);
}

QString TestHttpServer::url() const
{
    return QStringLiteral("http://127.0.0.1:%1").arg(m_port);
}

void TestHttpServer::setReply(const Reply &reply)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_reply = reply;
}

QStringList TestHttpServer::requests() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_requests;
}

QStringList TestHttpServer::lastRequestHeaders() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_lastHeaders;
}

void TestHttpServer::clearRequests()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_requests.clear();
    m_lastHeaders.clear();
}

bool TestHttpServer::pause(int milliseconds)
{
    pollfd wake{m_wake[0], POLLIN, 0};
    return ::poll(&wake, 1, milliseconds) == 0;
}

void TestHttpServer::run()
{
    for (;;) {
        pollfd fds[2] = {{m_listener, POLLIN, 0}, {m_wake[0], POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0 || (fds[1].revents & POLLIN))
            return;
        const int socket = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (socket < 0)
            continue;
        // Each piece of a reply goes out as it is written, small ones too,
        // instead of waiting for the client's acknowledgement of the last.
        const int noDelay = 1;
        ::setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);
        serve(socket);
        ::close(socket);
    }
}

void TestHttpServer::serve(int socket)
{
    // The request head; a GET has no body.
    QByteArray head;
    while (!head.contains("\r\n\r\n") && head.size() < 65536) {
        pollfd fds[2] = {{socket, POLLIN, 0}, {m_wake[0], POLLIN, 0}};
        if (::poll(fds, 2, 10000) <= 0 || (fds[1].revents & POLLIN))
            return;
        char buffer[4096];
        const ssize_t got = ::recv(socket, buffer, sizeof buffer, 0);
        if (got <= 0)
            return;
        head.append(buffer, got);
    }
    QStringList lines =
        QString::fromLatin1(head.left(head.indexOf("\r\n\r\n"))).split(QStringLiteral("\r\n"));
    Reply reply;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_requests << lines.takeFirst();
        m_lastHeaders = lines;
        reply = m_reply;
    }

    const auto sendAll = [socket](const char *data, qint64 size) {
        while (size > 0) {
            const ssize_t sent = ::send(socket, data, size_t(size), MSG_NOSIGNAL);
            if (sent <= 0)
                return false;
            data += sent;
            size -= sent;
        }
        return true;
    };

    if (!reply.raw.isEmpty()) {
        for (qint64 at = 0; at < reply.raw.size(); at += reply.chunkSize) {
            if (reply.chunkDelayMs > 0 && !pause(reply.chunkDelayMs))
                return;
            if (!sendAll(reply.raw.constData() + at,
                         std::min<qint64>(reply.chunkSize, reply.raw.size() - at)))
                return;
        }
        ::shutdown(socket, SHUT_WR);
        return;
    }

    QByteArray response = "HTTP/1.1 " + QByteArray::number(reply.status) + ' ' + reply.reason +
                          "\r\nConnection: close\r\n";
    if (reply.announceLength)
        response += "Content-Length: " + QByteArray::number(reply.size) + "\r\n";
    response += reply.extraHeaders + "\r\n";
    if (!sendAll(response.constData(), response.size()))
        return;

    const qint64 end = reply.cutAfter >= 0 ? std::min(reply.cutAfter, reply.size) : reply.size;
    QByteArray chunk;
    for (qint64 at = 0; at < end;) {
        if (reply.chunkDelayMs > 0 && !pause(reply.chunkDelayMs))
            return;
        const qint64 size = std::min<qint64>(reply.chunkSize, end - at);
        chunk.resize(size);
        for (qint64 i = 0; i < size; ++i)
            chunk[i] = patternByte(reply.seed, at + i);
        if (!sendAll(chunk.constData(), size))
            return;
        at += size;
    }
    ::shutdown(socket, SHUT_WR);
}
