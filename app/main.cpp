#include "app/Application.h"
#include "app/BatchRun.h"
#include "app/LogFile.h"
#include "app/ProgramOptions.h"
#include "app/Unit1.h"
#include "platform/BatchHostServices.h"
#include "platform/HostServices.h"
#include "registry/KeyStore.h"
#include "usbio/Backend.h"
#include "usbio/capture/UsbCapture.h"
#include "usbio/libusb/LibusbBackend.h"
#include "usbio/sim/SimBus.h"
#include "usbio/sim/SimConfig.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cstdio>
#include <exception>

namespace {

void printLine(std::FILE *stream, const QString &text)
{
    const QByteArray bytes = text.toLocal8Bit();
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stream);
    if (!text.endsWith(QLatin1Char('\n')))
        std::fputc('\n', stream);
    std::fflush(stream);
}

int optionError(const QString &message)
{
    printLine(stderr, message);
    return ProgramOptions::ErrorExitCode;
}

} // namespace

int main(int argc, char *argv[])
{
    // The options are read before anything needs a display, so --help and a
    // bad option work without one.
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    const ProgramOptions options = ProgramOptions::parse(arguments);
    switch (options.action) {
    case ProgramOptions::Action::Help:
        printLine(stdout, ProgramOptions::usage(QFileInfo(arguments.value(0)).fileName()));
        return 0;
    case ProgramOptions::Action::Version:
        printLine(stdout, ProgramOptions::versionText());
        return 0;
    case ProgramOptions::Action::Error:
        return optionError(options.errorMessage);
    case ProgramOptions::Action::Run:
        break;
    }
    if (!options.logFile.isEmpty()) {
        LogFile probe;
        QString error;
        if (!probe.open(options.logFile, &error))
            return optionError(QStringLiteral("vemotool: bad value for --log-file: %1").arg(error));
    }

    // The key store is read before anything needs a display: one that
    // cannot be read would otherwise stop start-up at its first registry
    // access, behind an exception box.
    registry::KeyStore store(options.registryFile.isEmpty() ? registry::KeyStore::defaultFilePath()
                                                            : options.registryFile);
    try {
        store.keyExists(registry::RootKey::LocalMachine, QStringLiteral("Software"));
    } catch (const registry::RegistryError &e) {
        const QString why = QString::fromUtf8(e.what());
        return optionError(options.registryFile.isEmpty()
                               ? QStringLiteral("vemotool: %1").arg(why)
                               : QStringLiteral("vemotool: bad value for --registry: %1").arg(why));
    }

    // The simulated devices are checked before anything needs a display too.
    if (!options.simFile.isEmpty()) {
        usbio::SimConfig config;
        QString error;
        if (!config.load(options.simFile, &error))
            return optionError(QStringLiteral("vemotool: bad value for --sim: %1").arg(error));
    }

    // Without a display the window system cannot start: an unattended run
    // needs none, an operator does.
    const bool platformChosen = !qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM");
    const bool haveDisplay =
        !qEnvironmentVariableIsEmpty("DISPLAY") || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
    if (!platformChosen && !haveDisplay) {
        if (!options.batch)
            return optionError(QStringLiteral("vemotool: no display (DISPLAY is not set); start it "
                                              "on a desktop, or use --batch"));
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }

    // Created before any window or device exists; every component instance
    // of the run writes into it.
    usbio::UsbCapture capture;
    if (!options.captureFile.isEmpty()) {
        QString error;
        if (!capture.start(options.captureFile, &error))
            return optionError(QStringLiteral("vemotool: bad value for --capture: %1").arg(error));
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

    VemoApplication app(argc, argv);
    // The application's title: the caption of the exception display and the
    // name the desktop groups the window by. A display name would also be
    // appended to the window's caption, which stays as it is.
    QCoreApplication::setApplicationName(QString::fromLatin1(ApplicationTitle));

    // No operator in a batch run: boxes are logged and answered at once.
    platform::BatchHostServices batchHost;
    if (options.batch) {
        batchHost.logLine = [](const QString &line) {
            if (Form1)
                Form1->log(line);
        };
        platform::setHost(&batchHost);
    }
    BatchRun run(options, options.batch ? &batchHost : nullptr);
    int status = 0;

    try {
        registry::KeyStore::setDefaultStore(&store);

        // Real devices, unless the simulated bus is asked for.
        usbio::SimBus bus(&store);
        usbio::LibusbBackend libusb(&store);
        if (options.usbBackend == QLatin1String("sim"))
            bus.install();
        else
            libusb.install();
        if (!options.simFile.isEmpty()) {
            QString error;
            if (!bus.loadConfig(options.simFile, &error)) {
                registry::KeyStore::setDefaultStore(nullptr);
                return optionError(QStringLiteral("vemotool: bad value for --sim: %1").arg(error));
            }
        }

        // The window records the full path of the running program.
        QStringList programArguments = options.programArguments;
        programArguments[0] = QCoreApplication::applicationFilePath();

        {
            run.start();
            TForm1 window(programArguments, options);
            window.show();
            run.started(window);
            // An end requested during start-up: the loop is not entered.
            platform::host().runMessageLoop();
            status = run.exitStatus(window);
        }
        registry::KeyStore::setDefaultStore(nullptr);
    } catch (const std::exception &e) {
        platform::host().showException(QString::fromUtf8(e.what()));
        status = options.batch ? ProgramOptions::RunFailedExitCode : 0;
    } catch (...) {
        platform::host().showException(QString());
        status = options.batch ? ProgramOptions::RunFailedExitCode : 0;
    }
    platform::setHost(nullptr);
    return status;
}
