#include "app/Application.h"
#include "app/ArgumentText.h"
#include "app/BatchRun.h"
#include "app/DeviceListing.h"
#include "app/LogFile.h"
#include "app/OutputFiles.h"
#include "app/ProgramOptions.h"
#include "app/RunEvents.h"
#include "app/RunRecord.h"
#include "app/RunWatchdog.h"
#include "app/Unit1.h"
#include "dialogue/RunOutcome.h"
#include "platform/AppendFile.h"
#include "platform/BatchHostServices.h"
#include "platform/HostServices.h"
#include "platform/QtHostServices.h"
#include "platform/StandardStreams.h"
#include "platform/TerminalText.h"
#include "platform/TerminationSignals.h"
#include "registry/KeyStore.h"
#include "station/DeviceWatch.h"
#include "station/HeadlessStation.h"
#include "station/Station.h"
#include "station/StationWindow.h"
#include "usbio/Backend.h"
#include "usbio/capture/UsbCapture.h"
#include "usbio/libusb/LibusbBackend.h"
#include "usbio/sim/SimBus.h"
#include "usbio/sim/SimConfig.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <optional>

namespace {

void printLine(std::FILE *stream, const QString &text)
{
    const QByteArray bytes = text.toLocal8Bit();
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stream);
    if (!text.endsWith(QLatin1Char('\n')))
        std::fputc('\n', stream);
    std::fflush(stream);
}

// A line of the program's own on standard error: one line, whatever the
// values it names hold.
void printErrorLine(const QString &line)
{
    printLine(stderr, platform::TerminalText::escaped(line));
}

int optionError(const QString &message)
{
    printErrorLine(message);
    return ProgramOptions::ErrorExitCode;
}

// --help, --version and a bad command line: answered without a display.
int answerWithoutRunning(const ProgramOptions &options, const QString &programPath)
{
    switch (options.action) {
    case ProgramOptions::Action::Help:
        printLine(stdout, ProgramOptions::usage(QFileInfo(programPath).fileName()));
        return 0;
    case ProgramOptions::Action::Version:
        printLine(stdout, ProgramOptions::versionText());
        return 0;
    case ProgramOptions::Action::Error:
    case ProgramOptions::Action::List:
    case ProgramOptions::Action::Station:
    case ProgramOptions::Action::Run:
        break;
    }
    return optionError(options.errorMessage);
}

// What the run reads from files, read and checked before anything needs a
// display, so that a bad one is a bad command line (and not an error box
// at its first use).
struct RunInputs
{
    std::unique_ptr<registry::KeyStore> keyStore;
    // The simulated devices, read once.
    std::optional<usbio::SimConfig> simConfig;
};

// An error line, or empty when the log file can be written.
QString checkLogFile(const ProgramOptions &options)
{
    if (options.logFile.isEmpty())
        return QString();
    LogFile probe;
    QString error;
    if (probe.open(options.logFile, &error))
        return QString();
    return QStringLiteral("vemotool: bad value for --log-file: %1").arg(error);
}

// An error line, or empty with the key store read.
QString openKeyStore(const ProgramOptions &options, RunInputs &inputs)
{
    inputs.keyStore = std::make_unique<registry::KeyStore>(
        options.registryFile.isEmpty() ? registry::KeyStore::defaultFilePath()
                                       : options.registryFile);
    try {
        inputs.keyStore->keyExists(registry::RootKey::LocalMachine, QStringLiteral("Software"));
    } catch (const registry::RegistryError &e) {
        const QString why = QString::fromUtf8(e.what());
        return options.registryFile.isEmpty()
                   ? QStringLiteral("vemotool: %1").arg(why)
                   : QStringLiteral("vemotool: bad value for --registry: %1").arg(why);
    }
    return QString();
}

// An error line, or empty with the simulated devices read (when asked for).
QString readSimConfig(const ProgramOptions &options, RunInputs &inputs)
{
    if (options.simFile.isEmpty())
        return QString();
    usbio::SimConfig config;
    QString error;
    if (!config.load(options.simFile, &error))
        return QStringLiteral("vemotool: bad value for --sim: %1").arg(error);
    inputs.simConfig = std::move(config);
    return QString();
}

// An error line, or empty with every input read.
QString checkInputs(const ProgramOptions &options, RunInputs &inputs)
{
    QString error = checkLogFile(options);
    if (error.isEmpty())
        error = openKeyStore(options, inputs);
    if (error.isEmpty())
        error = readSimConfig(options, inputs);
    return error;
}

