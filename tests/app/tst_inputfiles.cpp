#include "tests/support/TestBytes.h"
#include "tests/support/ToolProcess.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

// The files a run reads and writes by name, as the program meets them from
// outside: a separate --batch process with --timeout=5. What is not a
// regular file (a FIFO blocks its open for ever, before any time-out runs; a
// device never ends) and a file larger than its bound (read whole into
// memory) are refused at once with one line naming the file and why; an
// output that is an input or another output is refused before anything is
// opened for writing; and a copy of the message log or a capture of the
// traffic that cannot be kept is said once and fails the run, never lost
// without a word.
class TestInputFiles : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void refusedBeforeTheRun_data();
    void refusedBeforeTheRun();
    void firmwareFileRefused_data();
    void firmwareFileRefused();
    void logFileThatCannotBeWritten_data();
    void logFileThatCannotBeWritten();
    void logFileLostDuringTheRun_data();
    void logFileLostDuringTheRun();
    void outputOverAnInput_data();
    void outputOverAnInput();
    void captureLost_data();
    void captureLost();

private:
    struct Result
    {
        bool finished = false;
        int exitCode = -1;
        QStringList standardError;
    };
    QString path(const QString &name) const { return m_dir->filePath(name); }
    // Makes what a row names: "fifo", "sparse BYTES", "file" (a small
    // regular file), a /dev/ path as it is, "none". Its path.
    QString make(const QString &name, const QString &what);
    // A simulator file with no device, or with one quick Vemo2.
    QString simFile(bool withDevice);
    // closedPipe: standard output a pipe whose reader has gone.
    void start(ToolProcess &child, const QStringList &arguments, bool closedPipe = false);
    // Waits (never for ever: a blocked run is the fault), killing it then.
    static Result finish(ToolProcess &child);

    std::unique_ptr<QTemporaryDir> m_dir;
};

namespace {

constexpr qint64 MiB = 1024 * 1024;

} // namespace

void TestInputFiles::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
}

QString TestInputFiles::make(const QString &name, const QString &what)
{
    const QString target = path(name);
    if (what.startsWith(QLatin1String("/")))
        return what;
    if (what == QLatin1String("fifo"))
        return ::mkfifo(QFile::encodeName(target).constData(), 0600) == 0 ? target : QString();
    QFile file(target);
    if (!file.open(QIODevice::WriteOnly))
        return QString();
    if (what.startsWith(QLatin1String("sparse ")))
        return file.resize(what.section(QLatin1Char(' '), 1).toLongLong()) ? target : QString();
    if (what == QLatin1String("file"))
        file.write(testBytes(300));
    return target;
}

QString TestInputFiles::simFile(bool withDevice)
{
    const QString sim = path(QStringLiteral("bus.json"));
    QFile file(sim);
    if (!file.open(QIODevice::WriteOnly))
        return QString();
    if (!withDevice) {
        file.write(R"({ "devices": [] })");
        return sim;
    }
    // Its restart takes a second and a half: a run long enough to touch its
    // log file while it goes on.
    file.write(QStringLiteral(R"({ "devices": [ { "id": "line", "generation": "Vemo2",
        "serial": "VX1234567", "restartDelayMs": 1500, "eraseDelayMs": 100,
        "loaderAnnouncesBlank": true, "imageFolder": "%1/images" } ] })")
                   .arg(m_dir->path())
                   .toUtf8());
    return sim;
}

void TestInputFiles::start(ToolProcess &child, const QStringList &arguments, bool closedPipe)
{
    const ToolProcess::Setup setup = ToolProcess::inFolder(m_dir->path());
    const QStringList command =
        QStringList{QStringLiteral("--batch"), QStringLiteral("--timeout=5")} + arguments;
    if (!closedPipe) {
        child.start(setup, command);
        return;
    }
    // "true" reads nothing and ends at once; the shell gives the program's
    // exit status.
    child.start(setup, QStringLiteral("/bin/bash"),
                QStringList{QStringLiteral("-c"), QStringLiteral("set -o pipefail; \"$@\" | true"),
                            QStringLiteral("closed-pipe"), ToolProcess::vemotool()} +
                    command);
}

