#include "tests/support/TestBytes.h"
#include "tests/support/ToolProcess.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QSysInfo>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <cstdio>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

// The record a run appends to --record=FILE when it ends, however it ends:
// the program runs as a production line runs it (a --batch process on a
// simulated Vemo2), and the record file is read from outside. Every field
// is checked for each kind of end: what the run learnt, and null for what
// it did not.
class TestRunRecord : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void endings_data();
    void endings();
    void interruptedTransfer();
    void installerEndedWithTheRun_data();
    void installerEndedWithTheRun();
    void unopenableRecordFile_data();
    void unopenableRecordFile();
    void recordThatCannotBeWrittenFailsTheRun();
    void recordFileLostDuringTheRun_data();
    void recordFileLostDuringTheRun();
    void recordAfterAnUnfinishedLine_data();
    void recordAfterAnUnfinishedLine();
    void recordsOfManyRunsStayApart();

private:
    struct Run
    {
        int exitCode = -1;
        QString standardError;
        QStringList log;
    };
    // The simulated Vemo2 "line" (serial 000000001, firmware 2.10), with
    // extra fields; the program run on it with --batch, its record going to
    // record.jsonl. prefix: a shell line the program is started through
    // ("ulimit ...; exec"), empty for none; suffix: what follows it ("|
    // cat"), with prefix only.
    void start(ToolProcess &child, const QStringList &arguments, const QStringList &options,
               const QString &extra = {}, const QString &prefix = {}, const QString &suffix = {});
    Run finish(ToolProcess &child);
    Run run(const QStringList &arguments, const QStringList &options, const QString &extra = {},
            const QString &prefix = {});
    QList<QJsonObject> records() const;
    QString path(const QString &name) const { return m_dir->filePath(name); }
    QJsonObject deviceState() const;
    void writeFile(const QString &name, const QByteArray &bytes);

    std::unique_ptr<QTemporaryDir> m_dir;
    int m_runs = 0;
};

namespace {

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QString sha256(const QByteArray &bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}

// Every key a record holds, none more.
const QStringList kKeys{"started",         "ended",         "host",           "pid",
                        "version",         "run",           "device",         "generation",
                        "serial",          "path",          "firmwareBefore", "firmwareAfter",
                        "firmwareAnswer",  "serialWritten", "firmwareFile",   "imagePath",
                        "imageSize",       "imageSha256",   "bytesTaken",     "deviation",
                        "calibrationDate", "certificate",   "status",         "reason"};

// What the watchdog says when it, and not the run, ends a blocked run.
const char *const RunWatchdogLine = "the run did not end after its time-out";

// "2026-12-11T03:50:27.123+01:00"
const QRegularExpression
    kTime(QStringLiteral("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}[+-]\\d\\d:\\d\\d$"));

} // namespace

void TestRunRecord::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    QVERIFY(QDir(m_dir->path()).mkpath(QStringLiteral("certificates")));
}

void TestRunRecord::writeFile(const QString &name, const QByteArray &bytes)
{
    QFile file(path(name));
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(bytes), bytes.size());
}