// The window system's environment, before the application exists. An error
// line, or empty when the program can start.
QString preparePlatform(const ProgramOptions &options)
{
    // Without a display the window system cannot start: an unattended run
    // needs none, an operator does.
    const bool platformChosen = !qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM");
    const bool haveDisplay =
        !qEnvironmentVariableIsEmpty("DISPLAY") || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
    if (!platformChosen && !haveDisplay) {
        if (!options.batch)
            return QStringLiteral("vemotool: no display (DISPLAY is not set); start it on a "
                                  "desktop, or use --batch");
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }

    // Qt warns on standard error when the runtime folder is not set, and
    // then uses a private one of its own: take that one without the warning,
    // so standard error carries only what a line script should read.
    if (qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR")) {
        const QString runtime =
            QDir::tempPath() + QStringLiteral("/runtime-") + qEnvironmentVariable("USER", "vemo");
        if (QDir().mkpath(runtime) &&
            QFile::setPermissions(runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner))
            qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime));
    }

    // The layout is in pixels at 96 dpi and is not scaled to the screen.
    if (qEnvironmentVariableIsEmpty("QT_ENABLE_HIGHDPI_SCALING"))
        qputenv("QT_ENABLE_HIGHDPI_SCALING", "0");
    return QString();
}

// The USB backend the options choose, installed once for the run: real
// devices, or the simulated bus with the devices read before.
class UsbBackend
{
public:
    UsbBackend(const ProgramOptions &options, RunInputs &inputs)
    {
        if (options.usbBackend != QLatin1String("sim")) {
            m_libusb = std::make_unique<usbio::LibusbBackend>(inputs.keyStore.get());
            m_libusb->install();
            return;
        }
        m_bus = std::make_unique<usbio::SimBus>(inputs.keyStore.get());
        m_bus->install();
        if (inputs.simConfig)
            m_bus->applyConfig(*inputs.simConfig);
    }

private:
    std::unique_ptr<usbio::SimBus> m_bus;
    std::unique_ptr<usbio::LibusbBackend> m_libusb;
};

// Writes bytes whole and flushes them; false with the system's reason when
// any of them did not get out (a full disk, a closed stream or pipe).
bool printText(std::FILE *stream, const QByteArray &bytes, QString *error)
{
    errno = 0;
    const size_t written =
        std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stream);
    if (written == size_t(bytes.size()) && std::fflush(stream) == 0 && !std::ferror(stream))
        return true;
    *error = QString::fromLocal8Bit(std::strerror(errno != 0 ? errno : EIO));
    return false;
}

// --list: the attached devices on standard output, read from their
// descriptors. No window and no display; nothing is opened, and nothing is
// written into the key store (the backend publishes into one in memory).
int listDevices(const ProgramOptions &options, int &argc, char *argv[])
{
    RunInputs inputs;
    if (const QString error = readSimConfig(options, inputs); !error.isEmpty())
        return optionError(error);
    QCoreApplication app(argc, argv);
    inputs.keyStore = std::make_unique<registry::KeyStore>(QString());
    const UsbBackend backend(options, inputs);
    // Why no device can be found, where the backend knows.
    if (const QString note = usbio::selectedBackendNote(); !note.isEmpty())
        printLine(stderr, note);
    QList<DeviceListing::Row> rows;
    if (const std::unique_ptr<usbio::Component> component = usbio::createComponent())
        rows = DeviceListing::collect(*component);
    // A list that did not get out whole is no list: a script reading it
    // must not take a part for all.
    QString error;
    if (!printText(stdout,
                   options.json ? DeviceListing::json(rows)
                                : DeviceListing::text(rows).toLocal8Bit(),
                   &error)) {
        printErrorLine(QStringLiteral("vemotool: the device list could not be written whole: ") +
                       error);
        return ProgramOptions::RunFailedExitCode;
    }
    return 0;
}

// ---- The production station (--station) ------------------------------------------

