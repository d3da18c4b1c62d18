#include "app/ProgramOptions.h"
#include "registry/KeyStore.h"
#include "tests/support/ToolProcess.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <unistd.h>

// The program's own options: what each one sets, where parsing stops, and
// how the real executable reports --help, --version and a bad line.
class TestProgramOptions : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir FDir;
    QString FSimFile;

    QString path(const QString &name) const { return FDir.filePath(name); }

private Q_SLOTS:
    void initTestCase();

    void parse_data();
    void parse();
    void errors_data();
    void errors();
    void expectVersion_data();
    void expectVersion();
    void helpAndVersionEndParsing_data();
    void helpAndVersionEndParsing();
    void batchAndTimeout_data();
    void batchAndTimeout();
    void runChecks_data();
    void runChecks();
    void usageDocumentsEveryOption();
    void list_data();
    void list();
    void device_data();
    void device();
    void firmwareServer_data();
    void firmwareServer();
    void printTo_data();
    void printTo();
    void capture_data();
    void capture();
    void station_data();
    void station();

    void executable_data();
    void executable();
    void executableRejectsBrokenSimFile();
    void executableStartsOnSimulatedVemo2_data();
    void executableStartsOnSimulatedVemo2();
};

void TestProgramOptions::initTestCase()
{
    QVERIFY(FDir.isValid());
    FSimFile = path(QStringLiteral("devices.json"));
    QFile sim(FSimFile);
    QVERIFY(sim.open(QIODevice::WriteOnly));
    sim.write("{}\n");
    QFile broken(path(QStringLiteral("broken-registry.json")));
    QVERIFY(broken.open(QIODevice::WriteOnly));
    broken.write("{ \"HKEY_LOCAL_MACHINE\": ");
}

void TestProgramOptions::parse_data()
{
    QTest::addColumn<QStringList>("line");
    QTest::addColumn<QString>("usb");
    QTest::addColumn<QString>("sim");
    QTest::addColumn<QString>("registry");
    QTest::addColumn<QString>("logFile");
    QTest::addColumn<QStringList>("program");

    const QString exe = QStringLiteral("/opt/vemo/vemotool");
    const QString sim = QStringLiteral("SIMFILE"); // replaced by the real file

    QTest::newRow("nothing") << QStringList{exe} << QString() << QString() << QString() << QString()
                             << QStringList{exe};
    QTest::newRow("usb sim") << QStringList{exe, "--usb=sim"} << "sim" << QString() << QString()
                             << QString() << QStringList{exe};
    QTest::newRow("usb libusb") << QStringList{exe, "--usb=libusb"} << "libusb" << QString()
                                << QString() << QString() << QStringList{exe};
    QTest::newRow("sim implies usb=sim") << QStringList{exe, "--sim=" + sim} << "sim" << sim
                                         << QString() << QString() << QStringList{exe};
    QTest::newRow("sim with usb=sim") << QStringList{exe, "--usb=sim", "--sim=" + sim} << "sim"
                                      << sim << QString() << QString() << QStringList{exe};
    QTest::newRow("registry") << QStringList{exe, "--registry=/tmp/r.json"} << QString()
                              << QString() << "/tmp/r.json" << QString() << QStringList{exe};
    QTest::newRow("log file") << QStringList{exe, "--log-file=run.log"} << QString() << QString()
                              << QString() << "run.log" << QStringList{exe};
    QTest::newRow("log to stdout") << QStringList{exe, "--log-file=-"} << QString() << QString()
                                   << QString() << "-" << QStringList{exe};
    QTest::newRow("a later value wins")
        << QStringList{exe, "--log-file=a", "--log-file=b"} << QString() << QString() << QString()
        << "b" << QStringList{exe};
    QTest::newRow("serial run after options")
        << QStringList{exe, "--usb=sim", "/SERIAL123456789"} << "sim" << QString() << QString()
        << QString() << QStringList{exe, "/SERIAL123456789"};
    QTest::newRow("firmware and calibrate")
        << QStringList{exe, "--log-file=-", "vemo2.bin", "/CALIBRATE"} << QString() << QString()
        << QString() << "-" << QStringList{exe, "vemo2.bin", "/CALIBRATE"};
    QTest::newRow("stops at the first non-option")
        << QStringList{exe, "vemo2.bin", "--usb=libusb", "--bogus"} << QString() << QString()
        << QString() << QString() << QStringList{exe, "vemo2.bin", "--usb=libusb", "--bogus"};
    QTest::newRow("a file after -- may begin with a dash")
        << QStringList{exe, "--", "-vemo2.bin"} << QString() << QString() << QString() << QString()
        << QStringList{exe, "-vemo2.bin"};
    QTest::newRow("lone -- ends the options")
        << QStringList{exe, "--registry=r", "--", "--help", "/CALIBRATE"} << QString() << QString()
        << "r" << QString() << QStringList{exe, "--help", "/CALIBRATE"};
    QTest::newRow("-- as the last argument") << QStringList{exe, "--"} << QString() << QString()
                                             << QString() << QString() << QStringList{exe};
}