void TestRunRecord::start(ToolProcess &child, const QStringList &arguments,
                          const QStringList &options, const QString &extra, const QString &prefix,
                          const QString &suffix)
{
    ++m_runs;
    const QString sim = path(QStringLiteral("sim-%1.json").arg(m_runs));
    QString json = QStringLiteral(R"({ "devices": [ { "id": "line", "generation": "Vemo2",
        "serial": "000000001", "firmware": "2.10", "restartDelayMs": 100, "eraseDelayMs": 100,
        "loaderAnnouncesBlank": true, "imageFolder": "DIR/images",
        "stateFile": "DIR/line-state.json" %1 } ] })")
                       .arg(extra.isEmpty() ? QString() : QStringLiteral(", ") + extra);
    json.replace(QLatin1String("DIR"), m_dir->path());
    QFile simFile(sim);
    QVERIFY(simFile.open(QIODevice::WriteOnly));
    simFile.write(json.toUtf8());
    simFile.close();

    QStringList all{QStringLiteral("--batch"), QStringLiteral("--sim=") + sim,
                    QStringLiteral("--registry=") + path(QStringLiteral("registry.json")),
                    QStringLiteral("--log-file=") + path(QStringLiteral("run-%1.log").arg(m_runs)),
                    QStringLiteral("--print-to=") + path(QStringLiteral("certificates"))};
    if (!options.join(QLatin1Char(' ')).contains(QLatin1String("--record=")))
        all << QStringLiteral("--record=") + path(QStringLiteral("record.jsonl"));
    all << options << arguments;
    const ToolProcess::Setup setup = ToolProcess::inFolder(m_dir->path());
    if (prefix.isEmpty()) {
        child.start(setup, all);
        return;
    }
    child.start(setup, QStringLiteral("/bin/bash"),
                QStringList{QStringLiteral("-c"),
                            prefix + QStringLiteral(" \"$0\" \"$@\"") + suffix,
                            ToolProcess::vemotool()} +
                    all);
}

TestRunRecord::Run TestRunRecord::finish(ToolProcess &child)
{
    Run result;
    const ToolProcess::Result ended = child.finish();
    if (!ended.finished)
        return result;
    result.exitCode = ended.status();
    result.standardError = QString::fromLocal8Bit(ended.err);
    result.log = QString::fromUtf8(readFile(path(QStringLiteral("run-%1.log").arg(m_runs))))
                     .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    return result;
}

TestRunRecord::Run TestRunRecord::run(const QStringList &arguments, const QStringList &options,
                                      const QString &extra, const QString &prefix)
{
    ToolProcess child;
    start(child, arguments, options, extra, prefix);
    return finish(child);
}

QList<QJsonObject> TestRunRecord::records() const
{
    QList<QJsonObject> objects;
    const QList<QByteArray> lines = readFile(path(QStringLiteral("record.jsonl"))).split('\n');
    for (const QByteArray &line : lines) {
        if (line.isEmpty())
            continue;
        QJsonParseError error;
        const QJsonDocument document = QJsonDocument::fromJson(line, &error);
        if (error.error != QJsonParseError::NoError || !document.isObject())
            return {}; // a line that is no record fails every check
        objects << document.object();
    }
    return objects;
}

QJsonObject TestRunRecord::deviceState() const
{
    return QJsonDocument::fromJson(readFile(path(QStringLiteral("line-state.json")))).object();
}

