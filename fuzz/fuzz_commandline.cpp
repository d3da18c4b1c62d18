// The command line as main takes it: the input cut at zero bytes into the
// arguments after the program's path, decoded (ArgumentText), parsed as the
// program's options (ProgramOptions) and, when the options leave a run, the
// rest as the production command line (ProductionCommandLine).

#include "app/ArgumentText.h"
#include "app/ProgramOptions.h"
#include "dialogue/ProductionCommandLine.h"
#include "fuzz/FuzzInput.h"

#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzInput input(data, size);
    QList<QByteArray> words{QByteArray("vemotool")};
    if (size > 0)
        words += input.restSplit('\0');
    std::vector<const char *> argv;
    for (const QByteArray &word : words)
        argv.push_back(word.constData());

    QString error;
    const QStringList arguments = ArgumentText::decode(int(argv.size()), argv.data(), &error);
    if (!error.isEmpty()) {
        FUZZ_CHECK(arguments.isEmpty() && !error.contains(QLatin1Char('\n')), error.toUtf8());
        return 0;
    }
    FUZZ_CHECK(arguments.size() == words.size(), QByteArray::number(arguments.size()));

    const ProgramOptions options = ProgramOptions::parse(arguments);
    switch (options.action) {
    case ProgramOptions::Action::Error:
        FUZZ_CHECK(options.errorMessage.startsWith(QLatin1String("vemotool: ")),
                   options.errorMessage.toUtf8());
        return 0;
    case ProgramOptions::Action::Help:
    case ProgramOptions::Action::Version:
        return 0;
    case ProgramOptions::Action::List:
        // A listing runs nothing and works with no one device.
        FUZZ_CHECK(options.programArguments.size() == 1 && options.device.isEmpty(),
                   options.programArguments.join(QLatin1Char(' ')).toUtf8());
        return 0;
    case ProgramOptions::Action::Station:
        // The station runs no production command line and chooses each
        // run's device, log and capture itself.
        FUZZ_CHECK(options.station && options.programArguments.size() == 1 &&
                       options.device.isEmpty() && options.logFile.isEmpty() &&
                       options.captureFile.isEmpty() && options.eventsFile.isEmpty(),
                   options.programArguments.join(QLatin1Char(' ')).toUtf8());
        return 0;
    case ProgramOptions::Action::Run:
        FUZZ_CHECK(!options.json, QByteArray("--json without --list"));
        FUZZ_CHECK(!options.autoStart && options.images.isEmpty() && !options.calibrate,
                   QByteArray("a station's option without --station"));
        break;
    }
    FUZZ_CHECK(options.programArguments.value(0) == QLatin1String("vemotool"),
               options.programArguments.value(0).toUtf8());
    FUZZ_CHECK(options.timeoutSeconds >= 0 && options.timeoutSeconds <= 86400,
               QByteArray::number(options.timeoutSeconds));
    FUZZ_CHECK(options.simFile.isEmpty() || options.usbBackend == QLatin1String("sim"),
               options.usbBackend.toUtf8());

    const dialogue::ProductionCommandLine line =
        dialogue::ProductionCommandLine::parse(options.programArguments.mid(1));
    switch (line.run) {
    case dialogue::ProductionCommandLine::Run::Serial:
        FUZZ_CHECK(line.serialNumber.size() == 9, line.serialNumber);
        break;
    case dialogue::ProductionCommandLine::Run::Update:
        FUZZ_CHECK(line.firmwareFile == options.programArguments.value(1),
                   line.firmwareFile.toUtf8());
        break;
    case dialogue::ProductionCommandLine::Run::None:
        FUZZ_CHECK(options.programArguments.size() == 1, QByteArray());
        break;
    }
    return 0;
}
