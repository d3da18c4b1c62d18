#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// A CUPS scheduler of the test's own: cupsd listening on a free loopback
// port with its configuration, spool and logs in a temporary folder, and
// one cups-pdf queue, the server's default printer, that writes what it
// prints as PDF into pdfFolder(). Point a client at it with CUPS_SERVER.
//
// The scheduler and the cups-pdf backend run as copies taken from the
// installed packages, so security profiles written for the installed paths
// (which allow only the system's own folders) do not apply to them. The
// backend reads its configuration from a file /etc/cups/cups-pdf-NAME.conf
// of this run, removed again at the end.
class CupsSandbox
{
public:
    static const QString Queue;

    CupsSandbox();
    ~CupsSandbox();
    CupsSandbox(const CupsSandbox &) = delete;
    CupsSandbox &operator=(const CupsSandbox &) = delete;

    // Why this host cannot run a scheduler (not root, packages missing);
    // empty when it can.
    static QString unavailableReason();

    // Starts the scheduler and sets up the queue; empty on success,
    // otherwise what failed, with the scheduler's log. Every wait is bounded.
    QString start();
    void stop();

    // "127.0.0.1:PORT", for CUPS_SERVER.
    QString server() const { return FServer; }
    QString pdfFolder() const;
    // A client tool of CUPS (lpadmin, cupsreject, ...) run against this
    // server; whether it succeeded, with what it wrote.
    bool runTool(const QString &tool, const QStringList &arguments, QString *output);
    // The scheduler's error log.
    QString log() const;

private:
    QString path(const QString &name) const { return FDir.filePath(name); }
    QString writeConfiguration(int port);

    QTemporaryDir FDir;
    QProcess FDaemon;
    QString FServer;
    QString FInstance;
    QString FBackendConfig;
};