void TestRunRecord::endings_data()
{
    // expected: the fields the record must hold ("ABS:" a path in the
    // test's folder, "TODAY" today's calibration date, "SHA:n" the SHA-256
    // of the n test bytes of vemo2.bin, "CERT" a certificate file in the
    // test's certificates/, "*" at the end a prefix); every other field
    // except the times, host, pid and version is null.
    QTest::addColumn<QString>("extra");
    QTest::addColumn<int>("imageSize"); // vemo2.bin; 0: none
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QVariantMap>("expected");
    QTest::addColumn<bool>("sentToDevice");

    const QVariantMap device{{"generation", "Vemo2"},
                             {"serial", "000000001"},
                             {"path", "line"},
                             {"firmwareBefore", "2.10"}};
    const auto with = [](QVariantMap map, const QVariantMap &more) {
        for (auto it = more.cbegin(); it != more.cend(); ++it)
            map.insert(it.key(), it.value());
        return map;
    };
    const QVariantMap image{{"firmwareFile", "vemo2.bin"},
                            {"imagePath", "ABS:vemo2.bin"},
                            {"imageSize", 5000},
                            {"imageSha256", "SHA:5000"}};

    QTest::newRow("verified update done")
        << "" << 5000 << QStringList{"vemo2.bin"} << QStringList{"--verify"} << 0
        << with(with(device, image), {{"run", "update"},
                                      {"bytesTaken", 5000},
                                      {"firmwareAfter", "2.11"},
                                      {"firmwareAnswer", "Vemo2 firmware V2.11"},
                                      {"status", 0},
                                      {"reason", "done"}})
        << true;
    QTest::newRow("calibrated update done")
        << R"("deviation": "+0.00123")" << 5000 << QStringList{"vemo2.bin", "/CALIBRATE"}
        << QStringList() << 0
        << with(with(device, image), {{"run", "calibrated-update"},
                                      {"bytesTaken", 5000},
                                      {"deviation", "+0.00123"},
                                      {"calibrationDate", "TODAY"},
                                      {"certificate", "CERT"},
                                      {"status", 0},
                                      {"reason", "done"}})
        << true;
    QTest::newRow("serial run done")
        << "" << 0 << QStringList{"/SERIALAB1234567"} << QStringList() << 0
        << with(device, {{"run", "serial"},
                         {"serialWritten", "AB1234567"},
                         {"status", 0},
                         {"reason", "done"}})
        << true;
    QTest::newRow("failure: no calibration reply")
        << R"("answers": { "ABGL?": "" })" << 5000 << QStringList{"vemo2.bin", "/CALIBRATE"}
        << QStringList() << 1
        << with(with(device, image),
                {{"run", "calibrated-update"},
                 {"bytesTaken", 5000},
                 {"status", 1},
                 {"reason", "no calibration reply: the certificate was not printed"}})
        << true;
    QTest::newRow("time-out waiting for the serial reply")
        << R"("answers": { "DEVNR?": "" })" << 0 << QStringList{"/SERIALAB1234567"}
        << QStringList{"--timeout=3"} << 3
        << with(device, {{"run", "serial"},
                         {"serialWritten", "AB1234567"},
                         {"status", 3},
                         {"reason", "time-out after 3 s"}})
        << true;
    QTest::newRow("image not loaded: another version came back")
        << "" << 5000 << QStringList{"vemo2.bin"} << QStringList{"--expect-version=2.12"} << 5
        << with(with(device, image),
                {{"run", "update"},
                 {"bytesTaken", 5000},
                 {"firmwareAfter", "2.11"},
                 {"firmwareAnswer", "Vemo2 firmware V2.11"},
                 {"status", 5},
                 {"reason", "verification failed: firmware after update is 'Vemo2 firmware "
                            "V2.11', not 2.12"}})
        << true;
    // Nothing is sent: the image is named, the device is not known.
    QTest::newRow("device absent")
        << "" << 5000 << QStringList{"vemo2.bin"} << QStringList{"--device=900000009"} << 4
        << with(image, {{"run", "update"},
                        {"device", "900000009"},
                        {"bytesTaken", 0},
                        {"status", 4},
                        {"reason", "Device '900000009' is not attached*"}})
        << false;
    // Nothing to run, and the device named is not there: no usable device.
    QTest::newRow("device absent, nothing to run")
        << "" << 0 << QStringList() << QStringList{"--device=zzz"} << 4
        << QVariantMap{{"run", "none"},
                       {"device", "zzz"},
                       {"status", 4},
                       {"reason",
                        "Device 'zzz' is not attached; attached: Vemo2 000000001 at line"}}
        << false;
    // A name that holds a line break and an ESC sequence: the last line is
    // one line, and nothing reaches the terminal as a command.
    QTest::newRow("device absent, named with control characters")
        << "" << 5000 << QStringList{"vemo2.bin"} << QStringList{"--device=x\ny\x1b[31m"} << 4
        << with(image, {{"run", "update"},
                        {"device", "x\ny\x1b[31m"},
                        {"bytesTaken", 0},
                        {"status", 4},
                        {"reason", "Device 'x\\ny\\e[31m' is not attached*"}})
        << false;
    QTest::newRow("bad input: file not found")
        << "" << 0 << QStringList{"missing.bin"} << QStringList() << 2
        << QVariantMap{{"run", "update"},
                       {"firmwareFile", "missing.bin"},
                       {"bytesTaken", 0},
                       {"status", 2},
                       {"reason", "File not found"}}
        << false;
    // Ended before the window: the record says what was known then.
    QTest::newRow("bad input before the window")
        << "" << 5000 << QStringList{"vemo2.bin"}
        << QStringList{"--capture=/nonexistent/folder/usb.pcap"} << 2
        << QVariantMap{{"run", "update"},
                       {"firmwareFile", "vemo2.bin"},
                       {"bytesTaken", 0},
                       {"status", 2},
                       {"reason", "bad value for --capture: *"}}
        << false;
}