void TestProgramOptions::parse()
{
    QFETCH(QStringList, line);
    QFETCH(QString, usb);
    QFETCH(QString, sim);
    QFETCH(QString, registry);
    QFETCH(QString, logFile);
    QFETCH(QStringList, program);

    for (QString &arg : line)
        arg.replace(QLatin1String("SIMFILE"), FSimFile);
    sim.replace(QLatin1String("SIMFILE"), FSimFile);

    const ProgramOptions options = ProgramOptions::parse(line);
    QCOMPARE(options.action, ProgramOptions::Action::Run);
    QVERIFY(options.errorMessage.isEmpty());
    QCOMPARE(options.usbBackend, usb);
    QCOMPARE(options.simFile, sim);
    QCOMPARE(options.registryFile, registry);
    QCOMPARE(options.logFile, logFile);
    QCOMPARE(options.programArguments, program);
}

void TestProgramOptions::errors_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QString>("named"); // what the message must name

    QTest::newRow("unknown option") << QStringList{"--frobnicate"} << "--frobnicate";
    QTest::newRow("unknown with value") << QStringList{"--speed=9"} << "--speed";
    QTest::newRow("bad usb value") << QStringList{"--usb=foo"} << "foo";
    QTest::newRow("usb without value") << QStringList{"--usb"} << "--usb";
    QTest::newRow("usb empty value") << QStringList{"--usb="} << "--usb";
    QTest::newRow("usb in capitals") << QStringList{"--usb=SIM"} << "SIM";
    QTest::newRow("sim without value") << QStringList{"--sim"} << "--sim";
    QTest::newRow("sim missing file")
        << QStringList{"--sim=/no/such/devices.json"} << "/no/such/devices.json";
    QTest::newRow("sim is a folder") << QStringList{"--sim=/tmp"} << "/tmp";
    QTest::newRow("sim with libusb") << QStringList{"--usb=libusb", "--sim=SIMFILE"} << "--sim";
    QTest::newRow("libusb after sim") << QStringList{"--sim=SIMFILE", "--usb=libusb"} << "--sim";
    QTest::newRow("registry without value") << QStringList{"--registry"} << "--registry";
    QTest::newRow("log file without value") << QStringList{"--log-file"} << "--log-file";
    QTest::newRow("help with a value") << QStringList{"--help=yes"} << "--help";
    QTest::newRow("firmware server without value")
        << QStringList{"--firmware-server"} << "--firmware-server";
    QTest::newRow("firmware server over ftp")
        << QStringList{"--firmware-server=ftp://www.orvik.example"} << "ftp://www.orvik.example";
    QTest::newRow("firmware server without scheme")
        << QStringList{"--firmware-server=www.orvik.example"} << "--firmware-server";
    QTest::newRow("firmware server without host")
        << QStringList{"--firmware-server=http://"} << "--firmware-server";
    QTest::newRow("firmware server with a path")
        << QStringList{"--firmware-server=http://www.orvik.example/orvik"} << "/orvik";
    QTest::newRow("firmware server with a query")
        << QStringList{"--firmware-server=http://www.orvik.example?a=1"} << "a=1";
    QTest::newRow("firmware server with a user")
        << QStringList{"--firmware-server=http://me@www.orvik.example"} << "me@";
    QTest::newRow("firmware server on port 0")
        << QStringList{"--firmware-server=http://www.orvik.example:0"} << "port";
    QTest::newRow("firmware server on port 70000")
        << QStringList{"--firmware-server=http://www.orvik.example:70000"} << "70000";
    QTest::newRow("firmware server with a blank")
        << QStringList{"--firmware-server=http://www.orvik .example"} << "--firmware-server";
    // One dash is an option too, never a firmware file.
    QTest::newRow("single-dash option") << QStringList{"-x"} << "-x";
    QTest::newRow("-v") << QStringList{"-v"} << "-v";
    QTest::newRow("lone dash") << QStringList{"-"} << "option -";
    QTest::newRow("batch with a value") << QStringList{"--batch=yes"} << "--batch";
    QTest::newRow("force with a value") << QStringList{"--force=yes"} << "--force";
    QTest::newRow("verify with a value") << QStringList{"--verify=2.11"} << "--verify";
    QTest::newRow("expect-version without value")
        << QStringList{"--expect-version"} << "--expect-version";
    QTest::newRow("expect-version of two words")
        << QStringList{"--expect-version=V 2.11"} << "'V 2.11'";
    // Only a version is one: digits and dots, a V in front at most.
    QTest::newRow("expect-version a word of the answer")
        << QStringList{"--expect-version=firmware"} << "'firmware'";
    QTest::newRow("expect-version the device's name")
        << QStringList{"--expect-version=Vemo2"} << "'Vemo2'";
    QTest::newRow("expect-version the name without its V")
        << QStringList{"--expect-version=emo2"} << "'emo2'";
    QTest::newRow("expect-version a V alone") << QStringList{"--expect-version=V"} << "'V'";
    QTest::newRow("expect-version a pattern") << QStringList{"--expect-version=.*"} << "'.*'";
    QTest::newRow("expect-version two dots") << QStringList{"--expect-version=2..11"} << "'2..11'";
    QTest::newRow("expect-version ending in a dot") << QStringList{"--expect-version=2."} << "'2.'";
    QTest::newRow("expect-version a tab")
        << QStringList{"--expect-version=\t"} << "--expect-version: '\\t'";
    QTest::newRow("expect-version a line break")
        << QStringList{"--expect-version=2.11\n"} << "--expect-version: '2.11\\n'";
    QTest::newRow("expect-version of 20000 digits")
        << QStringList{"--expect-version=" + QString(20000, QLatin1Char('1'))}
        << "--expect-version: '11111111111111111111111111111111...'";
    QTest::newRow("timeout without value") << QStringList{"--timeout"} << "--timeout";
    QTest::newRow("timeout of 0") << QStringList{"--timeout=0"} << "'0'";
    QTest::newRow("timeout not a number") << QStringList{"--timeout=10s"} << "10s";
    QTest::newRow("timeout over a day") << QStringList{"--timeout=86401"} << "86401";
    QTest::newRow("capture without value") << QStringList{"--capture"} << "--capture";
    // A capture on standard output shares it with nothing.
    QTest::newRow("capture and log both on standard output")
        << QStringList{"--capture=-", "--log-file=-"} << "--capture";
    QTest::newRow("log and capture both on standard output")
        << QStringList{"--log-file=-", "--capture=-"} << "--capture";
    QTest::newRow("device without value") << QStringList{"--device"} << "--device";
    QTest::newRow("device of blanks") << QStringList{"--device=  "} << "--device";
    QTest::newRow("device with list") << QStringList{"--device=1-2", "--list"} << "--device";
    QTest::newRow("record without value") << QStringList{"--record"} << "--record";
    QTest::newRow("record with an empty value") << QStringList{"--record="} << "--record";
    QTest::newRow("record with list") << QStringList{"--record=r.jsonl", "--list"} << "--record";
    QTest::newRow("json without list") << QStringList{"--json"} << "--json";
    QTest::newRow("list with a value") << QStringList{"--list=all"} << "--list";
    QTest::newRow("json with a value") << QStringList{"--list", "--json=yes"} << "--json";
    // errors() puts a firmware file after the options: nothing would run it.
    QTest::newRow("list with a production line") << QStringList{"--list"} << "vemo2.bin";
    QTest::newRow("events without value") << QStringList{"--events"} << "--events";
    QTest::newRow("events and log both on standard output")
        << QStringList{"--log-file=-", "--events=-"} << "--events";
    QTest::newRow("station with a value") << QStringList{"--station=yes"} << "--station";
    QTest::newRow("auto without station") << QStringList{"--auto"} << "--auto";
    QTest::newRow("calibrate without station") << QStringList{"--calibrate"} << "--calibrate";
    QTest::newRow("image without station") << QStringList{"--image=Vemo2=SIMFILE"} << "--image";
    // errors() puts a firmware file after the options: the station takes none.
    QTest::newRow("station with a production line") << QStringList{"--station"} << "vemo2.bin";
    QTest::newRow("error before a valid option") << QStringList{"--nope", "--usb=sim"} << "--nope";
    QTest::newRow("error after a valid option") << QStringList{"--usb=sim", "--nope"} << "--nope";
}

