#include "download/IdHTTP.h"
#include "tests/download/TestHttpServer.h"

#include <QBuffer>
#include <QFile>
#include <QTest>

#include <memory>
#include <stdexcept>

Q_DECLARE_METATYPE(TestHttpServer::Reply)

// The HTTP client against a server of the test: the events of a transfer in
// their order, and every kind of failure raised to the caller.
class TestIdHTTP : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();

    void get_data();
    void get();
    void hostNameIsResolved();
    void failures_data();
    void failures();
    void headersHandlerCancels();
    void handlerErrorEndsTransfer();
    void stalledServerTimesOut();
    void lengthAsLibcurlReadsIt_data();
    void lengthAsLibcurlReadsIt();
    void refusedReplies_data();
    void refusedReplies();
    void tricklingBodyHitsTheDeadline();
    void unwritableContent();
    void responseBelongsToLastGet();
};

namespace {

// The events of a client as lines; the blocks of one body show as one
// "work" line, their running counts are kept aside.
struct Recorder
{
    QStringList events;
    QList<qint64> counts;
    QList<QObject *> senders;

    void attach(TIdHTTP &client)
    {
        client.OnStatus = [this](QObject *sender, TIdStatus, const QString &text) {
            senders << sender;
            events << QStringLiteral("status ") + text;
        };
        client.OnHeadersAvailable = [this, &client](QObject *sender, const QByteArrayList &,
                                                    bool &) {
            senders << sender;
            events << QStringLiteral("headers %1 length %2")
                          .arg(client.Response.ResponseCode)
                          .arg(client.Response.ContentLength);
        };
        client.OnWorkBegin = [this](QObject *sender, TWorkMode mode, qint64 max) {
            senders << sender;
            events << QStringLiteral("begin %1 %2").arg(mode == wmRead ? "read" : "write").arg(max);
        };
        client.OnWork = [this](QObject *sender, TWorkMode, qint64 count) {
            senders << sender;
            counts << count;
            if (events.isEmpty() || events.last() != QLatin1String("work"))
                events << QStringLiteral("work");
        };
        client.OnWorkEnd = [this](QObject *sender, TWorkMode) {
            senders << sender;
            events << QStringLiteral("end");
        };
    }
};

QStringList connection(const QStringList &inside)
{
    return QStringList{"status Connecting to 127.0.0.1.", "status Connected."} + inside +
           QStringList{"status Disconnecting.", "status Disconnected."};
}

TestHttpServer::Reply reply(int status, const QByteArray &reason, qint64 size)
{
    TestHttpServer::Reply r;
    r.status = status;
    r.reason = reason;
    r.size = size;
    return r;
}

// The running counts must rise to the body's length.
void verifyCounts(const QList<qint64> &counts, qint64 total)
{
    for (int i = 1; i < counts.size(); ++i)
        QVERIFY2(counts.at(i) > counts.at(i - 1), "the count runs up");
    QCOMPARE(counts.isEmpty() ? 0 : counts.last(), total);
}

} // namespace

void TestIdHTTP::initTestCase()
{
    // The test server is reached directly.
    for (const char *name :
         {"http_proxy", "https_proxy", "all_proxy", "HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY"})
        qunsetenv(name);
}

void TestIdHTTP::get_data()
{
    QTest::addColumn<TestHttpServer::Reply>("serverReply");
    QTest::addColumn<QStringList>("events");

    QTest::newRow("announced length")
        << reply(200, "OK", 70000)
        << connection({"headers 200 length 70000", "begin read 70000", "work", "end"});
    TestHttpServer::Reply noLength = reply(200, "OK", 70000);
    noLength.announceLength = false;
    QTest::newRow("no length: read to the end")
        << noLength << connection({"headers 200 length -1", "begin read 0", "work", "end"});
    QTest::newRow("empty body") << reply(204, "No Content", 0)
                                << connection({"headers 204 length 0", "begin read 0", "end"});
    TestHttpServer::Reply twice = reply(200, "OK", 300);
    twice.extraHeaders = "content-length:  300 \r\n";
    QTest::newRow("the same length twice")
        << twice << connection({"headers 200 length 300", "begin read 300", "work", "end"});
}

