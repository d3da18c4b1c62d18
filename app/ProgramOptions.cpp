#include "app/ProgramOptions.h"

#include "dialogue/FirmwareVersion.h"
#include "files/RegularFile.h"
#include "generations/GenerationTable.h"
#include "platform/TerminalText.h"

#include <QFileInfo>

#include <utility>

namespace {

const QString kProgram = QStringLiteral("vemotool");

ProgramOptions failed(ProgramOptions options, const QString &message)
{
    options.action = ProgramOptions::Action::Error;
    // One line, whatever the values it names hold.
    options.errorMessage =
        kProgram + QStringLiteral(": ") + platform::TerminalText::escaped(message);
    return options;
}

// text in lines of at most 78 characters, the first beginning with lead,
// the others indented as far.
QString wrapped(const QString &lead, const QString &text)
{
    QString lines;
    QString line = lead;
    const QString indent(lead.size(), QLatin1Char(' '));
    bool first = true;
    for (const QString &word : text.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        if (!first && line.size() + 1 + word.size() > 78) {
            lines += line + QLatin1Char('\n');
            line = indent;
            first = true;
        }
        line += (first ? QString() : QStringLiteral(" ")) + word;
        first = false;
    }
    return lines + line + QLatin1Char('\n');
}

// The exit status table, each row's text wrapped to the usage's width.
QString exitStatusLines()
{
    QString lines;
    for (const dialogue::ExitStatusRow &row : dialogue::ExitStatusTable)
        lines += wrapped(QStringLiteral("  %1  ").arg(row.status), QString::fromLatin1(row.when));
    return lines;
}

// ---- The event stream and the station: their own group of options ----------

// --events, --station, --image, --auto, --calibrate: false when name is none
// of them; else true, with error set when its value is bad.
bool takeStationOption(ProgramOptions &options, const QString &name, bool hasValue,
                       const QString &value, QString *error)
{
    if (name == QLatin1String("--station") || name == QLatin1String("--auto") ||
        name == QLatin1String("--calibrate")) {
        if (hasValue) {
            *error = QStringLiteral("option %1 takes no value").arg(name);
            return true;
        }
        bool &flag = name == QLatin1String("--station") ? options.station
                     : name == QLatin1String("--auto")  ? options.autoStart
                                                        : options.calibrate;
        flag = true;
        return true;
    }
    if (name != QLatin1String("--events") && name != QLatin1String("--image"))
        return false;
    if (!hasValue || value.isEmpty()) {
        *error = QStringLiteral("option %1 needs a value (%1=...)").arg(name);
        return true;
    }
    if (name == QLatin1String("--events")) {
        options.eventsFile = value;
        return true;
    }
    // GEN=FILE: a generation of the table, in any letter case, and its image.
    const int eq = int(value.indexOf(QLatin1Char('=')));
    const generations::GenerationTable &table = generations::table();
    const int row = eq > 0 ? table.indexOfNameIgnoringCase(value.left(eq)) : -1;
    if (row < 0 || eq + 1 >= value.size()) {
        *error = QStringLiteral("bad value for --image: '%1' (GENERATION=FILE, the generation "
                                "%2)")
                     .arg(value, generations::listText(table.names(), QStringLiteral(" or ")));
        return true;
    }
    const QString generation = table.rows().at(row).name;
    const QString file = value.mid(eq + 1);
    for (const ProgramOptions::GenerationImage &image : std::as_const(options.images)) {
        if (image.generation == generation) {
            *error =
                QStringLiteral("bad value for --image: %1 is given an image twice").arg(generation);
            return true;
        }
    }
    // Looked at, not opened: a FIFO would block the open.
    QString why = files::RegularFile::checkForReading(file, files::RegularFile::FirmwareImageLimit);
    if (why.isEmpty() && !QFileInfo(file).isReadable())
        why = QStringLiteral("no permission to read it");
    if (!why.isEmpty()) {
        *error = QStringLiteral("bad value for --image: cannot read '%1': %2").arg(file, why);
        return true;
    }
    // Kept absolute: each run starts in the station's folder, but a script
    // reads the line back.
    options.images.append({generation, QFileInfo(file).absoluteFilePath()});
    return true;
}

// What goes with what: an error line without the program's name, or empty.
QString checkStationOptions(const ProgramOptions &options, bool list)
{
    if (!options.eventsFile.isEmpty()) {
        if (list)
            return QStringLiteral("option --events does not go with --list, which runs nothing");
        if (options.station)
            return QStringLiteral("option --events does not go with --station: each run's "
                                  "events go to the station");
        if (options.eventsFile == QLatin1String("-") &&
            (options.logFile == QLatin1String("-") || options.captureFile == QLatin1String("-")))
            return QStringLiteral("bad value for --events: '-' (standard output already carries "
                                  "%1)")
                .arg(options.logFile == QLatin1String("-") ? QStringLiteral("the message log")
                                                           : QStringLiteral("the capture"));
    }
    if (!options.station) {
        const char *stationOnly = options.autoStart           ? "--auto"
                                  : !options.images.isEmpty() ? "--image"
                                  : options.calibrate         ? "--calibrate"
                                                              : nullptr;
        if (stationOnly)
            return QStringLiteral("option %1 goes with --station").arg(QLatin1String(stationOnly));
        return QString();
    }
    if (list)
        return QStringLiteral("option --station does not go with --list");
    // The station starts the runs: it chooses each one's device, log and
    // capture.
    for (const auto &[given, option] : {std::pair{!options.device.isEmpty(), "--device"},
                                        std::pair{!options.logFile.isEmpty(), "--log-file"},
                                        std::pair{!options.captureFile.isEmpty(), "--capture"}}) {
        if (given)
            return QStringLiteral("option %1 does not go with --station: each run has its own")
                .arg(QLatin1String(option));
    }
    if (options.programArguments.size() > 1)
        return QStringLiteral("option --station takes no production command line (found '%1'; "
                              "give the images with --image=GENERATION=FILE)")
            .arg(options.programArguments.at(1));
    if (options.batch && options.images.isEmpty())
        return QStringLiteral("option --station with --batch needs an image: "
                              "--image=GENERATION=FILE");
    return QString();
}

} // namespace