void TestProgramOptions::errors()
{
    QFETCH(QStringList, options);
    QFETCH(QString, named);

    QStringList line{QStringLiteral("vemotool")};
    for (QString arg : options)
        line << arg.replace(QLatin1String("SIMFILE"), FSimFile);
    line << QStringLiteral("vemo2.bin");

    const ProgramOptions parsed = ProgramOptions::parse(line);
    QCOMPARE(parsed.action, ProgramOptions::Action::Error);
    QVERIFY2(parsed.errorMessage.contains(named), qPrintable(parsed.errorMessage));
    QVERIFY(parsed.errorMessage.startsWith(QLatin1String("vemotool: ")));
    QVERIFY(!parsed.errorMessage.contains(QLatin1Char('\n')));
    for (const QChar c : parsed.errorMessage)
        QVERIFY2(c.unicode() >= 0x20, qPrintable(parsed.errorMessage));
    QVERIFY(parsed.errorMessage.size() < 300);
    QCOMPARE(ProgramOptions::ErrorExitCode, 2);
}

void TestProgramOptions::expectVersion_data()
{
    QTest::addColumn<QString>("value");
    QTest::newRow("digits and dots") << "2.11";
    QTest::newRow("with its V") << "V2.11";
    QTest::newRow("with a v in lower case") << "v2.11";
    QTest::newRow("one number") << "3";
    QTest::newRow("three parts") << "1.4.7";
}

// A version is taken as given, and implies the check after the update.
void TestProgramOptions::expectVersion()
{
    QFETCH(QString, value);
    const ProgramOptions options = ProgramOptions::parse(
        {QStringLiteral("vemotool"), QStringLiteral("--expect-version=") + value});
    QCOMPARE(options.action, ProgramOptions::Action::Run);
    QCOMPARE(options.expectVersion, value);
    QVERIFY(options.verify);
}