TestInputFiles::Result TestInputFiles::finish(ToolProcess &child)
{
    // Far less than the time-out and its grace: a refusal comes at once.
    const ToolProcess::Result ended = child.finish(15000);
    Result result;
    result.finished = ended.finished;
    result.exitCode = ended.crashed ? -2 : ended.exitCode;
    result.standardError = ended.errorLines();
    return result;
}

void TestInputFiles::refusedBeforeTheRun_data()
{
    QTest::addColumn<QString>("option"); // the option given FILE
    QTest::addColumn<QString>("what");
    QTest::addColumn<QString>("reason");

    const QString notRegular = QStringLiteral("not a regular file");
    const QString tooLarge = QStringLiteral("larger than 16 MiB");
    QTest::newRow("key store: a device that never ends") << "--registry"
                                                         << "/dev/zero" << notRegular;
    QTest::newRow("key store: a FIFO") << "--registry"
                                       << "fifo" << notRegular;
    QTest::newRow("key store: past its bound")
        << "--registry" << QStringLiteral("sparse %1").arg(16 * MiB + 1) << tooLarge;
    QTest::newRow("simulator: a FIFO") << "--sim"
                                       << "fifo" << notRegular;
    QTest::newRow("simulator: a device that never ends") << "--sim"
                                                         << "/dev/zero" << notRegular;
    QTest::newRow("simulator: a sparse gigabyte")
        << "--sim" << QStringLiteral("sparse %1").arg(1024 * MiB) << tooLarge;
    QTest::newRow("log file: a FIFO with no reader") << "--log-file"
                                                     << "fifo" << notRegular;
    QTest::newRow("log file: a device that takes nothing") << "--log-file"
                                                           << "/dev/full" << notRegular;
    QTest::newRow("log file: a folder") << "--log-file"
                                        << "/tmp"
                                        << "a folder";
    // Nothing can be created there, by root neither.
    QTest::newRow("log file: a folder that takes no file") << "--log-file"
                                                           << "/proc/vemo-test.log"
                                                           << "cannot write";
    QTest::newRow("capture: a FIFO with no reader") << "--capture"
                                                    << "fifo" << notRegular;
    QTest::newRow("capture: a device") << "--capture"
                                       << "/dev/full" << notRegular;
}

void TestInputFiles::refusedBeforeTheRun()
{
    QFETCH(QString, option);
    QFETCH(QString, what);
    QFETCH(QString, reason);

    const QString file = make(QStringLiteral("input"), what);
    QVERIFY(!file.isEmpty());
    QStringList arguments{QStringLiteral("%1=%2").arg(option, file)};
    if (option != QLatin1String("--sim"))
        arguments << QStringLiteral("--sim=") + simFile(false);
    if (option != QLatin1String("--registry"))
        arguments << QStringLiteral("--registry=") + path(QStringLiteral("registry.json"));

    ToolProcess child;
    start(child, arguments);
    const Result result = finish(child);

    QVERIFY2(result.finished, "the run blocked");
    QCOMPARE(result.exitCode, 2);
    // One line, naming the option, the file and why.
    QCOMPARE(result.standardError.size(), 1);
    const QString line = result.standardError.first();
    QVERIFY2(
        line.startsWith(QStringLiteral("vemotool: bad value for ") + option + QLatin1Char(':')),
        qPrintable(line));
    QVERIFY2(line.contains(file) && line.contains(reason), qPrintable(line));
    // Nothing was written where the key store would have been.
    QVERIFY(option == QLatin1String("--registry") ||
            !QFile::exists(path(QStringLiteral("registry.json"))));
}

void TestInputFiles::firmwareFileRefused_data()
{
    QTest::addColumn<QString>("what");
    QTest::addColumn<QString>("reason");

    QTest::newRow("a FIFO") << "fifo"
                            << "Firmware file is not a regular file";
    QTest::newRow("past the bound of an image")
        << QStringLiteral("sparse %1").arg(32 * MiB + 1) << "Firmware file is larger than 32 MiB";
}