void TestRunRecord::endings()
{
    QFETCH(QString, extra);
    QFETCH(int, imageSize);
    QFETCH(QStringList, arguments);
    QFETCH(QStringList, options);
    QFETCH(int, exitCode);
    QFETCH(QVariantMap, expected);
    QFETCH(bool, sentToDevice);

    QByteArray image;
    if (imageSize > 0) {
        image = testBytes(imageSize);
        writeFile(QStringLiteral("vemo2.bin"), image);
    }
    const QDateTime before = QDateTime::currentDateTime().addSecs(-1);
    const Run result = run(arguments, options, extra);
    const QDateTime after = QDateTime::currentDateTime().addSecs(1);
    const QString diagnostics = result.log.join(QLatin1Char('\n')) + result.standardError;
    QVERIFY2(result.exitCode == exitCode, qPrintable(diagnostics));

    const QList<QJsonObject> all = records();
    QVERIFY2(all.size() == 1, readFile(path(QStringLiteral("record.jsonl"))).constData());
    const QJsonObject record = all.first();
    QStringList keys = record.keys();
    QStringList wantKeys = kKeys;
    keys.sort();
    wantKeys.sort();
    QCOMPARE(keys, wantKeys);

    // When, where, who.
    for (const char *key : {"started", "ended"}) {
        const QString text = record.value(QLatin1String(key)).toString();
        QVERIFY2(kTime.match(text).hasMatch(), qPrintable(text));
        const QDateTime time = QDateTime::fromString(text, Qt::ISODateWithMs);
        QVERIFY2(time >= before && time <= after, qPrintable(text));
    }
    QVERIFY(QDateTime::fromString(record.value("started").toString(), Qt::ISODateWithMs) <=
            QDateTime::fromString(record.value("ended").toString(), Qt::ISODateWithMs));
    QCOMPARE(record.value("host").toString(), QSysInfo::machineHostName());
    QVERIFY(record.value("pid").toInteger() > 0);
    QCOMPARE(record.value("version").toString(), QStringLiteral(VEMO_PROJECT_VERSION));

    // The status and reason are those of the run's last line, the last of
    // standard error too, which holds nothing a terminal takes for a command.
    if (!result.log.isEmpty() && result.log.last().startsWith(QLatin1String("run ended: "))) {
        QCOMPARE(QStringLiteral("run ended: %1 %2")
                     .arg(record.value("status").toInt())
                     .arg(record.value("reason").toString()),
                 result.log.last());
        QCOMPARE(result.standardError.split(QLatin1Char('\n'), Qt::SkipEmptyParts).last(),
                 result.log.last());
    }
    for (const QChar c : result.standardError)
        QVERIFY2(c == QLatin1Char('\n') || c.unicode() >= 0x20, qPrintable(result.standardError));

    for (const QString &key : kKeys) {
        if (QStringList{"started", "ended", "host", "pid", "version"}.contains(key))
            continue;
        const QJsonValue value = record.value(key);
        if (!expected.contains(key)) {
            QVERIFY2(value.isNull(), qPrintable(key + QStringLiteral(" is not null")));
            continue;
        }
        const QVariant want = expected.value(key);
        if (want.typeId() == QMetaType::Int) {
            QVERIFY2(value.isDouble() && value.toInteger() == want.toInt(), qPrintable(key));
            continue;
        }
        QString text = want.toString();
        const QString got = value.toString();
        QVERIFY2(value.isString(), qPrintable(key));
        if (text.startsWith(QLatin1String("ABS:")))
            text = path(text.mid(4));
        else if (text == QLatin1String("TODAY"))
            text = QDate::currentDate().toString(QStringLiteral("yy-MM-dd"));
        else if (text.startsWith(QLatin1String("SHA:")))
            text = sha256(image);
        if (text == QLatin1String("CERT")) {
            QCOMPARE(QFileInfo(got).absolutePath(),
                     QFileInfo(path(QStringLiteral("certificates"))).absoluteFilePath());
            QVERIFY2(QFileInfo(got).isFile() && got.endsWith(QLatin1String(".pdf")),
                     qPrintable(got));
        } else if (text.endsWith(QLatin1Char('*'))) {
            QVERIFY2(got.startsWith(text.chopped(1)), qPrintable(key + QLatin1String(": ") + got));
        } else {
            QVERIFY2(got == text, qPrintable(key + QLatin1String(": ") + got));
        }
    }

    // A run refused before it started left the device as it was; the others
    // changed it.
    const QJsonObject state = deviceState();
    const bool changed =
        !state.isEmpty() &&
        (state.value(QStringLiteral("loader")).toBool() ||
         state.value(QStringLiteral("firmware")).toString() != QLatin1String("2.10") ||
         state.value(QStringLiteral("serial")).toString() != QLatin1String("000000001"));
    QCOMPARE(changed, sentToDevice);
}