void TestProgramOptions::helpAndVersionEndParsing_data()
{
    QTest::addColumn<QStringList>("line");
    QTest::addColumn<ProgramOptions::Action>("action");

    QTest::newRow("help") << QStringList{"x", "--help"} << ProgramOptions::Action::Help;
    QTest::newRow("version") << QStringList{"x", "--version"} << ProgramOptions::Action::Version;
    QTest::newRow("help after options")
        << QStringList{"x", "--usb=sim", "--help"} << ProgramOptions::Action::Help;
    QTest::newRow("first one wins")
        << QStringList{"x", "--version", "--help"} << ProgramOptions::Action::Version;
    QTest::newRow("later errors are not looked at")
        << QStringList{"x", "--help", "--usb=foo"} << ProgramOptions::Action::Help;
    QTest::newRow("help as a program argument")
        << QStringList{"x", "vemo.bin", "--help"} << ProgramOptions::Action::Run;
    QTest::newRow("-h") << QStringList{"x", "-h", "vemo.bin"} << ProgramOptions::Action::Help;
    QTest::newRow("-V") << QStringList{"x", "--batch", "-V"} << ProgramOptions::Action::Version;
}

void TestProgramOptions::helpAndVersionEndParsing()
{
    QFETCH(QStringList, line);
    QFETCH(ProgramOptions::Action, action);
    QCOMPARE(ProgramOptions::parse(line).action, action);
}

void TestProgramOptions::batchAndTimeout_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<bool>("batch");
    QTest::addColumn<int>("timeout");

    QTest::newRow("neither") << QStringList() << false << 0;
    QTest::newRow("batch: ten minutes") << QStringList{"--batch"} << true << 600;
    QTest::newRow("batch with its own time-out")
        << QStringList{"--timeout=5", "--batch"} << true << 5;
    QTest::newRow("time-out alone") << QStringList{"--timeout=86400"} << false << 86400;
}

void TestProgramOptions::batchAndTimeout()
{
    QFETCH(QStringList, options);
    QFETCH(bool, batch);
    QFETCH(int, timeout);
    const ProgramOptions parsed =
        ProgramOptions::parse(QStringList{"vemotool"} + options + QStringList{"vemo2.bin"});
    QCOMPARE(parsed.action, ProgramOptions::Action::Run);
    QCOMPARE(parsed.batch, batch);
    QCOMPARE(parsed.timeoutSeconds, timeout);
    QCOMPARE(parsed.programArguments, QStringList({"vemotool", "vemo2.bin"}));
}

void TestProgramOptions::runChecks_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<bool>("force");
    QTest::addColumn<bool>("verify");
    QTest::addColumn<QString>("expectVersion");

    QTest::newRow("none") << QStringList() << false << false << "";
    QTest::newRow("force") << QStringList{"--force"} << true << false << "";
    QTest::newRow("verify") << QStringList{"--batch", "--verify"} << false << true << "";
    // An expected version is checked after the update: it implies --verify.
    QTest::newRow("expected version")
        << QStringList{"--expect-version=2.11"} << false << true << "2.11";
    QTest::newRow("all three") << QStringList{"--verify", "--force", "--expect-version=V3.06"}
                               << true << true << "V3.06";
}

void TestProgramOptions::runChecks()
{
    QFETCH(QStringList, options);
    QFETCH(bool, force);
    QFETCH(bool, verify);
    QFETCH(QString, expectVersion);
    const ProgramOptions parsed =
        ProgramOptions::parse(QStringList{"vemotool"} + options + QStringList{"vemo2.bin"});
    QCOMPARE(parsed.action, ProgramOptions::Action::Run);
    QCOMPARE(parsed.force, force);
    QCOMPARE(parsed.verify, verify);
    QCOMPARE(parsed.expectVersion, expectVersion);
    QCOMPARE(parsed.programArguments, QStringList({"vemotool", "vemo2.bin"}));
}

void TestProgramOptions::usageDocumentsEveryOption()
{
    const QString usage = ProgramOptions::usage(QStringLiteral("vemotool"));
    for (const char *text : {"--usb=sim|libusb",
                             "--sim=FILE",
                             "--registry=FILE",
                             "--log-file=FILE",
                             "--firmware-server=URL",
                             "--print-to=DIR",
                             "--capture=FILE",
                             "--batch",
                             "--timeout=SECONDS",
                             "--verify",
                             "--expect-version=V",
                             "--force",
                             "run ended: 0 done",
                             "--list",
                             "--json",
                             "--device=SERIAL|PATH",
                             "--events=FILE",
                             "--station",
                             "--image=GEN=FILE",
                             "--auto",
                             "--calibrate",
                             "-h, --help",
                             "-V, --version",
                             "/SERIAL",
                             "/CALIBRATE",
                             "FIRMWARE-FILE"})
        QVERIFY2(usage.contains(QLatin1String(text)), text);
    QCOMPARE(ProgramOptions::versionText(), QStringLiteral("vemotool " VEMO_PROJECT_VERSION));
}

