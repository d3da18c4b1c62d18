#pragma once

#include "dialogue/ExitStatus.h"
#include "download/FirmwareServer.h"

#include <QList>
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
        Station, // the production station (--station), a window or headless
        Error,   // print errorMessage, exit 2
    };

    // Exit statuses of the program, from the one table (dialogue/ExitStatus.h).
    static constexpr int RunFailedExitCode = dialogue::exitStatusOf(dialogue::EndKind::Failed);
    static constexpr int ErrorExitCode = dialogue::exitStatusOf(dialogue::EndKind::BadInput);
    static constexpr int TimeoutExitCode = dialogue::exitStatusOf(dialogue::EndKind::TimeOut);

    Action action = Action::Run;
    QString errorMessage; // one line, names the offending option

    QString usbBackend;   // "sim", "libusb", or empty: the default backend
    QString simFile;      // devices of the simulated bus
    QString registryFile; // key store file; empty: the default store
    QString logFile;      // mirror of the message log; "-" is standard output
    QString printTo;      // folder for certificates as PDF files; empty: the printer
    QString captureFile;  // pcap capture of the USB traffic; "-" is standard output
    QString recordFile;   // the file each run appends its record to (JSON Lines)
    // The maker's web server the firmware installers are fetched from.
    QString firmwareServer = QString::fromLatin1(download::FirmwareServer::DefaultAddress);
    // No operator: boxes are logged and answered with their default button,
    // and the exit status tells how the run went.
    bool batch = false;
    // Seconds a run may take before the program gives up (exit status 3);
    // 0: no limit. --batch sets DefaultBatchTimeout unless --timeout is given.
    int timeoutSeconds = 0;
    static constexpr int DefaultBatchTimeout = 600;
    // Load a firmware file whose name names another generation than the
    // device's (vemo3.bin into a Vemo2).
    bool force = false;
    // After an unattended update, wait for the device to come back and ask
    // its firmware version; expectVersion (implies verify) must be it.
    bool verify = false;
    QString expectVersion;

    // The device to work with (--device): a serial number or a bus path;
    // empty: the one attached.
    QString device;
    // --list prints one JSON array in place of a line per device.
    bool json = false;

    // ---- The event stream and the production station -------------------------
    // --events: the run's events as JSON Lines (RunEvents); "-" is standard
    // output.
    QString eventsFile;
    // --station: the production station, one row per socket, each device's
    // update its own process (with --batch: headless, once over the devices
    // attached).
    bool station = false;
    // --image=GEN=FILE: the image each generation gets, in the order given.
    struct GenerationImage
    {
        QString generation; // the generation table's name ("Vemo2")
        QString file;
    };
    QList<GenerationImage> images;
    // --auto: a device is updated as soon as it is plugged in.
    bool autoStart = false;
    // --calibrate: every run writes the calibration date and prints the
    // certificate ("/CALIBRATE").
    bool calibrate = false;

    // The arguments that are not options, the program path first.
    QStringList programArguments;

    // argv as given to main, argument 0 included.
    static ProgramOptions parse(const QStringList &argv);

    static QString usage(const QString &programName);
    static QString versionText();
};