ProgramOptions ProgramOptions::parse(const QStringList &argv)
{
    ProgramOptions options;
    options.programArguments << (argv.isEmpty() ? QString() : argv.first());

    bool usbGiven = false;
    bool list = false;
    int i = 1;
    for (; i < argv.size(); ++i) {
        const QString &arg = argv.at(i);
        if (arg == QLatin1String("-h") || arg == QLatin1String("-V")) {
            options.action = arg == QLatin1String("-h") ? Action::Help : Action::Version;
            return options;
        }
        // One dash is an option too, never a file name: a firmware file whose
        // name begins with "-" follows "--".
        if (arg.startsWith(QLatin1Char('-')) && !arg.startsWith(QLatin1String("--")))
            return failed(options, QStringLiteral("unknown option %1").arg(arg));
        if (!arg.startsWith(QLatin1String("--")))
            break; // the production command line starts here
        if (arg == QLatin1String("--")) {
            ++i;
            break;
        }
        const int eq = arg.indexOf(QLatin1Char('='));
        const QString name = eq < 0 ? arg : arg.left(eq);
        const bool hasValue = eq >= 0;
        const QString value = hasValue ? arg.mid(eq + 1) : QString();

        if (name == QLatin1String("--help") || name == QLatin1String("--version")) {
            if (hasValue)
                return failed(options, QStringLiteral("option %1 takes no value").arg(name));
            // The first of the two wins; anything after it is not looked at.
            options.action = name == QLatin1String("--help") ? Action::Help : Action::Version;
            return options;
        }

        // The event stream and the station.
        if (QString error; takeStationOption(options, name, hasValue, value, &error)) {
            if (!error.isEmpty())
                return failed(options, error);
            continue;
        }

        if (name == QLatin1String("--batch") || name == QLatin1String("--force") ||
            name == QLatin1String("--verify")) {
            if (hasValue)
                return failed(options, QStringLiteral("option %1 takes no value").arg(name));
            bool &flag = name == QLatin1String("--batch")   ? options.batch
                         : name == QLatin1String("--force") ? options.force
                                                            : options.verify;
            flag = true;
            continue;
        }
        if (name == QLatin1String("--list") || name == QLatin1String("--json")) {
            if (hasValue)
                return failed(options, QStringLiteral("option %1 takes no value").arg(name));
            (name == QLatin1String("--list") ? list : options.json) = true;
            continue;
        }

        const bool known =
            name == QLatin1String("--usb") || name == QLatin1String("--sim") ||
            name == QLatin1String("--registry") || name == QLatin1String("--log-file") ||
            name == QLatin1String("--timeout") || name == QLatin1String("--firmware-server") ||
            name == QLatin1String("--print-to") || name == QLatin1String("--capture") ||
            name == QLatin1String("--expect-version") || name == QLatin1String("--device") ||
            name == QLatin1String("--record");
        if (!known)
            return failed(options, QStringLiteral("unknown option %1").arg(name));
        if (!hasValue || value.isEmpty())
            return failed(options, QStringLiteral("option %1 needs a value (%1=...)").arg(name));

        if (name == QLatin1String("--usb")) {
            if (value != QLatin1String("sim") && value != QLatin1String("libusb"))
                return failed(
                    options,
                    QStringLiteral("bad value for --usb: '%1' (use sim or libusb)").arg(value));
            options.usbBackend = value;
            usbGiven = true;
        } else if (name == QLatin1String("--sim")) {
            // Looked at, not opened: a FIFO would block the open.
            QString why =
                files::RegularFile::checkForReading(value, files::RegularFile::InputLimit);
            if (why.isEmpty() && !QFileInfo(value).isReadable())
                why = QStringLiteral("no permission to read it");
            if (!why.isEmpty())
                return failed(
                    options,
                    QStringLiteral("bad value for --sim: cannot read '%1': %2").arg(value, why));
            options.simFile = value;
        } else if (name == QLatin1String("--firmware-server")) {
            const download::FirmwareServer server(value);
            if (!server.isValid())
                return failed(options, QStringLiteral("bad value for --firmware-server: '%1' (%2)")
                                           .arg(value, server.error()));
            options.firmwareServer = value;
        } else if (name == QLatin1String("--registry")) {
            options.registryFile = value;
        } else if (name == QLatin1String("--timeout")) {
            bool ok = false;
            const int seconds = value.toInt(&ok);
            // A day at most: the timer counts milliseconds in an int.
            if (!ok || seconds < 1 || seconds > 86400)
                return failed(options, QStringLiteral("bad value for --timeout: '%1' (seconds, "
                                                      "1 to 86400)")
                                           .arg(value));
            options.timeoutSeconds = seconds;
        } else if (name == QLatin1String("--print-to")) {
            const QFileInfo folder(value);
            if (!folder.isDir() || !folder.isWritable())
                return failed(options,
                              QStringLiteral("bad value for --print-to: '%1' is no writable folder")
                                  .arg(value));
            // Kept absolute: the program may change its current folder later.
            options.printTo = folder.absoluteFilePath();
        } else if (name == QLatin1String("--capture")) {
            options.captureFile = value;
        } else if (name == QLatin1String("--record")) {
            options.recordFile = value;
        } else if (name == QLatin1String("--device")) {
            options.device = value.trimmed();
            if (options.device.isEmpty())
                return failed(options, QStringLiteral("option --device needs a value "
                                                      "(--device=SERIAL or --device=PATH)"));
        } else if (name == QLatin1String("--expect-version")) {
            // Compared with a word of the device's answer: a version, or the
            // run would load the image only to fail its check afterwards.
            if (!dialogue::FirmwareVersion::isVersion(value)) {
                const int shown = dialogue::FirmwareVersion::MaxLength;
                return failed(options,
                              QStringLiteral("bad value for --expect-version: '%1' (a version: "
                                             "digits and dots, e.g. 2.11 or V2.11)")
                                  .arg(value.size() > shown
                                           ? value.left(shown) + QStringLiteral("...")
                                           : value));
            }
            options.expectVersion = value;
            options.verify = true;
        } else {
            options.logFile = value;
        }
    }

    if (!options.simFile.isEmpty()) {
        // Simulated devices live only on the simulated bus.
        if (usbGiven && options.usbBackend != QLatin1String("sim"))
            return failed(options, QStringLiteral("option --sim needs --usb=sim, not --usb=%1")
                                       .arg(options.usbBackend));
        options.usbBackend = QStringLiteral("sim");
    }

    // Binary packets and log lines do not share one stream.
    if (options.captureFile == QLatin1String("-") && options.logFile == QLatin1String("-"))
        return failed(options, QStringLiteral("bad value for --capture: '-' (standard output "
                                              "already carries the message log, --log-file=-)"));

    if (options.batch && options.timeoutSeconds == 0)
        options.timeoutSeconds = DefaultBatchTimeout;

    for (; i < argv.size(); ++i)
        options.programArguments << argv.at(i);

    if (const QString error = checkStationOptions(options, list); !error.isEmpty())
        return failed(options, error);
    if (options.station) {
        options.action = Action::Station;
        return options;
    }

    if (options.json && !list)
        return failed(options, QStringLiteral("option --json goes with --list"));
    if (list) {
        if (!options.device.isEmpty())
            return failed(options, QStringLiteral("option --device does not go with --list, "
                                                  "which lists every device"));
        if (!options.recordFile.isEmpty())
            return failed(options, QStringLiteral("option --record does not go with --list, "
                                                  "which runs nothing"));
        // Listing runs nothing: a production command line would be lost.
        if (options.programArguments.size() > 1)
            return failed(options, QStringLiteral("option --list takes no production command line "
                                                  "(found '%1')")
                                       .arg(options.programArguments.at(1)));
        options.action = Action::List;
    }
    return options;
}

