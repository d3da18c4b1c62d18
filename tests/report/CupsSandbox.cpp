#include "tests/report/CupsSandbox.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QThread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

const QString CupsSandbox::Queue = QStringLiteral("VemoPDF");

namespace {

const QString kCupsd = QStringLiteral("/usr/sbin/cupsd");
const QString kServerBin = QStringLiteral("/usr/lib/cups");
const QString kCupsPdf = QStringLiteral("/usr/lib/cups/backend/cups-pdf");
const QString kCupsPdfPpd = QStringLiteral("/usr/share/ppd/cups-pdf/CUPS-PDF_opt.ppd");
const QString kCupsConfigFolder = QStringLiteral("/etc/cups");

constexpr int kStartTimeoutMs = 20000;
constexpr int kToolTimeoutMs = 30000;
constexpr int kStopTimeoutMs = 10000;

// A loopback port nobody listens on at this moment.
int freePort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return 0;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    int port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr *>(&address), size) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &size) == 0)
        port = ntohs(address.sin_port);
    ::close(fd);
    return port;
}

bool writeFile(const QString &path, const QString &text, QFile::Permissions permissions)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    return file.write(text.toUtf8()) >= 0 && file.setPermissions(permissions);
}

bool copyExecutable(const QString &from, const QString &to, QFile::Permissions permissions)
{
    return QFile::copy(from, to) && QFile::setPermissions(to, permissions);
}

} // namespace

CupsSandbox::CupsSandbox()
{
    // The scheduler ends with the test, even when the test is killed.
    FDaemon.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
    FDaemon.setProcessChannelMode(QProcess::MergedChannels);
}

CupsSandbox::~CupsSandbox()
{
    stop();
}

QString CupsSandbox::unavailableReason()
{
    if (::geteuid() != 0)
        return QStringLiteral("needs root: the cups-pdf backend runs only under a scheduler "
                              "started as root (running as uid %1)")
            .arg(::geteuid());
    if (!QFileInfo(kCupsd).isExecutable())
        return QStringLiteral("%1 is not installed (package cups)").arg(kCupsd);
    if (!QFileInfo::exists(kCupsPdf) || !QFileInfo::exists(kCupsPdfPpd))
        return QStringLiteral("cups-pdf is not installed (package printer-driver-cups-pdf)");
    for (const char *tool : {"lpadmin", "lpstat", "cupsreject", "cupsaccept"}) {
        if (QStandardPaths::findExecutable(QLatin1String(tool)).isEmpty() &&
            QStandardPaths::findExecutable(QLatin1String(tool), {QStringLiteral("/usr/sbin")})
                .isEmpty())
            return QStringLiteral("%1 is not installed (package cups-client)").arg(tool);
    }
    return QString();
}

QString CupsSandbox::writeConfiguration(int port)
{
    const QString root = FDir.path();
    for (const char *folder : {"etc", "bin", "bin/backend", "spool", "spool/tmp", "run", "cache",
                               "log", "pdf", "pdf-spool"}) {
        if (!QDir(root).mkpath(QLatin1String(folder)))
            return QStringLiteral("cannot make %1 in %2").arg(QLatin1String(folder), root);
    }
    // The scheduler's helpers run as lp and must reach the spool.
    const QFile::Permissions open = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                    QFile::ReadGroup | QFile::ExeGroup | QFile::ReadOther |
                                    QFile::ExeOther;
    QFile::setPermissions(root, open);

    // Filters and helpers are the installed ones; the backend is a copy.
    for (const char *part : {"filter", "daemon", "cgi-bin", "driver", "monitor", "notifier"}) {
        if (!QFile::link(kServerBin + QLatin1Char('/') + QLatin1String(part),
                         path(QStringLiteral("bin/") + QLatin1String(part))))
            return QStringLiteral("cannot link %1").arg(QLatin1String(part));
    }
    // A backend only root may run is run as root.
    if (!copyExecutable(kCupsPdf, path(QStringLiteral("bin/backend/cups-pdf")),
                        QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner) ||
        !copyExecutable(kCupsd, path(QStringLiteral("cupsd")), open))
        return QStringLiteral("cannot copy cupsd and the cups-pdf backend");

    const QString files = QStringLiteral("ServerRoot %1/etc\n"
                                         "ServerBin %1/bin\n"
                                         "DataDir /usr/share/cups\n"
                                         "RequestRoot %1/spool\n"
                                         "TempDir %1/spool/tmp\n"
                                         "StateDir %1/run\n"
                                         "CacheDir %1/cache\n"
                                         "ErrorLog %1/log/error_log\n"
                                         "AccessLog %1/log/access_log\n"
                                         "PageLog %1/log/page_log\n"
                                         "User lp\n"
                                         "Group lp\n"
                                         "SystemGroup root\n"
                                         "FileDevice No\n")
                              .arg(root);
    // Anyone on loopback may do anything: no authentication in the way.
    const QString daemon = QStringLiteral("LogLevel debug\n"
                                          "Listen 127.0.0.1:%1\n"
                                          "Browsing No\n"
                                          "WebInterface No\n"
                                          "DefaultAuthType None\n"
                                          "<Location />\n"
                                          "  Order allow,deny\n"
                                          "  Allow from 127.0.0.1\n"
                                          "</Location>\n"
                                          "<Policy default>\n"
                                          "  <Limit All>\n"
                                          "    Order deny,allow\n"
                                          "  </Limit>\n"
                                          "</Policy>\n")
                               .arg(port);
    const QString backend = QStringLiteral("Out %1/pdf\n"
                                           "AnonDirName %1/pdf\n"
                                           "Spool %1/pdf-spool\n"
                                           "Log %1/log\n"
                                           "LogType 7\n"
                                           "Grp root\n")
                                .arg(root);
    const QFile::Permissions readable = QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup;
    if (!writeFile(path(QStringLiteral("etc/cups-files.conf")), files, readable) ||
        !writeFile(path(QStringLiteral("etc/cupsd.conf")), daemon, readable))
        return QStringLiteral("cannot write the scheduler's configuration");
    FBackendConfig = kCupsConfigFolder + QStringLiteral("/cups-pdf-%1.conf").arg(FInstance);
    if (!writeFile(FBackendConfig, backend, readable | QFile::ReadOther))
        return QStringLiteral("cannot write %1").arg(FBackendConfig);
    return QString();
}