void TestIdHTTP::get()
{
    QFETCH(TestHttpServer::Reply, serverReply);
    QFETCH(QStringList, events);

    TestHttpServer server;
    server.setReply(serverReply);
    TIdHTTP client;
    Recorder recorder;
    recorder.attach(client);
    QByteArray body;
    QBuffer content(&body);
    QVERIFY(content.open(QIODevice::WriteOnly));

    client.Get(server.url() + QStringLiteral("/orvik/download/uC/vemo2.exe"), content);

    QCOMPARE(recorder.events, events);
    QCOMPARE(body, TestHttpServer::pattern(serverReply.seed, serverReply.size));
    verifyCounts(recorder.counts, serverReply.size);
    QCOMPARE(client.Response.ResponseCode, serverReply.status);
    QCOMPARE(server.requests(), QStringList{"GET /orvik/download/uC/vemo2.exe HTTP/1.1"});
    for (QObject *sender : recorder.senders)
        QCOMPARE(sender, &client);
}

void TestIdHTTP::hostNameIsResolved()
{
    TestHttpServer server;
    server.setReply(reply(200, "OK", 10));
    TIdHTTP client;
    Recorder recorder;
    recorder.attach(client);
    QBuffer content;
    QVERIFY(content.open(QIODevice::WriteOnly));

    client.Get(QStringLiteral("http://localhost:%1/x").arg(server.port()), content);

    // localhost may also be tried as ::1, where nothing listens.
    QStringList events = recorder.events;
    QCOMPARE(events.value(0), QStringLiteral("status Resolving hostname localhost."));
    events.removeFirst();
    events.removeAll(QStringLiteral("status Connecting to ::1."));
    QCOMPARE(events, connection({"headers 200 length 10", "begin read 10", "work", "end"}));
}

void TestIdHTTP::failures_data()
{
    QTest::addColumn<QString>("address"); // REFUSED: a port where nothing listens
    QTest::addColumn<TestHttpServer::Reply>("serverReply");
    QTest::addColumn<QStringList>("events");
    QTest::addColumn<int>("protocolError"); // 0: not a status
    QTest::addColumn<QString>("messageHas");
    QTest::addColumn<qint64>("written");

    const QString here = QStringLiteral("SERVER/orvik/download/uC/vemo.exe");
    const TestHttpServer::Reply none;

    // A failure status has its body read like any other before it is raised.
    QTest::newRow("404 with a page")
        << here << reply(404, "Not Found", 500)
        << connection({"headers 404 length 500", "begin read 500", "work", "end"}) << 404
        << "HTTP/1.1 404 Not Found" << qint64(500);
    QTest::newRow("500 without a body")
        << here << reply(500, "Internal Server Error", 0)
        << connection({"headers 500 length 0", "begin read 0", "end"}) << 500
        << "HTTP/1.1 500 Internal Server Error" << qint64(0);
    TestHttpServer::Reply moved = reply(302, "Found", 0);
    moved.extraHeaders = "Location: /elsewhere/vemo.exe\r\n";
    QTest::newRow("a redirect is not followed")
        << here << moved << connection({"headers 302 length 0", "begin read 0", "end"}) << 302
        << "302" << qint64(0);
    TestHttpServer::Reply cut = reply(200, "OK", 100000);
    cut.cutAfter = 30000;
    QTest::newRow("body cut short")
        << here << cut
        << connection({"headers 200 length 100000", "begin read 100000", "work", "end"}) << 0 << ""
        << qint64(30000);
    QTest::newRow("connection refused")
        << QStringLiteral("REFUSED/orvik/download/uC/vemo.exe") << none
        << QStringList{"status Connecting to 127.0.0.1."} << 0 << "" << qint64(0);
    QTest::newRow("name not resolved")
        << QStringLiteral("http://vemo-firmware.invalid/orvik/download/uC/vemo.exe") << none
        << QStringList{"status Resolving hostname vemo-firmware.invalid."} << 0
        << "vemo-firmware.invalid" << qint64(0);
    QTest::newRow("not an http address") << QStringLiteral("ftp://127.0.0.1/vemo.exe") << none
                                         << QStringList() << 0 << "ftp://" << qint64(0);
}

