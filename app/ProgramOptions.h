#pragma once

#include "download/FirmwareServer.h"

#include <QString>
#include <QStringList>

// The program's own long options, which come before the production command
// line ("/SERIAL...", a firmware file, "/CALIBRATE"). Parsing is pure: it
// looks at nothing but the arguments and, for --sim and --print-to, whether
// the file is readable or the folder writable, so main can report a bad line
// before any window exists.
class ProgramOptions
{
public:
    enum class Action
    {
        Run,     // start the window
        Help,    // print usage, exit 0
        Version, // print the version, exit 0
        List,    // print the attached devices (--list), exit 0
        Error,   // print errorMessage, exit 2
    };

    // Exit statuses of the program.
    static constexpr int RunFailedExitCode = 1;      // a run ended early, or a box was shown
    static constexpr int ErrorExitCode = 2;          // bad command line
    static constexpr int TimeoutExitCode = 3;        // --timeout ran out
    static constexpr int NoDeviceExitCode = 4;       // the device named (--device) is not attached
    static constexpr int ImageNotLoadedExitCode = 5; // another device came back into the update

    Action action = Action::Run;
    QString errorMessage; // one line, names the offending option

    QString usbBackend;   // "sim", "libusb", or empty: the default backend
    QString simFile;      // devices of the simulated bus
    QString registryFile; // key store file; empty: the default store
    QString logFile;      // mirror of the message log; "-" is standard output
    QString printTo;      // folder for certificates as PDF files; empty: the printer
    QString captureFile;  // pcap capture of the USB traffic; "-" is standard output
    // The maker's web server the firmware installers are fetched from.
    QString firmwareServer = QString::fromLatin1(download::FirmwareServer::DefaultAddress);
    // No operator: boxes are logged and answered with their default button,
    // and the exit status tells how the run went.
    bool batch = false;
    // Seconds a run may take before the program gives up (exit status 3);
    // 0: no limit. --batch sets DefaultBatchTimeout unless --timeout is given.
    int timeoutSeconds = 0;
    static constexpr int DefaultBatchTimeout = 600;

    // The device to work with (--device): a serial number or a bus path;
    // empty: the one attached.
    QString device;
    // --list prints one JSON array in place of a line per device.
    bool json = false;

    // The arguments that are not options, the program path first.
    QStringList programArguments;

    // argv as given to main, argument 0 included.
    static ProgramOptions parse(const QStringList &argv);

    static QString usage(const QString &programName);
    static QString versionText();
};
