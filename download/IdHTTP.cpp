#include "download/IdHTTP.h"

#include "platform/Sockets.h"

#include <QIODevice>
#include <QUrl>

#include <curl/curl.h>

#include <algorithm>
#include <cstring>
#include <utility>

namespace {

CURL *handleOf(void *curl)
{
    return static_cast<CURL *>(curl);
}

CURL *newHandle()
{
    // Once per process; a later failure of it would fail every handle.
    static const CURLcode globalInit = curl_global_init(CURL_GLOBAL_DEFAULT);
    if (globalInit != CURLE_OK)
        throw EIdException(std::string("libcurl could not be initialised: ") +
                           curl_easy_strerror(globalInit));
    CURL *curl = curl_easy_init();
    if (!curl)
        throw EIdException("libcurl could not make a transfer handle");
    return curl;
}

// What a header block announces of the body's length.
struct AnnouncedLength
{
    qint64 length = -1; // -1: no length (none given, or a chunked body)
    QString error;      // a length that cannot be trusted: the reply is refused
};

// Content-Length is digits only (no sign, no space, no list); a block that
// gives it twice must give the same number. Anything else is refused as a
// whole, because the client and libcurl could read it differently: one
// would report a complete body where the other saw a cut one.
AnnouncedLength announcedLength(const QByteArrayList &headers)
{
    AnnouncedLength announced;
    bool chunked = false;
    for (const QByteArray &line : headers) {
        const int colon = line.indexOf(':');
        if (colon < 0)
            continue;
        // The name as libcurl matches it: no space before the colon. A line
        // "Content-Length : 3" is no length to libcurl, which then reads the
        // body to the connection's end, so it is none here either.
        const QByteArray name = line.left(colon).toLower();
        const QByteArray value = line.mid(colon + 1).trimmed();
        if (name == "transfer-encoding")
            chunked = true;
        if (name != "content-length")
            continue;
        const bool digits = !value.isEmpty() && std::all_of(value.begin(), value.end(), [](char c) {
            return c >= '0' && c <= '9';
        });
        bool ok = false;
        const qint64 number = digits ? value.toLongLong(&ok) : -1;
        if (!ok) {
            announced.error = QStringLiteral("The reply's Content-Length is not a length: \"%1\"")
                                  .arg(QString::fromLatin1(value));
            return announced;
        }
        if (announced.length >= 0 && number != announced.length) {
            announced.error = QStringLiteral("The reply gives two different lengths: %1 and %2")
                                  .arg(announced.length)
                                  .arg(number);
            return announced;
        }
        announced.length = number;
    }
    // A chunked body has no length, whatever else the block says.
    if (chunked)
        announced.length = -1;
    return announced;
}

} // namespace

// libcurl calls these with its own signatures; nothing may be thrown
// through it, so every handler runs guarded.
struct TIdHTTPCallbacks
{
    static size_t header(char *buffer, size_t size, size_t count, void *data)
    {
        auto *self = static_cast<TIdHTTP *>(data);
        const size_t bytes = size * count;
        self->headerLine(QByteArray(buffer, qsizetype(bytes)));
        return self->FHandlerError || self->FCancelled || !self->FReplyError.isEmpty() ? 0 : bytes;
    }

    static size_t write(char *buffer, size_t size, size_t count, void *data)
    {
        auto *self = static_cast<TIdHTTP *>(data);
        const size_t bytes = size * count;
        if (self->FHandlerError || self->FCancelled)
            return 0;
        if (self->FContent->write(buffer, qint64(bytes)) != qint64(bytes)) {
            self->FWriteError = self->FContent->errorString();
            return 0;
        }
        self->FWorkCount += qint64(bytes);
        if (self->OnWork)
            self->guarded([&] { self->OnWork(self, wmRead, self->FWorkCount); });
        return self->FHandlerError ? 0 : bytes;
    }

    static curl_socket_t openSocket(void *data, curlsocktype purpose, curl_sockaddr *address)
    {
        auto *self = static_cast<TIdHTTP *>(data);
        if (purpose != CURLSOCKTYPE_IPCXN || self->FHandlerError)
            return CURL_SOCKET_BAD;
        const QString host =
            platform::Sockets::numericAddress(&address->addr, int(address->addrlen));
        self->guarded(
            [&] { self->status(hsConnecting, QStringLiteral("Connecting to %1.").arg(host)); });
        if (self->FHandlerError)
            return CURL_SOCKET_BAD;
        const qintptr socket =
            platform::Sockets::open(address->family, address->socktype, address->protocol);
        if (socket < 0)
            return CURL_SOCKET_BAD;
        self->FSockets.insert(socket);
        return curl_socket_t(socket);
    }