QString ProgramOptions::usage(const QString &programName)
{
    const QString name = programName.isEmpty() ? kProgram : programName;
    return QStringLiteral(
               "Usage: %1 [OPTION]... [/SERIALnnnnnnnnn | FIRMWARE-FILE [/CALIBRATE]]\n"
               "\n"
               "%3"
               "\n"
               "Options (they come before the production command line):\n"
               "  --usb=sim|libusb   where devices are found: real USB devices (libusb,\n"
               "                     the default) or the simulated bus (sim)\n"
               "  --sim=FILE         attach the simulated devices described in FILE\n"
               "                     (JSON, see examples/); implies --usb=sim\n"
               "  --registry=FILE    key store standing in for the Windows registry\n"
               "                     (default: $VEMO_REGISTRY, else a file in the user's\n"
               "                     configuration folder)\n"
               "  --log-file=FILE    append every line of the message log to FILE, flushed\n"
               "                     line by line; '-' is standard output; a log that\n"
               "                     cannot be written fails a --batch run (status 1)\n"
               "  --firmware-server=URL\n"
               "                     the maker's web server the firmware installers are\n"
               "                     downloaded from: http://HOST[:PORT] or\n"
               "                     https://HOST[:PORT] (default: http://www.orvik.example)\n"
               "  --print-to=DIR     write each accuracy certificate as a new PDF file into\n"
               "                     DIR (named after the serial number and the time)\n"
               "                     instead of printing it\n"
               "  --capture=FILE     write every USB transfer into FILE as a pcap capture\n"
               "                     (usbmon), for Wireshark or tshark; '-' is standard\n"
               "                     output when the message log does not go there\n"
               "  --list             print the attached Vemo devices, one line each (number,\n"
               "                     generation, serial number, firmware version, bus\n"
               "                     path), and exit; opens none of them and needs no\n"
               "                     display\n"
               "  --json             with --list: print one JSON array instead\n"
               "  --device=SERIAL|PATH\n"
               "                     work with this device only (its serial number or\n"
               "                     its bus path as --list shows them); the others are\n"
               "                     listed but never opened\n"
               "  --batch            no operator: every message box is written to the\n"
               "                     message log and to standard error and answered with\n"
               "                     its default button; no display is needed\n"
               "  --timeout=SECONDS  give up a run that has not ended by then (exit\n"
               "                     status 3); with --batch the default is 600\n"
               "  --verify           after an unattended update, wait (within --timeout)\n"
               "                     for the device to come back, open it and ask its\n"
               "                     firmware version; the run is done only when it\n"
               "                     answered\n"
               "  --expect-version=V as --verify, and the answer must hold the version V\n"
               "                     as a word (digits and dots, 2.11 or V2.11; the V in\n"
               "                     either letter case)\n"
               "  --force            load a firmware file whose name names another\n"
               "                     generation than the device's (vemo3.bin into a Vemo2)\n"
               "  --record=FILE      when the run ends, however it ends, append one line\n"
               "                     to FILE: a JSON object with the keys started, ended,\n"
               "                     host, pid, version, run, device, generation, serial,\n"
               "                     path, firmwareBefore, firmwareAfter, firmwareAnswer,\n"
               "                     serialWritten, firmwareFile, imagePath, imageSize,\n"
               "                     imageSha256, bytesTaken, deviation, calibrationDate,\n"
               "                     certificate, status and reason (null: not known);\n"
               "                     written in one piece and synced, so that instances\n"
               "                     running at once can share FILE; a FILE that cannot be\n"
               "                     opened, or is no regular file, is a bad value\n"
               "  --events=FILE      write the run's events to FILE as JSON Lines, one\n"
               "                     object each: its states ({\"event\":\"state\",...}),\n"
               "                     the bytes the device took ({\"event\":\"progress\",\n"
               "                     \"bytes\":2048,\"of\":8000}) and its end with the\n"
               "                     record's fields ({\"event\":\"end\",\"status\":0,...});\n"
               "                     '-' is standard output\n"
               "  --station          the production station: a window with a row per\n"
               "                     socket (bus path); each device's update runs as its\n"
               "                     own vemotool --batch --verify --device=PATH\n"
               "                     --record=FILE --events=-; with --batch no window:\n"
               "                     every device attached is updated once, a line each\n"
               "                     as it ends, a summary, status 0 only when all were\n"
               "                     done\n"
               "  --image=GEN=FILE   with --station: the image for the generation GEN\n"
               "                     (Vemo2=vemo2.bin); give it once per generation\n"
               "  --auto             with --station: update a device as soon as it is\n"
               "                     plugged in (with --batch: until SIGTERM or SIGINT)\n"
               "  --calibrate        with --station: every run writes the calibration\n"
               "                     date and prints the certificate (/CALIBRATE; with\n"
               "                     --print-to into that folder)\n"
               "  -h, --help         show this help and exit\n"
               "  -V, --version      show the version and exit\n"
               "  --                 end of options\n"
               "\n"
               "Files are regular files: a FIFO, a device or a folder is refused at once\n"
               "(only '-' names standard output). Read whole, the simulator file and the\n"
               "key store may hold at most 16 MiB, a firmware image at most 32 MiB.\n"
               "\n"
               "Production command lines (after the options):\n"
               "  /SERIALnnnnnnnnn          write the nine-character serial number nnnnnnnnn\n"
               "                            into the attached device (the argument begins\n"
               "                            with /SERIAL; anything else is a file)\n"
               "  FIRMWARE-FILE             load the firmware file (vemo*.bin image or\n"
               "                            vemo*.exe installer) into the one attached device\n"
               "                            and end when the transfer is complete\n"
               "  FIRMWARE-FILE /CALIBRATE  as above, after writing today's date as the\n"
               "                            calibration date and printing the accuracy\n"
               "                            certificate\n"
               "\n"
               "With --batch the run's last line, on standard error and in the log, names\n"
               "its exit status and why: \"run ended: 0 done\", \"run ended: 3 time-out\n"
               "after 600 s\", ...\n"
               "\n"
               "Exit status (without --batch message boxes and a run that did not end\n"
               "by itself do not count):\n"
               "%2")
        .arg(name, exitStatusLines(),
             wrapped(QString(), QStringLiteral("Service tool for the %1 USB timing devices. The "
                                               "whole manual: see vemotool(1).")
                                    .arg(generations::table().namesText())));
}

QString ProgramOptions::versionText()
{
    return kProgram + QStringLiteral(" " VEMO_VERSION);
}