void TestInputFiles::firmwareFileRefused()
{
    QFETCH(QString, what);
    QFETCH(QString, reason);

    const QString image = make(QStringLiteral("vemo2.bin"), what);
    QVERIFY(!image.isEmpty());
    ToolProcess child;
    start(child, {QStringLiteral("--sim=") + simFile(true),
                  QStringLiteral("--registry=") + path(QStringLiteral("registry.json")), image});
    const Result result = finish(child);

    QVERIFY2(result.finished, "the run blocked");
    QCOMPARE(result.exitCode, 2);
    // Before the device is sent into its loader: nothing reached it.
    QCOMPARE(result.standardError,
             QStringList{QStringLiteral("run ended: 2 %1: %2").arg(reason, image)});
    QVERIFY(QDir(path(QStringLiteral("images"))).entryList(QDir::Files).isEmpty());
}

void TestInputFiles::logFileThatCannotBeWritten_data()
{
    QTest::addColumn<QString>("logFile");
    // Where standard output goes: a file, "closed" (a pipe no one reads any
    // more), empty (a pipe).
    QTest::addColumn<QString>("standardOutput");
    QTest::addColumn<QString>("why");

    QTest::newRow("standard output on a full device")
        << "-"
        << "/dev/full"
        << "cannot write '-': No space left on device";
    QTest::newRow("standard output a pipe whose reader went away")
        << "-"
        << "closed"
        << "cannot write '-': Broken pipe";
    QTest::newRow("a read-only folder") << "ro/run.log"
                                        << ""
                                        << "Permission denied";
}

// The copy cannot be opened, or its first write fails: the run goes on to
// its end, says once why its log is lost, and ends failed.
void TestInputFiles::logFileThatCannotBeWritten()
{
    QFETCH(QString, logFile);
    QFETCH(QString, standardOutput);
    QFETCH(QString, why);

    if (logFile.startsWith(QLatin1String("ro/"))) {
        if (::geteuid() == 0)
            QSKIP("root writes into a read-only folder all the same");
        QVERIFY(QDir().mkpath(path(QStringLiteral("ro"))));
        QVERIFY(
            QFile::setPermissions(path(QStringLiteral("ro")), QFile::ReadOwner | QFile::ExeOwner));
        logFile = path(logFile);
    }
    ToolProcess child;
    if (standardOutput.startsWith(QLatin1Char('/')))
        child.process().setStandardOutputFile(standardOutput);
    // An update that takes its time: most of its lines come after the pipe
    // closed, whenever that was.
    const QString image = make(QStringLiteral("vemo2.bin"), QStringLiteral("file"));
    start(child,
          {QStringLiteral("--sim=") + simFile(true),
           QStringLiteral("--registry=") + path(QStringLiteral("registry.json")),
           QStringLiteral("--log-file=") + logFile, image},
          standardOutput == QLatin1String("closed"));
    const Result result = finish(child);

    QVERIFY2(result.finished, "the run blocked");
    if (logFile != QLatin1String("-")) {
        // A folder that takes no file is found before the run starts.
        QCOMPARE(result.exitCode, 2);
        QCOMPARE(result.standardError.size(), 1);
        QVERIFY2(result.standardError.first().contains(why),
                 qPrintable(result.standardError.first()));
        return;
    }
    QCOMPARE(result.exitCode, 1);
    const QString lost = QStringLiteral("vemotool: The log file cannot be kept: ") + why;
    QCOMPARE(result.standardError,
             (QStringList{lost, QStringLiteral("run ended: 1 log file lost: ") + why}));
    // The run itself went to its end: the device took the image.
    QCOMPARE(QDir(path(QStringLiteral("images"))).entryList(QDir::Files).size(), 1);
}

void TestInputFiles::logFileLostDuringTheRun_data()
{
    QTest::addColumn<QString>("how");
    QTest::newRow("removed") << "remove";
    QTest::newRow("replaced by another file") << "replace";
}