void TestProgramOptions::firmwareServer_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QString>("server");

    QTest::newRow("default: the maker's host") << QStringList() << "http://www.orvik.example";
    QTest::newRow("http with a port")
        << QStringList{"--firmware-server=http://127.0.0.1:8080"} << "http://127.0.0.1:8080";
    QTest::newRow("https") << QStringList{"--firmware-server=https://firmware.orvik.example"}
                           << "https://firmware.orvik.example";
    QTest::newRow("ending in a slash") << QStringList{"--firmware-server=http://www.orvik.example/"}
                                       << "http://www.orvik.example/";
    QTest::newRow("IPv6 address") << QStringList{"--firmware-server=http://[::1]:8080"}
                                  << "http://[::1]:8080";
    QTest::newRow("a later value wins")
        << QStringList{"--firmware-server=http://a.example", "--firmware-server=http://b.example"}
        << "http://b.example";
}

void TestProgramOptions::firmwareServer()
{
    QFETCH(QStringList, options);
    QFETCH(QString, server);

    const ProgramOptions parsed =
        ProgramOptions::parse(QStringList{"vemotool"} + options + QStringList{"vemo2.bin"});
    QCOMPARE(parsed.action, ProgramOptions::Action::Run);
    QCOMPARE(parsed.firmwareServer, server);
    QCOMPARE(parsed.programArguments, QStringList({"vemotool", "vemo2.bin"}));
}

void TestProgramOptions::printTo_data()
{
    QTest::addColumn<QString>("folder"); // "TMP/" stands for the test's own folder
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<bool>("needsUnprivileged"); // root may write anywhere

    QTest::newRow("writable folder") << "TMP/" << true << false;
    QTest::newRow("relative folder") << "." << true << false;
    QTest::newRow("missing folder") << "TMP/no-such-folder" << false << false;
    QTest::newRow("a file, not a folder") << "TMP/devices.json" << false << false;
    QTest::newRow("empty") << "" << false << false;
    QTest::newRow("read-only folder") << "TMP/read-only" << false << true;
}

void TestProgramOptions::printTo()
{
    QFETCH(QString, folder);
    QFETCH(bool, accepted);
    QFETCH(bool, needsUnprivileged);

    if (needsUnprivileged && ::geteuid() == 0)
        QSKIP("root may write into any folder");
    const QString readOnly = path(QStringLiteral("read-only"));
    QVERIFY(QDir().mkpath(readOnly));
    QVERIFY(QFile::setPermissions(readOnly, QFile::ReadOwner | QFile::ExeOwner));
    folder.replace(QLatin1String("TMP/"), FDir.path() + QLatin1Char('/'));

    const ProgramOptions options =
        ProgramOptions::parse({QStringLiteral("vemotool"), QStringLiteral("--print-to=") + folder,
                               QStringLiteral("x.bin")});
    if (accepted) {
        QCOMPARE(options.action, ProgramOptions::Action::Run);
        QCOMPARE(options.printTo, QFileInfo(folder).absoluteFilePath());
        QVERIFY(QFileInfo(options.printTo).isAbsolute());
        QCOMPARE(options.programArguments, (QStringList{"vemotool", "x.bin"}));
    } else {
        QCOMPARE(options.action, ProgramOptions::Action::Error);
        QVERIFY2(options.errorMessage.startsWith(QLatin1String("vemotool: ")) &&
                     options.errorMessage.contains(QLatin1String("--print-to")),
                 qPrintable(options.errorMessage));
        if (!folder.isEmpty())
            QVERIFY2(options.errorMessage.contains(folder), qPrintable(options.errorMessage));
        QVERIFY(options.printTo.isEmpty());
    }
}

void TestProgramOptions::capture_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QString>("captureFile");
    QTest::addColumn<QString>("logFile");

    QTest::newRow("no capture") << QStringList{} << QString() << QString();
    QTest::newRow("a file") << QStringList{"--capture=usb.pcap"} << "usb.pcap" << QString();
    QTest::newRow("standard output") << QStringList{"--capture=-"} << "-" << QString();
    QTest::newRow("standard output, the log into a file")
        << QStringList{"--capture=-", "--log-file=run.log"} << "-"
        << "run.log";
    QTest::newRow("a file, the log on standard output")
        << QStringList{"--log-file=-", "--capture=usb.pcap"} << "usb.pcap"
        << "-";
}

void TestProgramOptions::capture()
{
    QFETCH(QStringList, options);
    QFETCH(QString, captureFile);
    QFETCH(QString, logFile);

    const ProgramOptions parsed =
        ProgramOptions::parse(QStringList{"vemotool"} + options + QStringList{"vemo2.bin"});
    QCOMPARE(parsed.action, ProgramOptions::Action::Run);
    QCOMPARE(parsed.captureFile, captureFile);
    QCOMPARE(parsed.logFile, logFile);
    QCOMPARE(parsed.programArguments, (QStringList{"vemotool", "vemo2.bin"}));
}

