#pragma once

#include <QByteArrayList>
#include <QObject>
#include <QSet>
#include <QString>

#include <exception>
#include <functional>
#include <stdexcept>
#include <string>

class QIODevice;

// An error of the HTTP client: no connection, a host that cannot be
// resolved, a broken transfer, a file that cannot be written.
class EIdException : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

// A response whose status is not success; ErrorCode is the status.
class EIdHTTPProtocolException : public EIdException
{
public:
    EIdHTTPProtocolException(int errorCode, const std::string &message)
        : EIdException(message), ErrorCode(errorCode)
    {}
    int ErrorCode;
};

// What a status event reports.
enum TIdStatus
{
    hsResolving,
    hsConnecting,
    hsConnected,
    hsDisconnecting,
    hsDisconnected,
};

// Whether a work event counts bytes read or written; a GET only reads.
enum TWorkMode
{
    wmRead,
    wmWrite,
};

using TIdStatusEvent =
    std::function<void(QObject *ASender, TIdStatus AStatus, const QString &AStatusText)>;
// AHeaders are the response's header lines, without the status line.
// Setting VContinue to false cancels the transfer (the GET then fails).
using TIdHTTPHeadersAvailableEvent =
    std::function<void(QObject *Sender, const QByteArrayList &AHeaders, bool &VContinue)>;
using TWorkBeginEvent =
    std::function<void(QObject *ASender, TWorkMode AWorkMode, qint64 AWorkCountMax)>;
using TWorkEvent = std::function<void(QObject *ASender, TWorkMode AWorkMode, qint64 AWorkCount)>;
using TWorkEndEvent = std::function<void(QObject *ASender, TWorkMode AWorkMode)>;

// The response of the last GET.
struct TIdHTTPResponse
{
    int ResponseCode = 0;      // 0 until a status line has arrived
    QString ResponseText;      // the status line, "HTTP/1.1 200 OK"
    qint64 ContentLength = -1; // -1 when the response announces no length
    QByteArrayList RawHeaders;
};

// An HTTP client over libcurl's easy interface. A GET runs on the calling
// thread and returns when the transfer has ended; the events are called
// synchronously from within it, on that thread. Every failure is raised as
// an EIdException; an error raised by an event handler ends the transfer
// and leaves the GET as it was raised.
//
// One connection per GET: it is opened for the GET and closed before the
// GET returns, so every GET reports its connection from "Connecting to"
// to "Disconnected.". Redirects are not followed (a redirect is a status
// other than success) and no content encoding is asked for, so the
// announced length is the length of the bytes written.
class TIdHTTP : public QObject
{
public:
    // Raises EIdException when libcurl cannot give a handle.
    explicit TIdHTTP(QObject *parent = nullptr);
    ~TIdHTTP() override;
    TIdHTTP(const TIdHTTP &) = delete;
    TIdHTTP &operator=(const TIdHTTP &) = delete;

    TIdStatusEvent OnStatus;
    TIdHTTPHeadersAvailableEvent OnHeadersAvailable;
    TWorkBeginEvent OnWorkBegin;
    TWorkEvent OnWork;
    TWorkEndEvent OnWorkEnd;

    // How long a connection may take to be made, in milliseconds.
    int ConnectTimeout = 30000;
    // How long the server may send nothing before the transfer is given up,
    // in milliseconds (whole seconds are what counts): a server that stops
    // answering must not hold the caller forever.
    int ReadTimeout = 60000;
    // How long a whole GET may take, in milliseconds: a server that trickles
    // a few bytes a second is never silent, yet must not hold the caller
    // for hours. Ten minutes fetch an installer over the slowest line.
    int TotalTimeout = 600000;
    QString UserAgent = QStringLiteral("vemotool");

    TIdHTTPResponse Response;

    // Fetches an absolute http or https address and writes the response's
    // body into AResponseContent (open for writing) as it arrives. A status
    // other than 2xx has its body read the same way before the error is
    // raised.
    void Get(const QString &AURL, QIODevice &AResponseContent);

private:
    // libcurl's callbacks, with libcurl's own signatures.
    friend struct TIdHTTPCallbacks;

    void status(TIdStatus status, const QString &text);
    void headerLine(const QByteArray &line);
    void endWork();
    // Runs an event handler inside a libcurl callback, where nothing may be
    // thrown: the first error is kept for Get to raise. False once one is kept.
    template <class Call> bool guarded(Call &&call);
    void configure(const QByteArray &url);

    void *FCurl = nullptr;
    // State of the running GET.
    bool FInGet = false;
    QIODevice *FContent = nullptr;
    qint64 FWorkCount = 0;
    bool FWorkBegun = false;
    bool FWorkEnded = false;
    bool FHeadersDone = false;
    bool FCancelled = false;
    QString FWriteError;
    QString FReplyError; // a reply the client refuses (its length)
    std::exception_ptr FHandlerError;
    QSet<qintptr> FSockets;
    qintptr FConnectedSocket = -1;
    char FErrorBuffer[256] = {};
};