// The file goes while the run writes into it: every later line would go
// into a file no one can open. The run still loads its image; its end says
// the log was lost, once, and fails.
void TestInputFiles::logFileLostDuringTheRun()
{
    QFETCH(QString, how);

    const QString image = make(QStringLiteral("vemo2.bin"), QStringLiteral("file"));
    const QString log = path(QStringLiteral("run.log"));
    ToolProcess child;
    start(child, {QStringLiteral("--sim=") + simFile(true),
                  QStringLiteral("--registry=") + path(QStringLiteral("registry.json")),
                  QStringLiteral("--log-file=") + log, image});
    // Once its start-up is in the log, and while the device restarts.
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(log).size() > 0, 10000);
    if (how == QLatin1String("remove")) {
        QVERIFY(QFile::remove(log));
    } else {
        const QString other = path(QStringLiteral("other.log"));
        QVERIFY(make(QStringLiteral("other.log"), QStringLiteral("file")) == other);
        QVERIFY(::rename(QFile::encodeName(other).constData(),
                         QFile::encodeName(log).constData()) == 0);
    }
    const Result result = finish(child);

    QVERIFY2(result.finished, "the run blocked");
    QCOMPARE(result.exitCode, 1);
    const QString why =
        QStringLiteral("'%1' was removed or replaced while the run wrote into it").arg(log);
    QCOMPARE(result.standardError,
             (QStringList{QStringLiteral("vemotool: The log file cannot be kept: ") + why,
                          QStringLiteral("run ended: 1 log file lost: ") + why}));
    // The run itself went to its end: the device took the image.
    QCOMPARE(QDir(path(QStringLiteral("images"))).entryList(QDir::Files).size(), 1);
}

void TestInputFiles::outputOverAnInput_data()
{
    // The run: --sim=bus.json, --registry=registry.json (unless the row
    // names none: then the default key store, default.json), the image
    // vemo2.bin, and the row's options. Made first: "NAME=link:TARGET" a
    // symbolic link, "NAME=hard:TARGET" a hard link.
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QStringList>("made");
    QTest::addColumn<QString>("refused"); // the option the line names
    QTest::addColumn<QString>("what");    // what it names as overwritten

    QTest::newRow("capture over the firmware file")
        << QStringList{"--capture=vemo2.bin"} << QStringList() << "--capture"
        << "the firmware file 'vemo2.bin'";
    QTest::newRow("log file over the firmware file")
        << QStringList{"--log-file=vemo2.bin"} << QStringList() << "--log-file"
        << "the firmware file 'vemo2.bin'";
    QTest::newRow("record over the firmware file, through a symbolic link")
        << QStringList{"--record=image-link"} << QStringList{"image-link=link:vemo2.bin"}
        << "--record"
        << "the firmware file 'vemo2.bin'";
    QTest::newRow("capture over the key store")
        << QStringList{"--capture=registry.json"} << QStringList() << "--capture"
        << "the key store (--registry)";
    QTest::newRow("log file over the default key store")
        << QStringList{"--no-registry", "--log-file=default.json"} << QStringList() << "--log-file"
        << "the key store";
    QTest::newRow("record over the simulator file, through a hard link")
        << QStringList{"--record=sim-link"} << QStringList{"sim-link=hard:bus.json"} << "--record"
        << "the simulator file (--sim)";
    // Neither there yet: the capture would empty the records.
    QTest::newRow("record and capture, one file not there yet")
        << QStringList{"--record=out", "--capture=./out"} << QStringList() << "--capture"
        << "the file of --record ('out')";
    // The event stream appends: into the image it would spoil it.
    QTest::newRow("events over the firmware file")
        << QStringList{"--events=vemo2.bin"} << QStringList() << "--events"
        << "the firmware file 'vemo2.bin'";
    QTest::newRow("events on standard output, log file on /dev/stdout")
        << QStringList{"--log-file=/dev/stdout", "--events=-"} << QStringList() << "--events"
        << "the file of --log-file ('/dev/stdout')";
    // Standard output is a file here; /dev/stdout leads to it.
    QTest::newRow("capture on standard output, log file on /dev/stdout")
        << QStringList{"--capture=-", "--log-file=/dev/stdout"} << QStringList() << "--capture"
        << "the file of --log-file ('/dev/stdout')";
}