void TestProgramOptions::list_data()
{
    QTest::addColumn<QStringList>("line");
    QTest::addColumn<ProgramOptions::Action>("action");
    QTest::addColumn<bool>("json");

    QTest::newRow("list") << QStringList{"x", "--list"} << ProgramOptions::Action::List << false;
    QTest::newRow("list as json") << QStringList{"x", "--list", "--json"}
                                  << ProgramOptions::Action::List << true;
    QTest::newRow("json first") << QStringList{"x", "--json", "--usb=sim", "--list"}
                                << ProgramOptions::Action::List << true;
    QTest::newRow("list after --")
        << QStringList{"x", "--", "--list"} << ProgramOptions::Action::Run << false;
    QTest::newRow("help wins") << QStringList{"x", "--list", "--help"}
                               << ProgramOptions::Action::Help << false;
}

void TestProgramOptions::list()
{
    QFETCH(QStringList, line);
    QFETCH(ProgramOptions::Action, action);
    QFETCH(bool, json);
    const ProgramOptions parsed = ProgramOptions::parse(line);
    QCOMPARE(parsed.action, action);
    QCOMPARE(parsed.json, json);
}

void TestProgramOptions::device_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QString>("device");
    QTest::newRow("none") << QStringList{} << QString();
    QTest::newRow("a serial number") << QStringList{"--device=V30000017"} << "V30000017";
    QTest::newRow("a bus path") << QStringList{"--device=1-1.2"} << "1-1.2";
    QTest::newRow("blanks around it") << QStringList{"--device= 1-3 "} << "1-3";
    QTest::newRow("the later one") << QStringList{"--device=1-2", "--device=2-1"} << "2-1";
}

void TestProgramOptions::device()
{
    QFETCH(QStringList, options);
    QFETCH(QString, device);
    const ProgramOptions parsed =
        ProgramOptions::parse(QStringList{"vemotool"} + options + QStringList{"vemo2.bin"});
    QCOMPARE(parsed.action, ProgramOptions::Action::Run);
    QCOMPARE(parsed.device, device);
    QCOMPARE(parsed.programArguments, QStringList({"vemotool", "vemo2.bin"}));
}

void TestProgramOptions::station_data()
{
    QTest::addColumn<QStringList>("options"); // "IMAGE" is an image file, "TMP/" the folder
    QTest::addColumn<QString>("error");       // empty: a station
    QTest::addColumn<QStringList>("images");  // GEN=file as parsed
    QTest::addColumn<bool>("autoStart");
    QTest::addColumn<bool>("calibrate");

    QTest::newRow("the window, no image yet")
        << QStringList{"--station"} << QString() << QStringList{} << false << false;
    QTest::newRow("images, any letter case")
        << QStringList{"--station", "--image=vemo2=IMAGE", "--image=VEMO3=IMAGE"} << QString()
        << QStringList{"Vemo2=IMAGE", "Vemo3=IMAGE"} << false << false;
    QTest::newRow("headless, auto, calibrated")
        << QStringList{"--station",
                       "--batch",
                       "--auto",
                       "--calibrate",
                       "--image=Vemo=IMAGE",
                       "--print-to=TMP/",
                       "--record=TMP/r.jsonl",
                       "--expect-version=2.11"}
        << QString() << QStringList{"Vemo=IMAGE"} << true << true;
    QTest::newRow("headless without an image")
        << QStringList{"--station", "--batch"}
        << "vemotool: option --station with --batch needs an image: --image=GENERATION=FILE"
        << QStringList{} << false << false;
    QTest::newRow("a generation that is none")
        << QStringList{"--station", "--image=Vemo9=IMAGE"}
        << "vemotool: bad value for --image: 'Vemo9=IMAGE' (GENERATION=FILE, the generation "
           "Vemo, Vemo2 or Vemo3)"
        << QStringList{} << false << false;
    QTest::newRow("no file") << QStringList{"--station", "--image=Vemo2="} << "*" << QStringList{}
                             << false << false;
    QTest::newRow("a missing image") << QStringList{"--station", "--image=Vemo2=TMP/missing.bin"}
                                     << "*" << QStringList{} << false << false;
    QTest::newRow("a folder for an image")
        << QStringList{"--station", "--image=Vemo2=TMP/"} << "*" << QStringList{} << false << false;
    QTest::newRow("a generation twice")
        << QStringList{"--station", "--image=Vemo2=IMAGE", "--image=VEMO2=IMAGE"}
        << "vemotool: bad value for --image: Vemo2 is given an image twice" << QStringList{}
        << false << false;
    QTest::newRow("a device") << QStringList{"--station", "--device=1-2"}
                              << "vemotool: option --device does not go with --station: each "
                                 "run has its own"
                              << QStringList{} << false << false;
    QTest::newRow("a log file") << QStringList{"--station", "--log-file=-"}
                                << "vemotool: option --log-file does not go with --station: each "
                                   "run has its own"
                                << QStringList{} << false << false;
    QTest::newRow("a capture") << QStringList{"--station", "--capture=TMP/c.pcap"}
                               << "vemotool: option --capture does not go with --station: each "
                                  "run has its own"
                               << QStringList{} << false << false;
    QTest::newRow("with --list") << QStringList{"--station", "--list"}
                                 << "vemotool: option --station does not go with --list"
                                 << QStringList{} << false << false;
}

