#include "tests/support/TestBytes.h"
#include "tests/support/ToolProcess.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

// The files a run reads and writes by name, as the program meets them from
// outside: a separate --batch process with --timeout=5. What is not a
// regular file (a FIFO blocks its open for ever, before any time-out runs; a
// device never ends) and a file larger than its bound (read whole into
// memory) are refused at once with one line naming the file and why; and a
// copy of the message log that cannot be kept is said once and fails the
// run, never lost without a word.
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

QTEST_GUILESS_MAIN(TestInputFiles)
#include "tst_inputfiles.moc"