void TestIdHTTP::failures()
{
    QFETCH(QString, address);
    QFETCH(TestHttpServer::Reply, serverReply);
    QFETCH(QStringList, events);
    QFETCH(int, protocolError);
    QFETCH(QString, messageHas);
    QFETCH(qint64, written);

    TestHttpServer server;
    server.setReply(serverReply);
    QString refused;
    {
        TestHttpServer gone;
        refused = gone.url();
    }
    address.replace(QLatin1String("SERVER"), server.url());
    address.replace(QLatin1String("REFUSED"), refused);

    TIdHTTP client;
    Recorder recorder;
    recorder.attach(client);
    QByteArray body;
    QBuffer content(&body);
    QVERIFY(content.open(QIODevice::WriteOnly));

    bool raised = false;
    try {
        client.Get(address, content);
    } catch (const EIdHTTPProtocolException &e) {
        raised = true;
        QCOMPARE(e.ErrorCode, protocolError);
        QVERIFY2(QString::fromUtf8(e.what()).contains(messageHas), e.what());
    } catch (const EIdException &e) {
        raised = true;
        QCOMPARE(protocolError, 0);
        QVERIFY2(*e.what() != '\0', "the error says what happened");
        QVERIFY2(QString::fromUtf8(e.what()).contains(messageHas), e.what());
    }
    QVERIFY(raised);
    QCOMPARE(recorder.events, events);
    QCOMPARE(body, TestHttpServer::pattern(serverReply.seed, written));
    QVERIFY(server.requests().size() <= 1);
}

void TestIdHTTP::headersHandlerCancels()
{
    TestHttpServer server;
    server.setReply(reply(200, "OK", 50000));
    TIdHTTP client;
    Recorder recorder;
    recorder.attach(client);
    client.OnHeadersAvailable = [&recorder](QObject *, const QByteArrayList &headers, bool &go) {
        recorder.events << QStringLiteral("headers");
        QVERIFY(headers.contains("Content-Length: 50000"));
        go = false;
    };
    QByteArray body;
    QBuffer content(&body);
    QVERIFY(content.open(QIODevice::WriteOnly));

    QVERIFY_THROWS_EXCEPTION(EIdException, client.Get(server.url() + "/a", content));
    QCOMPARE(recorder.events, connection({"headers"}));
    QVERIFY(body.isEmpty());
}

void TestIdHTTP::handlerErrorEndsTransfer()
{
    TestHttpServer server;
    TestHttpServer::Reply slow = reply(200, "OK", 40000);
    slow.chunkSize = 1000;
    slow.chunkDelayMs = 2;
    server.setReply(slow);
    TIdHTTP client;
    Recorder recorder;
    recorder.attach(client);
    client.OnWork = [&recorder](QObject *, TWorkMode, qint64 count) {
        recorder.counts << count;
        throw std::logic_error("the bar broke");
    };
    QByteArray body;
    QBuffer content(&body);
    QVERIFY(content.open(QIODevice::WriteOnly));

    // The handler's own error reaches the caller, and no event follows it.
    try {
        client.Get(server.url() + "/a", content);
        QFAIL("the GET returned");
    } catch (const std::logic_error &e) {
        QCOMPARE(QByteArray(e.what()), QByteArray("the bar broke"));
    }
    QCOMPARE(recorder.counts.size(), 1);
    QCOMPARE(recorder.events, QStringList({"status Connecting to 127.0.0.1.", "status Connected.",
                                           "headers 200 length 40000", "begin read 40000"}));
    QCOMPARE(qint64(body.size()), recorder.counts.first());

    // The client is not left inside the failed GET.
    server.setReply(reply(200, "OK", 10));
    recorder.attach(client);
    recorder.events.clear();
    QBuffer next;
    QVERIFY(next.open(QIODevice::WriteOnly));
    client.Get(server.url() + "/b", next);
    QCOMPARE(recorder.events,
             connection({"headers 200 length 10", "begin read 10", "work", "end"}));
}