void TestProgramOptions::station()
{
    QFETCH(QStringList, options);
    QFETCH(QString, error);
    QFETCH(QStringList, images);
    QFETCH(bool, autoStart);
    QFETCH(bool, calibrate);
    const QString image = path(QStringLiteral("vemo2.bin"));
    QFile file(image);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("image");
    file.close();
    for (QString &option : options)
        option.replace(QLatin1String("IMAGE"), image)
            .replace(QLatin1String("TMP/"), FDir.path() + QLatin1Char('/'));
    const ProgramOptions parsed = ProgramOptions::parse(QStringList{"vemotool"} + options);
    if (!error.isEmpty()) {
        QCOMPARE(parsed.action, ProgramOptions::Action::Error);
        error.replace(QLatin1String("IMAGE"), image);
        if (error == QLatin1String("*"))
            QVERIFY2(
                parsed.errorMessage.startsWith(QLatin1String("vemotool: bad value for --image: ")),
                qPrintable(parsed.errorMessage));
        else
            QCOMPARE(parsed.errorMessage, error);
        return;
    }
    QCOMPARE(parsed.action, ProgramOptions::Action::Station);
    QVERIFY(parsed.station);
    QStringList given;
    for (const ProgramOptions::GenerationImage &one : parsed.images)
        given << one.generation + QLatin1Char('=') + one.file;
    for (QString &one : images)
        one.replace(QLatin1String("IMAGE"), QFileInfo(image).absoluteFilePath());
    QCOMPARE(given, images);
    QCOMPARE(parsed.autoStart, autoStart);
    QCOMPARE(parsed.calibrate, calibrate);
}

void TestProgramOptions::executable_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("stdoutHas");
    QTest::addColumn<QString>("stderrHas");
    QTest::addColumn<QString>("defaultStore"); // VEMO_REGISTRY; empty: as the system has it

    // "TMP/" stands for the test's own folder.
    QTest::newRow("--help") << QStringList{"--help"} << 0 << "--log-file=FILE" << QString()
                            << QString();
    QTest::newRow("--version") << QStringList{"--version"} << 0 << "vemotool 1.4.7.2\n"
                               << QString() << QString();
    QTest::newRow("-h") << QStringList{"-h"} << 0 << "--log-file=FILE" << QString() << QString();
    QTest::newRow("-V") << QStringList{"-V"} << 0 << "vemotool 1.4.7.2\n" << QString() << QString();
    QTest::newRow("unknown option")
        << QStringList{"--colour=blue", "vemo.bin"} << 2 << QString() << "--colour" << QString();
    QTest::newRow("-v is no file") << QStringList{"-v"} << 2 << QString() << "-v" << QString();
    // Without a display only an unattended run can start.
    QTest::newRow("no display") << QStringList{"--registry=TMP/display.json", "vemo2.bin"} << 2
                                << QString() << "display" << QString();
    // The run's last line names its status, on standard error and in the log.
    QTest::newRow("batch needs no display")
        << QStringList{"--batch", "--registry=TMP/batch.json", "--log-file=-"} << 0
        << "No Vemo detected, be shure Vemo is connected and latest driver is "
           "installed!!\nrun ended: 0 done\n"
        << "run ended: 0 done\n"
        << QString();
    QTest::newRow("bad usb") << QStringList{"--usb=foo"} << 2 << QString() << "foo" << QString();
    // Refused before any device is looked at, not after the image is in.
    QTest::newRow("expect-version that is no version")
        << QStringList{"--batch", "--expect-version=Vemo2", "vemo2.bin"} << 2 << QString()
        << "bad value for --expect-version: 'Vemo2'" << QString();
    QTest::newRow("bad firmware server") << QStringList{"--firmware-server=ftp://x.example"} << 2
                                         << QString() << "--firmware-server" << QString();
    QTest::newRow("sim without value")
        << QStringList{"--sim"} << 2 << QString() << "--sim" << QString();
    QTest::newRow("missing sim file") << QStringList{"--sim=/no/such/vemo.json"} << 2 << QString()
                                      << "/no/such/vemo.json" << QString();
    QTest::newRow("print-to a missing folder") << QStringList{"--print-to=TMP/no-such-folder"} << 2
                                               << QString() << "--print-to" << QString();
    QTest::newRow("log file in a missing folder")
        << QStringList{"--log-file=/no/such/folder/run.log"} << 2 << QString() << "--log-file"
        << QString();
    // A capture file that cannot be created, before any device is looked at.
    QTest::newRow("capture in a missing folder")
        << QStringList{"--batch", "--registry=TMP/capture.json",
                       "--capture=TMP/no-such-folder/usb.pcap"}
        << 2 << QString() << "--capture" << QString();
    QTest::newRow("capture into a folder")
        << QStringList{"--batch", "--registry=TMP/capture.json", "--capture=TMP/"} << 2 << QString()
        << "--capture" << QString();
    // A key store that cannot be read is refused before the window would
    // stop at its first registry access.
    QTest::newRow("registry is a folder")
        << QStringList{"--registry=TMP/"} << 2 << QString() << "--registry" << QString();
    QTest::newRow("broken registry file") << QStringList{"--registry=TMP/broken-registry.json"} << 2
                                          << QString() << "TMP/broken-registry.json" << QString();
    QTest::newRow("broken default store")
        << QStringList{} << 2 << QString() << "TMP/broken-registry.json"
        << "TMP/broken-registry.json";
}