// Before anything is opened for writing, an output that is the same file as
// an input or as another output is refused: status 2, one line naming both,
// and every file as it was.
void TestInputFiles::outputOverAnInput()
{
    QFETCH(QStringList, options);
    QFETCH(QStringList, made);
    QFETCH(QString, refused);
    QFETCH(QString, what);

    const QString image = make(QStringLiteral("vemo2.bin"), QStringLiteral("file"));
    const QString sim = simFile(true);
    QVERIFY(!image.isEmpty() && !sim.isEmpty());
    QFile store(path(QStringLiteral("registry.json")));
    QVERIFY(store.open(QIODevice::WriteOnly));
    store.write("{}\n");
    store.close();
    QFile defaultStore(path(QStringLiteral("default.json")));
    QVERIFY(defaultStore.open(QIODevice::WriteOnly));
    defaultStore.write("{ \"default\": true }\n");
    defaultStore.close();
    for (const QString &item : made) {
        const QString name = item.section(QLatin1Char('='), 0, 0);
        const QString how = item.section(QLatin1Char('='), 1).section(QLatin1Char(':'), 0, 0);
        const QString target = item.section(QLatin1Char(':'), 1);
        const QByteArray at = QFile::encodeName(path(name));
        if (how == QLatin1String("link"))
            QCOMPARE(::symlink(QFile::encodeName(target).constData(), at.constData()), 0);
        else
            QCOMPARE(::link(QFile::encodeName(path(target)).constData(), at.constData()), 0);
    }
    const QStringList inputs{QStringLiteral("vemo2.bin"), QStringLiteral("bus.json"),
                             QStringLiteral("registry.json"), QStringLiteral("default.json")};
    QMap<QString, QByteArray> before;
    for (const QString &input : inputs) {
        QFile file(path(input));
        QVERIFY(file.open(QIODevice::ReadOnly));
        before.insert(input, file.readAll());
    }

    QStringList arguments{QStringLiteral("--batch"), QStringLiteral("--timeout=5"),
                          QStringLiteral("--sim=") + sim};
    if (!options.contains(QStringLiteral("--no-registry")))
        arguments << QStringLiteral("--registry=registry.json");
    for (const QString &option : options) {
        if (option != QLatin1String("--no-registry"))
            arguments << option;
    }
    arguments << QStringLiteral("vemo2.bin");
    ToolProcess::Setup setup = ToolProcess::inFolder(m_dir->path());
    setup.keyStore = path(QStringLiteral("default.json"));
    ToolProcess child;
    child.process().setStandardOutputFile(path(QStringLiteral("stdout.txt")));
    child.start(setup, arguments);
    const Result result = finish(child);

    QVERIFY2(result.finished, "the run blocked");
    QCOMPARE(result.exitCode, 2);
    QCOMPARE(result.standardError.size(), 1);
    const QString line = result.standardError.first();
    QVERIFY2(line.startsWith(QStringLiteral("vemotool: bad value for ") + refused +
                             QStringLiteral(": ")) &&
                 line.contains(QStringLiteral(" is ") + what),
             qPrintable(line));
    // Nothing was written over, nothing created, nothing sent.
    for (const QString &input : inputs) {
        QFile file(path(input));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QVERIFY2(file.readAll() == before.value(input), qPrintable(input));
    }
    QVERIFY(!QFile::exists(path(QStringLiteral("out"))));
    QCOMPARE(QFileInfo(path(QStringLiteral("stdout.txt"))).size(), 0);
    QVERIFY(!QDir(path(QStringLiteral("images"))).exists());
}

void TestInputFiles::captureLost_data()
{
    QTest::addColumn<QString>("how");
    QTest::addColumn<QString>("why"); // what the lines say after "cannot be kept: "

    // No file of the run may grow past 30000 bytes: the capture of an image
    // of 20000 bytes, which is much larger, finds the disk full.
    QTest::newRow("a full disk") << "full"
                                 << "cannot write 'CAPTURE': File too large";
    QTest::newRow("standard output a pipe whose reader went away")
        << "closed"
        << "cannot write standard output: Broken pipe";
    QTest::newRow("the file removed during the run")
        << "removed"
        << "'CAPTURE' was removed or replaced while the run wrote into it";
}

