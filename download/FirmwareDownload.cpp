#include "download/FirmwareDownload.h"

#include "dialogue/WindowPort.h"
#include "download/FirmwareServer.h"
#include "generations/GenerationTable.h"
#include "platform/HostServices.h"
#include "registry/RegTools.h"

#include <QFile>

#include <climits>
#include <stdexcept>

namespace download {

namespace {

// The longest path the system opens, in bytes of the file system's encoding.
constexpr int kLongestPath = PATH_MAX - 1;

} // namespace

FirmwareDownload::FirmwareDownload(dialogue::WindowPort &window, TIdHTTP *&downloader,
                                   const QString &server, ClientFactory createClient)
    : FWindow(window), FDownloader(downloader), FServer(server),
      FCreateClient(std::move(createClient))
{}

void FirmwareDownload::DownloadBClick()
{
    platform::HostServices &host = platform::host();
    host.setBusyCursor(true);
    FWindow.setFileName(QString());
    FWindow.repaintFileName();

    // Every way out lets the client go and gives the cursor back.
    std::unique_ptr<TIdHTTP> client;
    struct End
    {
        FirmwareDownload &download;
        std::unique_ptr<TIdHTTP> &client;
        platform::HostServices &host;
        ~End()
        {
            download.FDownloader = nullptr;
            client.reset();
            host.setBusyCursor(false);
        }
    } end{*this, client, host};

    try {
        client = FCreateClient ? FCreateClient() : std::make_unique<TIdHTTP>();
        if (!client)
            throw std::runtime_error("no client was made");
    } catch (const std::exception &e) {
        // Nothing can be fetched without a client.
        FWindow.log(QStringLiteral("Could not create Downloader:") + QString::fromUtf8(e.what()));
        return;
    }
    FDownloader = client.get();
    client->OnStatus = [this](QObject *sender, TIdStatus status, const QString &text) {
        DownloaderStatus(sender, status, text);
    };
    client->OnHeadersAvailable = [this](QObject *sender, const QByteArrayList &headers, bool &go) {
        DownloaderHeadersAvailable(sender, headers, go);
    };
    client->OnWorkBegin = [this](QObject *sender, TWorkMode mode, qint64 max) {
        DownloaderWorkBegin(sender, mode, max);
    };
    client->OnWork = [this](QObject *sender, TWorkMode mode, qint64 count) {
        DownloaderWork(sender, mode, count);
    };
    client->OnWorkEnd = [this](QObject *sender, TWorkMode mode) {
        DownloaderWorkEnd(sender, mode);
    };

    FWindow.log(QStringLiteral("Downloading Firmware from Internet..."));
    FWindow.setProgressPosition(0);
    FWindow.setProgressMaximum(100);

    const QString tempDirectory = host.tempDirectory();
    // One reading decides both the file's name and the address it is
    // fetched from, so a file is never named after another generation.
    // The first device's, as ever; with a device named (--device) among
    // others, that device's (the one selected), not another generation's.
    const int device = DeviceNamed ? qMax(0, FWindow.selectedDeviceIndex()) : 0;
    // Only a device name of the generation table has an installer.
    const generations::Descriptor *generation =
        generations::table().byName(FWindow.regTools().GetDeviceName(device));
    if (!generation)
        return;

    QString target = tempDirectory;
    if (!target.endsWith(QLatin1Char('/')))
        target += QLatin1Char('/');
    target += generation->installerFileName;
    const qsizetype length = QFile::encodeName(target).size();
    if (length > kLongestPath) {
        // A shortened path would name another file.
        FWindow.log(QStringLiteral("Firmware path too long (%1 bytes, at most %2): %3")
                        .arg(length)
                        .arg(kLongestPath)
                        .arg(target));
        return;
    }

    if (host.fileExists(target)) {
        int lastError = 0;
        if (!host.deleteFile(target, lastError)) {
            if (lastError == platform::ERROR_ACCESS_DENIED)
                host.messageBox(QStringLiteral("Could not delete old File!"),
                                QStringLiteral("Error Access denied!"), platform::MB_OK);
            return;
        }
    }

    // Only a new file: in the shared temporary folder, a link placed at the
    // name must not send the installer into some other file.
    QFile file(target);
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly | QIODevice::Unbuffered))
        throw std::runtime_error(QStringLiteral("Cannot create file \"%1\". %2")
                                     .arg(target, file.errorString())
                                     .toStdString());

    const QString address = FirmwareServer(FServer).addressOf(generation->installerServerPath);
    FWindow.log(QStringLiteral("Try to connect..."));

    bool fetched = false;
    try {
        client->Get(address, file);
        fetched = true;
    } catch (...) {
        fetched = false;
    }
    file.close();
    if (fetched && file.error() == QFileDevice::NoError) {
        FWindow.setFileName(target);
        return;
    }
    // A cut-off installer must never reach the update.
    file.remove();
    host.messageBox(
        QStringLiteral("Error downloading Firmware! Check your internet connection and try again"),
        QStringLiteral("Error downloading Firmware!"), platform::MB_OK | platform::MB_ICONSTOP);
}

qint64 FirmwareDownload::ContentLength() const
{
    return FDownloader ? FDownloader->Response.ContentLength : -1;
}

void FirmwareDownload::DownloaderStatus(QObject *, TIdStatus, const QString &AStatusText)
{
    FWindow.log(AStatusText);
}

void FirmwareDownload::DownloaderHeadersAvailable(QObject *, const QByteArrayList &, bool &)
{
    // The transfer goes on: the body is still written.
    if (ContentLength() < 1)
        platform::host().messageBox(QStringLiteral("Error downloading File!"),
                                    QStringLiteral("Error"),
                                    platform::MB_OK | platform::MB_ICONSTOP);
}

void FirmwareDownload::DownloaderWorkBegin(QObject *, TWorkMode, qint64)
{
    FWindow.setProgressVisible(true);
    FWindow.log(QStringLiteral("downloading firmware..."));
    FWindow.setProgressPosition(0);
    FWindow.repaintProgress();
}

void FirmwareDownload::DownloaderWork(QObject *, TWorkMode, qint64 AWorkCount)
{
    // Without a usable length the bar stays where it is; the product is
    // taken in 64 bits, as bodies over 21 474 836 bytes need.
    const qint64 length = ContentLength();
    if (length < 1)
        return;
    const qint64 position = qBound(qint64(0), AWorkCount * 100 / length, qint64(100));
    FWindow.setProgressPosition(int(position));
    FWindow.repaintProgress();
}

void FirmwareDownload::DownloaderWorkEnd(QObject *, TWorkMode)
{
    FWindow.setProgressVisible(false);
    FWindow.log(QStringLiteral("finished"));
}

} // namespace download