void TestProgramOptions::executable()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, stdoutHas);
    QFETCH(QString, stderrHas);
    QFETCH(QString, defaultStore);

    const QString tmp = FDir.path() + QLatin1Char('/');
    for (QString &argument : arguments)
        argument.replace(QLatin1String("TMP/"), tmp);
    stderrHas.replace(QLatin1String("TMP/"), tmp);
    defaultStore.replace(QLatin1String("TMP/"), tmp);

    // None of these lines may need a display.
    ToolProcess::Setup setup;
    setup.keyStore = defaultStore;
    const ToolProcess::Result ended = ToolProcess::run(arguments, setup);
    QVERIFY(ended.finished);
    const QString out = QString::fromLocal8Bit(ended.out);
    const QString err = QString::fromLocal8Bit(ended.err);
    QVERIFY(!ended.crashed);
    QCOMPARE(ended.exitCode, exitCode);
    if (!stdoutHas.isEmpty())
        QVERIFY2(out.contains(stdoutHas), qPrintable(out));
    if (exitCode == 2) {
        QVERIFY(out.isEmpty());
        QVERIFY2(err.contains(stderrHas), qPrintable(err));
        QCOMPARE(err.count(QLatin1Char('\n')), 1); // one line
    } else {
        QCOMPARE(err, stderrHas);
    }
}

void TestProgramOptions::executableRejectsBrokenSimFile()
{
    const QString broken = path(QStringLiteral("broken.json"));
    QFile file(broken);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("{ \"devices\": [ this is not json");
    file.close();

    ToolProcess::Setup setup;
    setup.display = ToolProcess::Display::Offscreen;
    setup.keyStore = path(QStringLiteral("registry.json"));
    const ToolProcess::Result ended = ToolProcess::run({QStringLiteral("--sim=") + broken}, setup);
    QCOMPARE(ended.status(), 2);
    const QString err = QString::fromLocal8Bit(ended.err);
    QVERIFY2(err.contains(QLatin1String("--sim")) && err.contains(broken), qPrintable(err));
}

void TestProgramOptions::executableStartsOnSimulatedVemo2_data()
{
    QTest::addColumn<bool>("toStdout");
    QTest::newRow("log file") << false;
    QTest::newRow("standard output") << true;
}

void TestProgramOptions::executableStartsOnSimulatedVemo2()
{
    QFETCH(bool, toStdout);

    const QString sim = path(QStringLiteral("vemo2.json"));
    QFile simFile(sim);
    QVERIFY(simFile.open(QIODevice::WriteOnly));
    simFile.write(R"({ "devices": [ { "generation": "Vemo2", "serial": "000004711" } ] })");
    simFile.close();
    const QString registry = path(QStringLiteral("run-registry-%1.json").arg(toStdout));
    const QString logPath = path(QStringLiteral("run-%1.log").arg(toStdout));
    const QString workDir = path(QString());

    ToolProcess child;
    QProcess &process = child.process();
    ToolProcess::Setup setup;
    setup.display = ToolProcess::Display::Offscreen;
    setup.workingDirectory = workDir;
    child.start(setup,
                {QStringLiteral("--sim=") + sim, QStringLiteral("--registry=") + registry,
                 QStringLiteral("--log-file=") + (toStdout ? QStringLiteral("-") : logPath)});
    QVERIFY(process.waitForStarted(30000));

    // The program runs until it is closed; the typical start-up log of one
    // Vemo2 arrives line by line as it is written.
    const QStringList expected{"Vemo USB driver not installed",  "Vemo2 USB driver installed",
                               "Vemo3 USB driver not installed", "Vemo2 found",
                               "PnPNotification enabled",        QDir(workDir).absolutePath()};
    QByteArray written;
    const auto lines = [&] {
        if (toStdout) {
            written += process.readAllStandardOutput();
        } else {
            QFile log(logPath);
            written = log.open(QIODevice::ReadOnly) ? log.readAll() : QByteArray();
        }
        return QString::fromUtf8(written).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    };
    QTRY_COMPARE_WITH_TIMEOUT(lines(), expected, 30000);
    QCOMPARE(process.state(), QProcess::Running);
    process.kill();
    QVERIFY(process.waitForFinished(30000));

    // The program recorded its own full path.
    const registry::KeyStore store(registry);
    QCOMPARE(store.readString(registry::RootKey::LocalMachine,
                              QStringLiteral("Software\\ORVIK\\Vemo"),
                              QStringLiteral("VemoUSBDemo")),
             QFileInfo(ToolProcess::vemotool()).canonicalFilePath());
}

QTEST_GUILESS_MAIN(TestProgramOptions)
#include "tst_programoptions.moc"