    static int closeSocket(void *data, curl_socket_t socket)
    {
        auto *self = static_cast<TIdHTTP *>(data);
        // Only the connection that was reported connected is reported
        // closed: attempts that lost or failed are not.
        const bool reported = self->FInGet && socket == self->FConnectedSocket;
        if (reported) {
            self->FConnectedSocket = -1;
            self->guarded([&] { self->endWork(); });
            self->guarded([&] { self->status(hsDisconnecting, QStringLiteral("Disconnecting.")); });
        }
        self->FSockets.remove(socket);
        const int result = platform::Sockets::close(socket);
        if (reported)
            self->guarded([&] { self->status(hsDisconnected, QStringLiteral("Disconnected.")); });
        return result;
    }

    static int prereq(void *data, char *primaryIp, char *, int, int)
    {
        auto *self = static_cast<TIdHTTP *>(data);
        // The connection now up is the socket of ours whose peer is the
        // server's address (racing attempts may still be open).
        const QString server = QString::fromLatin1(primaryIp);
        self->FConnectedSocket = -1;
        for (qintptr socket : std::as_const(self->FSockets)) {
            const QString peer = platform::Sockets::peerAddress(socket);
            if (!peer.isEmpty() && (peer == server || self->FConnectedSocket < 0))
                self->FConnectedSocket = socket;
        }
        self->guarded([&] { self->status(hsConnected, QStringLiteral("Connected.")); });
        return self->FHandlerError ? CURL_PREREQFUNC_ABORT : CURL_PREREQFUNC_OK;
    }
};

TIdHTTP::TIdHTTP(QObject *parent) : QObject(parent), FCurl(newHandle()) {}

TIdHTTP::~TIdHTTP()
{
    FInGet = false;
    curl_easy_cleanup(handleOf(FCurl));
}

template <class Call> bool TIdHTTP::guarded(Call &&call)
{
    if (FHandlerError)
        return false;
    try {
        call();
        return true;
    } catch (...) {
        FHandlerError = std::current_exception();
        return false;
    }
}

void TIdHTTP::status(TIdStatus status, const QString &text)
{
    if (OnStatus)
        OnStatus(this, status, text);
}

void TIdHTTP::endWork()
{
    if (!FWorkBegun || FWorkEnded)
        return;
    FWorkEnded = true;
    if (OnWorkEnd)
        OnWorkEnd(this, wmRead);
}

void TIdHTTP::headerLine(const QByteArray &raw)
{
    QByteArray line = raw;
    while (line.endsWith('\n') || line.endsWith('\r'))
        line.chop(1);

    if (line.startsWith("HTTP/")) {
        // A new response begins (an interim one, or the final one).
        const QList<QByteArray> parts = line.split(' ');
        Response.ResponseCode = parts.size() > 1 ? parts.at(1).toInt() : 0;
        Response.ResponseText = QString::fromLatin1(line);
        Response.RawHeaders.clear();
        Response.ContentLength = -1;
        FHeadersDone = false;
        return;
    }
    if (FHeadersDone)
        return; // trailers after a chunked body
    if (!line.isEmpty()) {
        Response.RawHeaders << line;
        return;
    }
    // The blank line: the headers are in. Interim responses (1xx) are the
    // client's own business.
    if (Response.ResponseCode < 200)
        return;
    FHeadersDone = true;
    const AnnouncedLength announced = announcedLength(Response.RawHeaders);
    if (!announced.error.isEmpty()) {
        // Refused before any handler hears of it: the caller sees one failure.
        FReplyError = announced.error;
        return;
    }
    Response.ContentLength = announced.length;

    bool go = true;
    if (OnHeadersAvailable)
        guarded([&] { OnHeadersAvailable(this, Response.RawHeaders, go); });
    if (FHandlerError)
        return;
    if (!go) {
        FCancelled = true;
        return;
    }
    FWorkBegun = true;
    FWorkCount = 0;
    if (OnWorkBegin)
        guarded([&] { OnWorkBegin(this, wmRead, std::max<qint64>(Response.ContentLength, 0)); });
}