// SIGTERM while the image streams: the record says how far it got, the
// same number the run's last line gives.
void TestRunRecord::interruptedTransfer()
{
    const QByteArray image = testBytes(64008);
    writeFile(QStringLiteral("vemo2.bin"), image);
    ToolProcess child;
    QProcess &process = child.process();
    start(child, {QStringLiteral("vemo2.bin")}, {},
          QStringLiteral(R"("faults": { "writeCompletionDelayMs": 20 })"));
    QVERIFY(process.waitForStarted());
    const QString logPath = path(QStringLiteral("run-%1.log").arg(m_runs));
    QElapsedTimer clock;
    clock.start();
    while (!readFile(logPath).contains("sending File....")) {
        QVERIFY2(!process.waitForFinished(10), readFile(logPath).constData());
        QVERIFY(clock.elapsed() < 60000);
    }
    QVERIFY(!process.waitForFinished(500));
    ::kill(pid_t(process.processId()), SIGTERM);
    const Run result = finish(child);
    QCOMPARE(result.exitCode, 5);

    const QList<QJsonObject> all = records();
    QCOMPARE(all.size(), 1);
    const QJsonObject record = all.first();
    QCOMPARE(record.value("status").toInt(), 5);
    const QRegularExpression reason(
        QStringLiteral("^transfer failed: interrupted by SIGTERM at (\\d+) of 64008 bytes$"));
    const QRegularExpressionMatch match = reason.match(record.value("reason").toString());
    QVERIFY2(match.hasMatch(), qPrintable(record.value("reason").toString()));
    QCOMPARE(result.log.last(), QStringLiteral("run ended: 5 ") + match.captured(0));
    const qint64 taken = record.value("bytesTaken").toInteger(-1);
    QCOMPARE(taken, match.captured(1).toLongLong());
    QVERIFY(taken > 0 && taken < image.size());
    QCOMPARE(record.value("imageSize").toInteger(), image.size());
    QCOMPARE(record.value("imageSha256").toString(), sha256(image));
    QCOMPARE(record.value("serial").toString(), QStringLiteral("000000001"));
    QVERIFY(record.value("firmwareAfter").isNull());
}

void TestRunRecord::installerEndedWithTheRun_data()
{
    QTest::addColumn<int>("signalNumber"); // 0: none, the time-out ends the run
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("reason");

    // Time enough for the run to reach its installer first.
    QTest::newRow("at the time-out") << 0 << 3 << "time-out after 8 s";
    QTest::newRow("at SIGTERM") << int(SIGTERM) << 1 << "interrupted by SIGTERM";
    QTest::newRow("at SIGHUP") << int(SIGHUP) << 1 << "interrupted by SIGHUP";
}