void TestIdHTTP::stalledServerTimesOut()
{
    TestHttpServer server;
    TestHttpServer::Reply stalled = reply(200, "OK", 1000);
    stalled.chunkDelayMs = 20000;
    server.setReply(stalled);
    TIdHTTP client;
    client.ReadTimeout = 1000;
    Recorder recorder;
    recorder.attach(client);
    QBuffer content;
    QVERIFY(content.open(QIODevice::WriteOnly));

    QVERIFY_THROWS_EXCEPTION(EIdException, client.Get(server.url() + "/a", content));
    QCOMPARE(recorder.events, connection({"headers 200 length 1000", "begin read 1000", "end"}));
}

void TestIdHTTP::lengthAsLibcurlReadsIt_data()
{
    // The reply as the server sends it before it closes the connection.
    QTest::addColumn<QByteArray>("raw");
    QTest::addColumn<qint64>("length");
    QTest::addColumn<QByteArray>("body");

    QTest::newRow("plain") << QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nabcdef")
                           << qint64(3) << QByteArray("abc");
    QTest::newRow("name in lower case")
        << QByteArray("HTTP/1.1 200 OK\r\ncontent-length: 3\r\n\r\nabcdef") << qint64(3)
        << QByteArray("abc");
    QTest::newRow("tab and spaces around the number")
        << QByteArray("HTTP/1.1 200 OK\r\nContent-Length:\t 3 \r\n\r\nabcdef") << qint64(3)
        << QByteArray("abc");
    // Found by fuzz_http: announced 3 while libcurl read all six bytes.
    QTest::newRow("space before the colon: no length")
        << QByteArray("HTTP/1.1 200 OK\r\nContent-Length :3\r\n\r\nabcdef") << qint64(-1)
        << QByteArray("abcdef");
}

void TestIdHTTP::lengthAsLibcurlReadsIt()
{
    QFETCH(QByteArray, raw);
    QFETCH(qint64, length);
    QFETCH(QByteArray, body);

    TestHttpServer server;
    TestHttpServer::Reply scripted;
    scripted.raw = raw;
    server.setReply(scripted);
    TIdHTTP client;
    Recorder recorder;
    recorder.attach(client);
    QByteArray written;
    QBuffer content(&written);
    QVERIFY(content.open(QIODevice::WriteOnly));

    client.Get(server.url() + "/orvik/download/uC/vemo2.exe", content);

    QCOMPARE(client.Response.ContentLength, length);
    QCOMPARE(written, body);
    QCOMPARE(recorder.events,
             connection({QStringLiteral("headers 200 length %1").arg(length),
                         QStringLiteral("begin read %1").arg(qMax(length, 0)), "work", "end"}));
}

void TestIdHTTP::refusedReplies_data()
{
    // The reply as the server sends it before it closes the connection.
    QTest::addColumn<QByteArray>("raw");
    QTest::addColumn<QString>("messageHas"); // empty: libcurl's own message

    QTest::newRow("cut after the status line") << QByteArray("HTTP/1.1 200 OK\r\n") << "headers";
    QTest::newRow("cut inside a header name")
        << QByteArray("HTTP/1.1 200 OK\r\nContent-Le") << "headers";
    QTest::newRow("cut before the blank line")
        << QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 4\r\n") << "";
    QTest::newRow("cut after an interim reply")
        << QByteArray("HTTP/1.1 100 Continue\r\n\r\n") << "";
    QTest::newRow("two different lengths")
        << QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 5\r\nContent-Length: 6\r\n\r\nabcdef")
        << "two different lengths: 5 and 6";
    QTest::newRow("length with a sign")
        << QByteArray("HTTP/1.1 200 OK\r\nContent-Length: +4\r\n\r\nabcd") << "\"+4\"";
    QTest::newRow("negative length")
        << QByteArray("HTTP/1.1 200 OK\r\nContent-Length: -1\r\n\r\nabcd") << "Content-Length";
    QTest::newRow("length as a list")
        << QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 4, 4\r\n\r\nabcd") << "\"4, 4\"";
    QTest::newRow("length in hexadecimal")
        << QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 0x4\r\n\r\nabcd") << "\"0x4\"";
    QTest::newRow("length past 64 bits")
        << QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 99999999999999999999\r\n\r\nabcd")
        << "99999999999999999999";
    QTest::newRow("empty length") << QByteArray("HTTP/1.1 200 OK\r\nContent-Length:\r\n\r\nabcd")
                                  << "Content-Length";
}

