// A web server's reply as it comes over the wire: the input, after a first
// byte that picks how it is cut into writes, is what a server on the
// loopback sends to the HTTP client's GET (status line, headers, body)
// before it closes the connection. A GET that succeeds must have had a
// success status, told its handlers of exactly one reply, and written the
// body it announced.

#include "download/IdHTTP.h"
#include "fuzz/FuzzInput.h"
#include "tests/download/TestHttpServer.h"

#include <QBuffer>

namespace {

TestHttpServer *g_server = nullptr;

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzzCoreApplication();
    for (const char *name :
         {"http_proxy", "https_proxy", "all_proxy", "HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY"})
        qunsetenv(name);
    g_server = new TestHttpServer;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzInput input(data, size);
    const quint8 cut = input.byte();
    TestHttpServer::Reply reply;
    reply.raw = input.rest();
    if (reply.raw.isEmpty())
        return 0;
    reply.chunkSize = cut < 128 ? 65536 : 1 + cut % 32;
    g_server->setReply(reply);

    TIdHTTP client;
    client.ConnectTimeout = 5000;
    client.ReadTimeout = 2000;
    client.TotalTimeout = 5000;
    int headers = 0;
    int begun = 0;
    int ended = 0;
    qint64 lastCount = 0;
    client.OnHeadersAvailable = [&](QObject *, const QByteArrayList &, bool &) { ++headers; };
    client.OnWorkBegin = [&](QObject *, TWorkMode, qint64) { ++begun; };
    client.OnWork = [&](QObject *, TWorkMode, qint64 count) {
        FUZZ_CHECK(count > lastCount, QByteArray::number(count));
        lastCount = count;
    };
    client.OnWorkEnd = [&](QObject *, TWorkMode) { ++ended; };
    QByteArray body;
    QBuffer content(&body);
    content.open(QIODevice::WriteOnly);

    bool fetched = false;
    try {
        client.Get(g_server->url() + QStringLiteral("/orvik/download/uC/vemo2.exe"), content);
        fetched = true;
    } catch (const EIdException &e) {
        FUZZ_CHECK(*e.what() != '\0', reply.raw);
    }
    // The server's record of requests would grow with every input; the
    // fuzzer's leak check looks at what one input leaves behind.
    g_server->clearRequests();
    FUZZ_CHECK(headers <= 1 && begun <= 1 && ended == begun, reply.raw);
    FUZZ_CHECK(lastCount == body.size(), reply.raw);
    if (!fetched)
        return 0;
    const int status = client.Response.ResponseCode;
    FUZZ_CHECK(status >= 200 && status <= 299, reply.raw);
    FUZZ_CHECK(headers == 1 && begun == 1, reply.raw);
    const qint64 length = client.Response.ContentLength;
    if (length >= 0 && status != 204)
        FUZZ_CHECK(body.size() == length, reply.raw);
    return 0;
}