// An installer that never returns (and leaves a process of its own behind
// it) is ended with all it started at the run's time-out or a signal,
// although the run handles no messages while it waits for it: the run ends
// at once with its own last line and record, and a pipeline the run writes
// into ends with the run, never held open by what the installer inherited.
void TestRunRecord::installerEndedWithTheRun()
{
    QFETCH(int, signalNumber);
    QFETCH(int, exitCode);
    QFETCH(QString, reason);

    // It says its process and the run's, then waits for ever.
    writeFile(QStringLiteral("vemo2.exe"), "#!/bin/sh\n"
                                           "echo \"$$ $PPID\" > \"$TMPDIR/installer.tmp\"\n"
                                           "mv \"$TMPDIR/installer.tmp\" \"$TMPDIR/installer\"\n"
                                           "sleep 300 &\n"
                                           "echo waiting\n"
                                           "exec sleep 300\n");
    QVERIFY(QFile::setPermissions(path(QStringLiteral("vemo2.exe")),
                                  QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    ToolProcess child;
    start(child, {QStringLiteral("vemo2.exe")},
          {QStringLiteral("--timeout=") +
           (signalNumber ? QStringLiteral("120") : QStringLiteral("8"))},
          QString(), QStringLiteral("set -o pipefail;"),
          QStringLiteral(" | cat > \"$TMPDIR/piped.txt\""));
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(path(QStringLiteral("installer"))), 60000);
    const QList<QByteArray> pids = readFile(path(QStringLiteral("installer"))).trimmed().split(' ');
    QCOMPARE(pids.size(), 2);
    const qint64 group = pids.at(0).toLongLong();
    const qint64 run = pids.at(1).toLongLong();
    if (signalNumber)
        QCOMPARE(::kill(pid_t(run), signalNumber), 0);
    // The pipeline ends (its reader sees the end of its input) within the
    // generous limit of a child that ends by itself.
    const Run result = finish(child);
    QCOMPARE(result.exitCode, exitCode);

    QCOMPARE(result.log.last(), QStringLiteral("run ended: %1 %2").arg(exitCode).arg(reason));
    const QStringList errors = result.standardError.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QCOMPARE(errors.last(), result.log.last());
    // Ended by the run, not by its watchdog past the time-out.
    QVERIFY2(!result.standardError.contains(QLatin1String(RunWatchdogLine)),
             qPrintable(result.standardError));
    // The installer's output went to standard error, not into the pipeline.
    QVERIFY2(errors.contains(QStringLiteral("waiting")), qPrintable(result.standardError));
    QCOMPARE(readFile(path(QStringLiteral("piped.txt"))), QByteArray());

    const QList<QJsonObject> all = records();
    QCOMPARE(all.size(), 1);
    const QJsonObject record = all.first();
    QCOMPARE(record.value("status").toInt(), exitCode);
    QCOMPARE(record.value("reason").toString(), reason);
    QCOMPARE(record.value("run").toString(), QStringLiteral("update"));
    QCOMPARE(record.value("firmwareFile").toString(), QStringLiteral("vemo2.exe"));
    // Known: no transfer started.
    QCOMPARE(record.value("bytesTaken").toInt(-1), 0);
    QCOMPARE(record.value("serial").toString(), QStringLiteral("000000001"));

    // Nothing of the installer outlived the run.
    const auto liveMembers = [group] {
        int live = 0;
        for (const QString &entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
            const QByteArray stat = readFile(QStringLiteral("/proc/%1/stat").arg(entry));
            const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
            if (fields.size() > 2 && fields.at(2).toLongLong() == group && fields.at(0) != "Z")
                ++live;
        }
        return live;
    };
    QTRY_COMPARE_WITH_TIMEOUT(liveMembers(), 0, 10000);
}

void TestRunRecord::unopenableRecordFile_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("missing folder") << "missing";
    QTest::newRow("a folder") << "folder";
    QTest::newRow("a FIFO") << "fifo";
    QTest::newRow("no permission") << "readonly";
}

