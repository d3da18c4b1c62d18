#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <mutex>
#include <thread>

// A small HTTP/1.1 server on 127.0.0.1 for the download tests. It runs on a
// thread of its own, because the client blocks the test's thread while it
// fetches. Every request gets the reply set last, one connection each
// ("Connection: close"); the reply's faults are what the tests ask for.
// Bodies are generated as they are sent, so a large one costs no memory.
class TestHttpServer
{
public:
    struct Reply
    {
        int status = 200;
        QByteArray reason = "OK";
        qint64 size = 0; // body length, bytes of pattern(seed)
        quint32 seed = 1;
        bool announceLength = true; // a Content-Length header
        QByteArray extraHeaders;    // more header lines, each ending in CRLF
        qint64 cutAfter = -1;       // close the connection after this many body bytes
        int chunkSize = 16384;
        int chunkDelayMs = 0; // pause before each chunk: a slow (or stalled) body
        // When set, the whole reply as it goes on the wire, in place of the
        // one made from the fields above (a head cut short, headers that
        // contradict each other); sent in pieces of chunkSize bytes, then
        // the connection is closed.
        QByteArray raw;
    };

    // The body bytes: the same seed and index always give the same byte.
    static char patternByte(quint32 seed, qint64 index);
    static QByteArray pattern(quint32 seed, qint64 size);

    TestHttpServer();
    ~TestHttpServer();
    TestHttpServer(const TestHttpServer &) = delete;
    TestHttpServer &operator=(const TestHttpServer &) = delete;

    quint16 port() const { return m_port; }
    // "http://127.0.0.1:PORT"
    QString url() const;

    void setReply(const Reply &reply);
    // The request lines received, in order ("GET /path HTTP/1.1").
    QStringList requests() const;
    // The last request's header lines.
    QStringList lastRequestHeaders() const;
    // Forgets the requests received so far.
    void clearRequests();

private:
    void run();
    void serve(int socket);
    // Waits, but not past a stop; false once stopping.
    bool pause(int milliseconds);

    int m_listener = -1;
    int m_wake[2] = {-1, -1};
    quint16 m_port = 0;
    mutable std::mutex m_mutex;
    Reply m_reply;
    QStringList m_requests;
    QStringList m_lastHeaders;
    std::thread m_thread;
};
