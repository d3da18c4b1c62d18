#include "download/FirmwareServer.h"

namespace download {

FirmwareServer::FirmwareServer(const QString &address) : FUrl(address, QUrl::StrictMode)
{
    const QString scheme = FUrl.scheme();
    if (!FUrl.isValid())
        FError = QStringLiteral("not a valid http://HOST[:PORT] or https://HOST[:PORT] address");
    else if (scheme != QLatin1String("http") && scheme != QLatin1String("https"))
        FError = QStringLiteral("the scheme must be http or https");
    else if (FUrl.host().isEmpty())
        FError = QStringLiteral("no host");
    else if (FUrl.port() == 0)
        FError = QStringLiteral("the port must be 1 to 65535");
    else if (!FUrl.userInfo().isEmpty() || FUrl.hasQuery() || FUrl.hasFragment() ||
             (!FUrl.path().isEmpty() && FUrl.path() != QLatin1String("/")))
        FError = QStringLiteral("only a scheme, a host and a port may be given");
}

QString FirmwareServer::addressOf(const QString &path) const
{
    QUrl url = FUrl;
    url.setPath(path);
    return url.toString(QUrl::FullyEncoded);
}

} // namespace download