void TestIdHTTP::refusedReplies()
{
    QFETCH(QByteArray, raw);
    QFETCH(QString, messageHas);

    TestHttpServer server;
    TestHttpServer::Reply cut;
    cut.raw = raw;
    server.setReply(cut);
    TIdHTTP client;
    Recorder recorder;
    recorder.attach(client);
    QByteArray body;
    QBuffer content(&body);
    QVERIFY(content.open(QIODevice::WriteOnly));

    try {
        client.Get(server.url() + "/orvik/download/uC/vemo2.exe", content);
        QFAIL("a reply that cannot be trusted was taken");
    } catch (const EIdException &e) {
        QVERIFY2(*e.what() != '\0', "the error says what happened");
        QVERIFY2(QString::fromUtf8(e.what()).contains(messageHas), e.what());
    }
    // No handler heard of a reply: the caller sees the one failure only.
    QCOMPARE(recorder.events, connection({}));
    QVERIFY(body.isEmpty());
}

void TestIdHTTP::tricklingBodyHitsTheDeadline()
{
    TestHttpServer server;
    // Two bytes a second: never silent long enough for the read time-out.
    TestHttpServer::Reply trickle = reply(200, "OK", 100);
    trickle.chunkSize = 2;
    trickle.chunkDelayMs = 1000;
    server.setReply(trickle);
    TIdHTTP client;
    client.ReadTimeout = 1000;
    client.TotalTimeout = 2500;
    Recorder recorder;
    recorder.attach(client);
    QByteArray body;
    QBuffer content(&body);
    QVERIFY(content.open(QIODevice::WriteOnly));

    QVERIFY_THROWS_EXCEPTION(EIdException, client.Get(server.url() + "/a", content));
    QCOMPARE(recorder.events,
             connection({"headers 200 length 100", "begin read 100", "work", "end"}));
    QVERIFY2(body.size() > 0 && body.size() < 100, qPrintable(QString::number(body.size())));
    QCOMPARE(body, TestHttpServer::pattern(trickle.seed, body.size()));
}

void TestIdHTTP::unwritableContent()
{
    QFile full(QStringLiteral("/dev/full"));
    if (!full.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        QSKIP("no /dev/full here");
    TestHttpServer server;
    server.setReply(reply(200, "OK", 20000));
    TIdHTTP client;
    Recorder recorder;
    recorder.attach(client);

    try {
        client.Get(server.url() + "/a", full);
        QFAIL("a body that could not be written was reported fetched");
    } catch (const EIdException &e) {
        QVERIFY2(QByteArray(e.what()).startsWith("Could not write the response"), e.what());
    }
    QVERIFY(recorder.counts.isEmpty());
    QCOMPARE(recorder.events, connection({"headers 200 length 20000", "begin read 20000", "end"}));
}

void TestIdHTTP::responseBelongsToLastGet()
{
    TestHttpServer server;
    TIdHTTP client;
    Recorder recorder;
    recorder.attach(client);
    QBuffer content;
    QVERIFY(content.open(QIODevice::WriteOnly));

    TestHttpServer::Reply missing = reply(404, "Not Found", 0);
    missing.announceLength = false;
    server.setReply(missing);
    QVERIFY_THROWS_EXCEPTION(EIdHTTPProtocolException, client.Get(server.url() + "/a", content));
    QCOMPARE(client.Response.ResponseCode, 404);

    server.setReply(reply(200, "OK", 1234));
    recorder.events.clear();
    client.Get(server.url() + "/b", content);
    QCOMPARE(client.Response.ResponseCode, 200);
    QCOMPARE(client.Response.ResponseText, QStringLiteral("HTTP/1.1 200 OK"));
    QCOMPARE(client.Response.ContentLength, qint64(1234));
    // Each GET has a connection of its own.
    QCOMPARE(recorder.events,
             connection({"headers 200 length 1234", "begin read 1234", "work", "end"}));
    QCOMPARE(server.requests().size(), 2);
}

QTEST_GUILESS_MAIN(TestIdHTTP)
#include "tst_idhttp.moc"