void TIdHTTP::configure(const QByteArray &url)
{
    CURL *curl = handleOf(FCurl);
    curl_easy_reset(curl);
    FErrorBuffer[0] = '\0';

    const long readSeconds = std::max(1L, (long(ReadTimeout) + 999) / 1000);
    const QByteArray agent = UserAgent.toUtf8();
    const CURLcode codes[] = {
        curl_easy_setopt(curl, CURLOPT_URL, url.constData()),
        curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https"),
        curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, FErrorBuffer),
        // The caller's thread may have other work for signals.
        curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L),
        curl_easy_setopt(curl, CURLOPT_FRESH_CONNECT, 1L),
        curl_easy_setopt(curl, CURLOPT_FORBID_REUSE, 1L),
        curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L),
        curl_easy_setopt(curl, CURLOPT_HTTP_VERSION, long(CURL_HTTP_VERSION_1_1)),
        curl_easy_setopt(curl, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L),
        curl_easy_setopt(curl, CURLOPT_USERAGENT, agent.constData()),
        curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, long(std::max(1, ConnectTimeout))),
        curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L),
        curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, readSeconds),
        curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, long(std::max(1, TotalTimeout))),
        curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, &TIdHTTPCallbacks::header),
        curl_easy_setopt(curl, CURLOPT_HEADERDATA, this),
        curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &TIdHTTPCallbacks::write),
        curl_easy_setopt(curl, CURLOPT_WRITEDATA, this),
        curl_easy_setopt(curl, CURLOPT_OPENSOCKETFUNCTION, &TIdHTTPCallbacks::openSocket),
        curl_easy_setopt(curl, CURLOPT_OPENSOCKETDATA, this),
        curl_easy_setopt(curl, CURLOPT_CLOSESOCKETFUNCTION, &TIdHTTPCallbacks::closeSocket),
        curl_easy_setopt(curl, CURLOPT_CLOSESOCKETDATA, this),
        curl_easy_setopt(curl, CURLOPT_PREREQFUNCTION, &TIdHTTPCallbacks::prereq),
        curl_easy_setopt(curl, CURLOPT_PREREQDATA, this),
    };
    for (CURLcode code : codes) {
        if (code != CURLE_OK)
            throw EIdException(std::string("libcurl refused a setting: ") +
                               curl_easy_strerror(code));
    }
}

void TIdHTTP::Get(const QString &AURL, QIODevice &AResponseContent)
{
    if (FInGet)
        throw EIdException("A GET is already running on this client");
    if (!FCurl)
        throw EIdException("libcurl could not make a transfer handle");
    const QUrl url(AURL, QUrl::StrictMode);
    const QString scheme = url.scheme().toLower();
    if (!url.isValid() || url.host().isEmpty() ||
        (scheme != QLatin1String("http") && scheme != QLatin1String("https")))
        throw EIdException("Not an http or https address: " + AURL.toStdString());

    Response = TIdHTTPResponse();
    FContent = &AResponseContent;
    FWorkCount = 0;
    FWorkBegun = false;
    FWorkEnded = false;
    FHeadersDone = false;
    FCancelled = false;
    FWriteError.clear();
    FReplyError.clear();
    FHandlerError = nullptr;
    FConnectedSocket = -1;

    struct Leave
    {
        TIdHTTP &client;
        ~Leave()
        {
            client.FInGet = false;
            client.FContent = nullptr;
        }
    } leave{*this};
    FInGet = true;

    configure(url.toEncoded());
    // Only a name is looked up; a literal address is used as it is.
    if (!platform::Sockets::isLiteralAddress(url.host()))
        status(hsResolving, QStringLiteral("Resolving hostname %1.").arg(url.host()));

    const CURLcode code = curl_easy_perform(handleOf(FCurl));

    if (FConnectedSocket >= 0 && !FHandlerError) {
        // libcurl kept the connection: it is closed here, still inside the
        // GET, so its end is reported like any other.
        curl_easy_cleanup(handleOf(FCurl));
        FCurl = curl_easy_init();
    }
    if (!FHandlerError)
        guarded([&] { endWork(); });
    if (FHandlerError)
        std::rethrow_exception(std::exchange(FHandlerError, nullptr));
    if (FCancelled)
        throw EIdException("The transfer was cancelled");
    if (!FWriteError.isEmpty())
        throw EIdException("Could not write the response: " + FWriteError.toStdString());
    if (!FReplyError.isEmpty())
        throw EIdException(FReplyError.toStdString());
    if (code != CURLE_OK)
        throw EIdException(FErrorBuffer[0] ? std::string(FErrorBuffer)
                                           : std::string(curl_easy_strerror(code)));
    // A server that closes inside the head has sent no reply at all, however
    // good its status line looked.
    if (!FHeadersDone)
        throw EIdException("The reply ended inside its headers");
    if (Response.ResponseCode < 200 || Response.ResponseCode > 299)
        throw EIdHTTPProtocolException(Response.ResponseCode, Response.ResponseText.toStdString());
}