// What each run of the station gets, from the station's options: the
// images, the run's options, the record file (station.jsonl in the current
// folder by default) and beside it a folder of the runs' logs; the options
// that say where devices are and which key store, passed on as they are.
station::Settings stationSettings(const ProgramOptions &options)
{
    station::Settings settings;
    settings.program = QCoreApplication::applicationFilePath();
    for (const ProgramOptions::GenerationImage &image : options.images)
        settings.images.insert(image.generation, image.file);
    settings.verify = true;
    settings.expectVersion = options.expectVersion;
    settings.calibrate = options.calibrate;
    settings.certificateFolder = options.printTo;
    settings.recordFile = QFileInfo(options.recordFile.isEmpty() ? QStringLiteral("station.jsonl")
                                                                 : options.recordFile)
                              .absoluteFilePath();
    settings.logFolder =
        QFileInfo(settings.recordFile).absolutePath() + QStringLiteral("/station-logs");
    settings.timeoutSeconds =
        options.timeoutSeconds > 0 ? options.timeoutSeconds : ProgramOptions::DefaultBatchTimeout;
    if (!options.usbBackend.isEmpty() && options.simFile.isEmpty())
        settings.passOn << QStringLiteral("--usb=") + options.usbBackend;
    if (!options.simFile.isEmpty())
        settings.passOn << QStringLiteral("--sim=") + QFileInfo(options.simFile).absoluteFilePath();
    if (!options.registryFile.isEmpty())
        settings.passOn << QStringLiteral("--registry=") +
                               QFileInfo(options.registryFile).absoluteFilePath();
    if (options.force)
        settings.passOn << QStringLiteral("--force");
    return settings;
}

// An error, or empty when the runs can append their records to file (it is
// created when missing).
QString checkRecordFile(const QString &file)
{
    platform::AppendFile probe;
    QString error;
    return probe.open(file, &error) ? QString() : error;
}

// The station's sockets over the devices the backend shows: an error line,
// or empty with the watch started and its devices handed to the station.
QString watchDevices(station::Station &station, station::DeviceWatch &watch)
{
    QObject::connect(&watch, &station::DeviceWatch::devicesChanged, &station,
                     &station::Station::devicesSeen);
    if (QString error; !watch.start(&error))
        return QStringLiteral("vemotool: the station sees no devices: ") + error;
    station.devicesSeen(watch.devices());
    return QString();
}

// What the station's window and the headless station stand on: the
// devices' backend, the station and the watch that keeps its sockets
// current, made in that order (and ended in the reverse one).
struct StationParts
{
    std::optional<UsbBackend> backend;
    std::optional<station::Station> station;
    station::DeviceWatch watch;

    // An error line (status 2), or empty when the station watches the
    // devices. A record file the runs cannot append to is refused before
    // any device is looked at.
    QString open(const ProgramOptions &options, RunInputs &inputs)
    {
        station::Settings settings = stationSettings(options);
        if (const QString error = checkRecordFile(settings.recordFile); !error.isEmpty())
            return QStringLiteral("vemotool: bad value for --record: %1").arg(error);
        backend.emplace(options, inputs);
        station.emplace(std::move(settings));
        return watchDevices(*station, watch);
    }
};

// --station --batch: every device attached now updated once (with --auto,
// every one plugged in until a signal), a line each, the summary; the
// status is 0 only when every device was done.
int runHeadlessStation(const ProgramOptions &options, RunInputs &inputs, int &argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    StationParts parts;
    if (const QString error = parts.open(options, inputs); !error.isEmpty())
        return optionError(error);
    station::HeadlessStation headless(*parts.station, options.autoStart,
                                      [](const QString &line) { printLine(stdout, line); });
    platform::TerminationSignals termination;
    QObject::connect(&termination, &platform::TerminationSignals::received, &headless,
                     &station::HeadlessStation::interrupt);
    bool ended = false;
    int status = 0;
    QObject::connect(&headless, &station::HeadlessStation::finished, &app,
                     [&ended, &status](int s) {
                         ended = true;
                         status = s;
                         QCoreApplication::exit(s);
                     });
    headless.begin();
    // With nothing to run it has ended already.
    if (!ended)
        app.exec();
    return status;
}

// --station: the station's window.
int runStationWindow(const ProgramOptions &options, RunInputs &inputs, int &argc, char *argv[])
{
    QApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Vemo station"));
    QGuiApplication::setDesktopFileName(QStringLiteral(VEMO_APP_ID));
    StationParts parts;
    if (const QString error = parts.open(options, inputs); !error.isEmpty())
        return optionError(error);
    parts.station->setAuto(options.autoStart);
    station::StationWindow window(*parts.station);
    window.show();
    return app.exec();
}