// A record file that cannot take records ends the run at once with status
// 2 and one line, before any device is looked at.
void TestRunRecord::unopenableRecordFile()
{
    QFETCH(QString, kind);
    QString record = path(QStringLiteral("record.jsonl"));
    if (kind == QLatin1String("missing")) {
        record = path(QStringLiteral("no/such/folder/record.jsonl"));
    } else if (kind == QLatin1String("folder")) {
        QVERIFY(QDir(m_dir->path()).mkdir(QStringLiteral("record.jsonl")));
    } else if (kind == QLatin1String("fifo")) {
        QCOMPARE(::mkfifo(QFile::encodeName(record).constData(), 0600), 0);
    } else {
        if (::geteuid() == 0)
            QSKIP("root writes into any file");
        writeFile(QStringLiteral("record.jsonl"), QByteArray());
        QVERIFY(QFile::setPermissions(record, QFile::ReadOwner));
    }
    writeFile(QStringLiteral("vemo2.bin"), testBytes(500));

    const Run result = run({QStringLiteral("vemo2.bin")}, {QStringLiteral("--record=") + record});

    QCOMPARE(result.exitCode, 2);
    const QStringList lines = result.standardError.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 1);
    QVERIFY2(lines.first().startsWith(QStringLiteral("vemotool: bad value for --record: ")),
             qPrintable(lines.first()));
    // No window, no log, nothing sent.
    QVERIFY(result.log.isEmpty());
    QVERIFY(!QFile::exists(path(QStringLiteral("line-state.json"))) ||
            !deviceState().value(QStringLiteral("loader")).toBool());
    QVERIFY(!QFileInfo(record).isFile() || QFileInfo(record).size() == 0);
}

// A record that does not get into its file whole (here: the file may not
// grow past its limit) fails a run that was done, says so, and the last
// line names it.
void TestRunRecord::recordThatCannotBeWrittenFailsTheRun()
{
    // 1 MiB at most; the file holds all but 100 bytes of it already.
    const int limit = 1 << 20;
    const QByteArray filler = "{\"filler\":\"" + QByteArray(limit - 114, 'x') + "\"}\n";
    QCOMPARE(filler.size(), limit - 100);
    writeFile(QStringLiteral("record.jsonl"), filler);
    const Run result = run({QStringLiteral("/SERIALAB1234567")}, {}, QString(),
                           QStringLiteral("trap '' XFSZ; exec prlimit --fsize=%1").arg(limit));

    QCOMPARE(result.exitCode, 1);
    QVERIFY2(result.standardError.contains(QStringLiteral("Could not write the run's record: ")),
             qPrintable(result.standardError));
    QVERIFY2(result.log.last().startsWith(QStringLiteral("run ended: 1 record not written: ")),
             qPrintable(result.log.last()));
    // The device did take its serial number: the run did its work.
    QCOMPARE(deviceState().value(QStringLiteral("serial")).toString(), QStringLiteral("AB1234567"));
}

void TestRunRecord::recordFileLostDuringTheRun_data()
{
    QTest::addColumn<QString>("how");
    QTest::newRow("removed") << "remove";
    QTest::newRow("replaced by another file") << "replace";
}

