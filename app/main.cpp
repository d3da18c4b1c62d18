#include "app/LogFile.h"
#include "app/ProgramOptions.h"
#include "app/Unit1.h"
#include "platform/HostServices.h"
#include "registry/KeyStore.h"
#include "usbio/libusb/LibusbBackend.h"
#include "usbio/sim/SimBus.h"

#include <QApplication>
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

    // The layout is in pixels at 96 dpi and is not scaled to the screen.
    if (qEnvironmentVariableIsEmpty("QT_ENABLE_HIGHDPI_SCALING"))
        qputenv("QT_ENABLE_HIGHDPI_SCALING", "0");

    QApplication app(argc, argv);
    // The application's title: the caption of the exception display and the
    // name the desktop groups the window by. A display name would also be
    // appended to the window's caption, which stays as it is.
    QCoreApplication::setApplicationName(QString::fromLatin1(ApplicationTitle));

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
            TForm1 window(programArguments, options);
            Form1 = &window;
            window.show();
            // An end requested during start-up takes effect as the loop starts.
            if (!platform::host().terminateRequested())
                app.exec();
        }
        registry::KeyStore::setDefaultStore(nullptr);
    } catch (const std::exception &e) {
        platform::host().showException(QString::fromUtf8(e.what()));
    } catch (...) {
        platform::host().showException(QString());
    }
    return 0;
}