// --station: the station's window, or with --batch the headless station.
// It opens no device and writes nothing into the key store: it sees the
// devices from their descriptors (the backend publishes into a key store in
// memory), and each device's run is a process of this program.
int runStation(const ProgramOptions &options, int &argc, char *argv[])
{
    // SIGTERM and SIGINT end the headless station's runs, each cleanly.
    if (options.batch)
        platform::TerminationSignals::holdUntilInstalled();
    RunInputs inputs;
    if (const QString error = readSimConfig(options, inputs); !error.isEmpty())
        return optionError(error);
    if (const QString error = preparePlatform(options); !error.isEmpty())
        return optionError(error);
    inputs.keyStore = std::make_unique<registry::KeyStore>(QString());
    return options.batch ? runHeadlessStation(options, inputs, argc, argv)
                         : runStationWindow(options, inputs, argc, argv);
}

// The time-out of a run counts from the process's start. Until the run's own
// time-out takes over, with the message loop to end the run in, a watchdog
// ends a start-up that blocks (a file system that hangs, a display that does
// not answer).
struct StartUpClock
{
    std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
    RunWatchdog watchdog;
};

// The window from its start-up to the end of the message loop; the exit
// status of the run.
int runWindow(const ProgramOptions &options, BatchRun &run, StartUpClock &clock)
{
    // The window records the full path of the running program.
    QStringList arguments = options.programArguments;
    arguments[0] = QCoreApplication::applicationFilePath();

    run.start(clock.started);
    clock.watchdog.stop();
    TForm1 window(arguments, options, &run);
    window.show();
    run.started(window);
    // An end requested during start-up: the loop is not entered.
    platform::host().runMessageLoop();
    return run.finish(window);
}

// The end of a run without its window (before it, or after an exception
// took it): the record (--record) and the exit status come from the run's
// outcome, as a window's run has them. A record that cannot be written is
// said on standard error and fails a run that had not failed.
int endWithoutWindow(const ProgramOptions &options, RunRecord &record,
                     dialogue::RunOutcome &outcome, RunRecord::Facts facts)
{
    QString error;
    if (!record.write(dialogue::RunFacts(), outcome.exitStatus(options.batch),
                      outcome.endReason(options.batch), &error, facts)) {
        printErrorLine(QStringLiteral("vemotool: could not write the run's record: ") + error);
        outcome.recordRecordFailure(error);
    }
    return outcome.exitStatus(options.batch);
}

// A bad input found before the window: its line, its status, its record
// (which gives the line without the program's name).
int inputError(const ProgramOptions &options, RunRecord &record, const QString &message)
{
    printErrorLine(message);
    QString reason = message;
    if (reason.startsWith(QLatin1String("vemotool: ")))
        reason.remove(0, 10);
    dialogue::RunOutcome outcome;
    outcome.recordEnd(dialogue::EndKind::BadInput, reason);
    return endWithoutWindow(options, record, outcome, RunRecord::Facts::Known);
}

// An exception that escaped the window and its loop: shown, and the run
// failed, with or without an operator.
int exceptionEnd(const ProgramOptions &options, RunRecord &record, const QString &message)
{
    platform::host().showException(message);
    dialogue::RunOutcome outcome;
    outcome.recordException(message);
    // The window the run's facts were noted in is gone.
    const int status = endWithoutWindow(options, record, outcome, RunRecord::Facts::Lost);
    if (options.batch)
        printErrorLine(outcome.endLine(true));
    return status;
}

// Everything after the application exists: the host, the key store, the
// USB backend and the window; an error escaping them is shown.
int runProgram(const ProgramOptions &options, RunInputs &inputs, RunRecord &record,
               StartUpClock &clock, usbio::UsbCapture &capture)
{
    // The desktop for an operator; no operator in a batch run: boxes are
    // logged and answered at once.
    platform::QtHostServices desktopHost;
    platform::BatchHostServices batchHost;
    platform::setHost(options.batch ? &batchHost : &desktopHost);
    BatchRun run(options, options.batch ? &batchHost : nullptr, &record);
    // An installer the run waits for ends at the time-out or a signal; a
    // capture that cannot be kept fails the run.
    run.limitProgramsOf(options.batch ? batchHost : desktopHost);
    if (capture.running())
        run.watchCapture(capture);
    int status = 0;
    try {
        registry::KeyStore::setDefaultStore(inputs.keyStore.get());
        {
            const UsbBackend backend(options, inputs);
            status = runWindow(options, run, clock);
        }
        registry::KeyStore::setDefaultStore(nullptr);
    } catch (const std::exception &e) {
        status = exceptionEnd(options, record, QString::fromUtf8(e.what()));
    } catch (...) {
        status = exceptionEnd(options, record, QString());
    }
    platform::setHost(nullptr);
    return status;
}

} // namespace