// The record file goes while the run works: its record would go into a
// file no one can open, or into one that took its name. The run still
// loads its image; its end says the record was not written, and fails.
void TestRunRecord::recordFileLostDuringTheRun()
{
    QFETCH(QString, how);

    writeFile(QStringLiteral("vemo2.bin"), testBytes(5000));
    ToolProcess child;
    start(child, {QStringLiteral("vemo2.bin")}, {},
          QStringLiteral(R"("faults": { "writeCompletionDelayMs": 20 })"));
    const QString logPath = path(QStringLiteral("run-%1.log").arg(m_runs));
    const QString record = path(QStringLiteral("record.jsonl"));
    QTRY_VERIFY_WITH_TIMEOUT(readFile(logPath).contains("sending File...."), 60000);
    if (how == QLatin1String("remove")) {
        QVERIFY(QFile::remove(record));
    } else {
        writeFile(QStringLiteral("other.jsonl"), "{\"other\":1}\n");
        QCOMPARE(::rename(QFile::encodeName(path(QStringLiteral("other.jsonl"))).constData(),
                          QFile::encodeName(record).constData()),
                 0);
    }
    const Run result = finish(child);

    QCOMPARE(result.exitCode, 1);
    const QString why = QStringLiteral("the file was removed or replaced: '%1'").arg(record);
    QVERIFY2(
        result.standardError.contains(QStringLiteral("Could not write the run's record: ") + why),
        qPrintable(result.standardError));
    QCOMPARE(result.log.last(), QStringLiteral("run ended: 1 record not written: ") + why);
    // Nothing went into the file that took the name.
    QCOMPARE(readFile(record),
             how == QLatin1String("replace") ? QByteArray("{\"other\":1}\n") : QByteArray());
    // The run did its work: the device took the image.
    QCOMPARE(QDir(path(QStringLiteral("images"))).entryList(QDir::Files).size(), 1);
}

void TestRunRecord::recordAfterAnUnfinishedLine_data()
{
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<QByteArray>("kept"); // what stays before the new record

    QTest::newRow("an empty file") << QByteArray() << QByteArray();
    QTest::newRow("a file of whole records")
        << QByteArray("{\"earlier\":1}\n") << QByteArray("{\"earlier\":1}\n");
    // What a short write on a full disk leaves: its line break did not get
    // in either.
    QTest::newRow("a file ending inside a record")
        << QByteArray("{\"earlier\":1,\"rea") << QByteArray("{\"earlier\":1,\"rea\n");
}

// The record always starts on a line of its own: after a record cut short
// it is not glued onto it, where neither would be read.
void TestRunRecord::recordAfterAnUnfinishedLine()
{
    QFETCH(QByteArray, before);
    QFETCH(QByteArray, kept);

    if (!before.isEmpty())
        writeFile(QStringLiteral("record.jsonl"), before);
    const Run result = run({QStringLiteral("/SERIALAB1234567")}, {});
    QCOMPARE(result.exitCode, 0);

    const QByteArray file = readFile(path(QStringLiteral("record.jsonl")));
    QVERIFY2(file.startsWith(kept), file.constData());
    const QByteArray added = file.mid(kept.size());
    QCOMPARE(added.count('\n'), 1);
    QVERIFY(added.endsWith('\n'));
    QJsonParseError error;
    const QJsonDocument record = QJsonDocument::fromJson(added, &error);
    QCOMPARE(error.error, QJsonParseError::NoError);
    QCOMPARE(record.object().value("reason").toString(), QStringLiteral("done"));
}

// Runs one after the other append: each keeps its own line.
void TestRunRecord::recordsOfManyRunsStayApart()
{
    writeFile(QStringLiteral("vemo2.bin"), testBytes(700));
    QCOMPARE(run({QStringLiteral("/SERIALAB1234567")}, {}).exitCode, 0);
    QCOMPARE(run({QStringLiteral("vemo2.bin")}, {}).exitCode, 0);
    QCOMPARE(run({QStringLiteral("vemo2.bin")}, {QStringLiteral("--device=nope")}).exitCode, 4);
    const QList<QJsonObject> all = records();
    QCOMPARE(all.size(), 3);
    QCOMPARE(all.at(0).value("run").toString(), QStringLiteral("serial"));
    QCOMPARE(all.at(1).value("status").toInt(), 0);
    QCOMPARE(all.at(1).value("bytesTaken").toInt(), 700);
    QCOMPARE(all.at(2).value("status").toInt(), 4);
    QVERIFY(all.at(0).value("pid") != all.at(1).value("pid"));
}

QTEST_GUILESS_MAIN(TestRunRecord)
#include "tst_runrecord.moc"