QString CupsSandbox::start()
{
    if (!FDir.isValid())
        return QStringLiteral("no temporary folder: %1").arg(FDir.errorString());
    const int port = freePort();
    if (port == 0)
        return QStringLiteral("no free loopback port");
    FServer = QStringLiteral("127.0.0.1:%1").arg(port);
    FInstance = QStringLiteral("vemo-test-%1").arg(QCoreApplication::applicationPid());
    const QString written = writeConfiguration(port);
    if (!written.isEmpty())
        return written;

    FDaemon.start(path(QStringLiteral("cupsd")),
                  {QStringLiteral("-f"), QStringLiteral("-c"),
                   path(QStringLiteral("etc/cupsd.conf")), QStringLiteral("-s"),
                   path(QStringLiteral("etc/cups-files.conf"))});
    if (!FDaemon.waitForStarted(kStartTimeoutMs))
        return QStringLiteral("cupsd did not start: %1").arg(FDaemon.errorString());

    QDeadlineTimer deadline(kStartTimeoutMs);
    QString status;
    for (;;) {
        if (FDaemon.state() != QProcess::Running)
            return QStringLiteral("cupsd ended at once: %1\n%2")
                .arg(QString::fromLocal8Bit(FDaemon.readAll()), log());
        if (runTool(QStringLiteral("lpstat"), {QStringLiteral("-r")}, &status) &&
            status.startsWith(QLatin1String("scheduler is running")))
            break;
        if (deadline.hasExpired())
            return QStringLiteral("cupsd does not answer on %1: %2\n%3")
                .arg(FServer, status, log());
        QThread::msleep(200);
    }

    // The queue renders through cairo, which keeps the text readable in
    // the PDF that cups-pdf makes.
    for (const QStringList &arguments :
         {QStringList{"-p", Queue, "-E", "-v", "cups-pdf:/" + FInstance, "-P", kCupsPdfPpd, "-o",
                      "pdftops-renderer-default=pdftocairo"},
          QStringList{"-d", Queue}}) {
        QString error;
        if (!runTool(QStringLiteral("lpadmin"), arguments, &error))
            return QStringLiteral("lpadmin %1 failed: %2\n%3")
                .arg(arguments.join(QLatin1Char(' ')), error, log());
    }
    return QString();
}

void CupsSandbox::stop()
{
    if (FDaemon.state() != QProcess::NotRunning) {
        FDaemon.terminate();
        if (!FDaemon.waitForFinished(kStopTimeoutMs)) {
            FDaemon.kill();
            FDaemon.waitForFinished(kStopTimeoutMs);
        }
    }
    if (!FBackendConfig.isEmpty()) {
        QFile::remove(FBackendConfig);
        FBackendConfig.clear();
    }
}

QString CupsSandbox::pdfFolder() const
{
    return path(QStringLiteral("pdf"));
}

bool CupsSandbox::runTool(const QString &tool, const QStringList &arguments, QString *output)
{
    QString program = QStandardPaths::findExecutable(tool);
    if (program.isEmpty())
        program = QStandardPaths::findExecutable(tool, {QStringLiteral("/usr/sbin")});
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, QStringList{QStringLiteral("-h"), FServer} + arguments);
    if (!process.waitForFinished(kToolTimeoutMs)) {
        process.kill();
        process.waitForFinished(kStopTimeoutMs);
        *output = QStringLiteral("%1 did not finish: %2").arg(tool, process.errorString());
        return false;
    }
    *output = QString::fromLocal8Bit(process.readAll());
    return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

QString CupsSandbox::log() const
{
    QFile file(path(QStringLiteral("log/error_log")));
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    const QByteArray all = file.readAll();
    return QString::fromLocal8Bit(all.right(4000));
}