// The capture cannot be kept: the run still goes to its end, says once
// why, on standard error and in its log, and ends failed; a capture file
// keeps only whole packets.
void TestInputFiles::captureLost()
{
    QFETCH(QString, how);
    QFETCH(QString, why);

    const bool full = how == QLatin1String("full");
    const QString image = path(QStringLiteral("vemo2.bin"));
    {
        QFile file(image);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(testBytes(full ? 20000 : 300));
    }
    // Without a file of its own for the full disk: the device keeps what it
    // took to itself.
    QString sim = simFile(true);
    if (full) {
        QFile file(sim);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(R"({ "devices": [ { "id": "line", "generation": "Vemo2",
            "serial": "VX1234567", "restartDelayMs": 100, "eraseDelayMs": 100,
            "loaderAnnouncesBlank": true } ] })");
    }
    const QString capture = path(QStringLiteral("usb.pcap"));
    // The log goes where no limit holds: a pipe.
    const QString log = full ? QStringLiteral("-") : path(QStringLiteral("run.log"));
    why.replace(QLatin1String("CAPTURE"), capture);
    const QStringList arguments{
        QStringLiteral("--batch"),
        QStringLiteral("--timeout=60"),
        QStringLiteral("--sim=") + sim,
        QStringLiteral("--registry=") + path(QStringLiteral("registry.json")),
        QStringLiteral("--log-file=") + log,
        QStringLiteral("--capture=") +
            (how == QLatin1String("closed") ? QStringLiteral("-") : capture),
        image};
    const auto logText = [&] {
        QFile file(log);
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    };
    ToolProcess child;
    const ToolProcess::Setup setup = ToolProcess::inFolder(m_dir->path());
    if (full) {
        child.start(setup, QStringLiteral("/bin/sh"),
                    QStringList{QStringLiteral("-c"),
                                QStringLiteral("trap '' XFSZ; exec prlimit --fsize=30000 \"$@\""),
                                QStringLiteral("full-disk"), ToolProcess::vemotool()} +
                        arguments);
    } else if (how == QLatin1String("closed")) {
        // "head" takes the file header and a packet or so, then goes.
        child.start(setup, QStringLiteral("/bin/bash"),
                    QStringList{QStringLiteral("-c"),
                                QStringLiteral("set -o pipefail; \"$@\" | head -c 100 >/dev/null"),
                                QStringLiteral("closed-pipe"), ToolProcess::vemotool()} +
                        arguments);
    } else {
        child.start(setup, arguments);
        // Once the device is open, while it restarts into its loader.
        QTRY_VERIFY_WITH_TIMEOUT(logText().contains(QLatin1String("Device opend")), 10000);
        QVERIFY(QFile::remove(capture));
    }
    const ToolProcess::Result ended = child.finish(60000);

    QVERIFY2(ended.finished, "the run blocked");
    const QStringList lines = ended.errorLines();
    const QString lost = QStringLiteral("vemotool: The USB capture cannot be kept: ") + why;
    QCOMPARE(lines.filter(QStringLiteral("cannot be kept")), QStringList{lost});
    QCOMPARE(ended.lastErrorLine(), QStringLiteral("run ended: 1 capture lost: ") + why);
    QCOMPARE(ended.status(), 1);
    // In the log too, once, and the same end.
    const QStringList logLines = (full ? QString::fromUtf8(ended.out) : logText())
                                     .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QCOMPARE(logLines.filter(QStringLiteral("The USB capture cannot be kept: ")),
             QStringList{QStringLiteral("The USB capture cannot be kept: ") + why});
    QCOMPARE(logLines.last(), ended.lastErrorLine());
    // The run itself went to its end: the device took the image.
    QCOMPARE(logLines.filter(QStringLiteral("Firmware update complete: ")).size(), 1);
    if (full) {
        // Whole packets only: each record's length leads to the next, and
        // the last ends where the file does.
        QFile file(capture);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray bytes = file.readAll();
        QVERIFY(bytes.size() > 24 && bytes.size() <= 30000);
        qint64 at = 24;
        while (at + 16 <= bytes.size())
            at += 16 + qFromLittleEndian<quint32>(bytes.constData() + at + 8);
        QCOMPARE(at, qint64(bytes.size()));
    }
}

QTEST_GUILESS_MAIN(TestInputFiles)
#include "tst_inputfiles.moc"