int main(int argc, char *argv[])
{
    // A --batch run ends cleanly on SIGTERM, SIGINT, SIGHUP and SIGQUIT
    // from here on: one that comes before the run can take it waits for it
    // (no thread exists yet, so every later one waits too). A run that does
    // not take them over lets them through once it knows.
    platform::TerminationSignals::holdUntilInstalled();
    // A standard stream the program was started without takes nothing: no
    // file opened later gets its number (and the list or log meant for it).
    platform::StandardStreams::holdClosedOnes();
#ifdef SIGPIPE
    // A reader that went away (the other end of --log-file=- or
    // --capture=-) fails the write, which is then said and counted, instead
    // of ending the program without a word.
    std::signal(SIGPIPE, SIG_IGN);
#endif
    // Names that are not text in the locale's encoding are refused, never
    // turned into the name of another file.
    QString decodeError;
    const QStringList arguments = ArgumentText::decode(argc, argv, &decodeError);
    if (!decodeError.isEmpty())
        return optionError(decodeError);
    const ProgramOptions options = ProgramOptions::parse(arguments);
    // Only a --batch run takes the signals over; anything else ends of them.
    if (options.action != ProgramOptions::Action::Run || !options.batch)
        platform::TerminationSignals::letThrough();
    if (options.action == ProgramOptions::Action::List)
        return listDevices(options, argc, argv);
    if (options.action == ProgramOptions::Action::Station)
        return runStation(options, argc, argv);
    if (options.action != ProgramOptions::Action::Run)
        return answerWithoutRunning(options, arguments.value(0));
    // Before anything is opened for writing: no output is an input, or
    // another output.
    if (const QString clash = OutputFiles::clash(options); !clash.isEmpty())
        return optionError(clash);

    // From here on the run may wait: its time-out runs, and a start-up that
    // blocks past it still leaves its record.
    RunRecord record(options);
    // --events: the run's event stream; its end is said with the record.
    RunEvents events;
    if (!options.eventsFile.isEmpty()) {
        QString error;
        if (!events.open(options.eventsFile, &error))
            return optionError(QStringLiteral("vemotool: bad value for --events: %1").arg(error));
        record.setEvents(&events);
        events.state(QString::fromLatin1(RunEvents::Starting));
    }
    StartUpClock clock;
    if (options.timeoutSeconds > 0) {
        std::function<void()> recordEnd;
        if (record.takesTheEnd()) {
            recordEnd = [&record, &options] {
                dialogue::RunOutcome outcome;
                outcome.recordTimeOut(options.timeoutSeconds);
                QString error;
                record.write(dialogue::RunFacts(), outcome.exitStatus(options.batch),
                             outcome.endReason(options.batch) + QStringLiteral(", still starting"),
                             &error, RunRecord::Facts::Lost);
            };
        }
        clock.watchdog.start(std::chrono::seconds(options.timeoutSeconds),
                             RunWatchdog::startUpEndLine(options.timeoutSeconds),
                             std::move(recordEnd));
    }

    // The record file is opened first, so that every later end of the run,
    // a bad input too, leaves its record. One that cannot be opened ends the
    // run before anything else.
    if (record.wanted()) {
        QString error;
        if (!record.open(&error))
            return optionError(QStringLiteral("vemotool: bad value for --record: %1").arg(error));
    }

    RunInputs inputs;
    if (const QString error = checkInputs(options, inputs); !error.isEmpty())
        return inputError(options, record, error);
    if (const QString error = preparePlatform(options); !error.isEmpty())
        return inputError(options, record, error);

    // Created before any window or device exists; every component instance
    // of the run writes into it.
    usbio::UsbCapture capture;
    if (!options.captureFile.isEmpty()) {
        QString error;
        if (!capture.start(options.captureFile, &error))
            return inputError(options, record,
                              QStringLiteral("vemotool: bad value for --capture: %1").arg(error));
    }

    VemoApplication app(argc, argv);
    // The application's title: the caption of the exception display and the
    // name the desktop groups the window by. A display name would also be
    // appended to the window's caption, which stays as it is.
    QCoreApplication::setApplicationName(QString::fromLatin1(ApplicationTitle));
    // The desktop entry the window belongs to: its icon and name in the
    // task bar of a desktop that installed the package.
    QGuiApplication::setDesktopFileName(QStringLiteral(VEMO_APP_ID));
    return runProgram(options, inputs, record, clock, capture);
}
