#pragma once

#include <QString>
#include <QUrl>

namespace download {

// The maker's web server that the firmware installers are fetched from:
// an http or https address made of a host and, optionally, a port.
class FirmwareServer
{
public:
    static constexpr const char *DefaultAddress = "http://www.orvik.example";

    explicit FirmwareServer(const QString &address = QString::fromLatin1(DefaultAddress));

    // Empty when the address names a server; otherwise why it does not, in
    // a few words for an error line.
    QString error() const { return FError; }
    bool isValid() const { return FError.isEmpty(); }

    // The absolute address of path ("/orvik/...") on this server.
    QString addressOf(const QString &path) const;

private:
    QUrl FUrl;
    QString FError;
};

} // namespace download
