#pragma once

#include "download/IdHTTP.h"

#include <QByteArrayList>
#include <QString>

#include <functional>
#include <memory>

class QObject;

namespace dialogue {
class WindowPort;
}

namespace download {

// The firmware download: fetches the installer of the generation the
// registry lists as device 0 from the maker's web server into the
// temporary directory and puts its path into the file field, where the
// firmware update takes it. It runs on the calling thread and blocks it;
// the window shows the client's status lines and progress through its
// handlers.
class FirmwareDownload
{
public:
    // Makes the HTTP client of one download; raises when it cannot.
    using ClientFactory = std::function<std::unique_ptr<TIdHTTP>()>;

    // downloader is the window's reference to the running client: set for
    // the length of a download, null otherwise. server is the maker's web
    // server (FirmwareServer).
    FirmwareDownload(dialogue::WindowPort &window, TIdHTTP *&downloader, const QString &server,
                     ClientFactory createClient = {});

    // The operation the operator starts with DownloadB. Raises only when
    // the target file cannot be created.
    void DownloadBClick();

    // The run was told its device (--device): the selected device's
    // generation decides, not device 0's.
    bool DeviceNamed = false;

    // The client's events.
    void DownloaderStatus(QObject *ASender, TIdStatus AStatus, const QString &AStatusText);
    void DownloaderHeadersAvailable(QObject *Sender, const QByteArrayList &AHeaders,
                                    bool &VContinue);
    void DownloaderWorkBegin(QObject *ASender, TWorkMode AWorkMode, qint64 AWorkCountMax);
    void DownloaderWork(QObject *ASender, TWorkMode AWorkMode, qint64 AWorkCount);
    void DownloaderWorkEnd(QObject *ASender, TWorkMode AWorkMode);

private:
    // The client's announced length; -1 without a client.
    qint64 ContentLength() const;

    dialogue::WindowPort &FWindow;
    TIdHTTP *&FDownloader;
    QString FServer;
    ClientFactory FCreateClient;
};

} // namespace download
