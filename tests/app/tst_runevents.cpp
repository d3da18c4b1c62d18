// The run's event stream (--events): the lines RunEvents writes, and the
// program's stream read from outside as a station reads it: the states in
// their order, the bytes the device took, and the end with the record's
// fields, for runs that end every way.

#include "app/ProgramOptions.h"
#include "app/RunEvents.h"
#include "tests/support/TestBytes.h"
#include "tests/support/ToolProcess.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <sys/types.h>

namespace {

constexpr int kImageSize = 5000;

// One object per line, every line one.
QList<QJsonObject> eventsOf(const QByteArray &stream)
{
    QList<QJsonObject> events;
    for (const QByteArray &line : stream.split('\n')) {
        if (line.isEmpty())
            continue;
        QJsonParseError error{};
        const QJsonDocument document = QJsonDocument::fromJson(line, &error);
        if (error.error != QJsonParseError::NoError || !document.isObject()) {
            qWarning("not an event: %s", line.constData());
            return {};
        }
        events << document.object();
    }
    return events;
}

QStringList statesOf(const QList<QJsonObject> &events)
{
    QStringList states;
    for (const QJsonObject &event : events)
        if (event.value(QStringLiteral("event")).toString() == QLatin1String("state"))
            states << event.value(QStringLiteral("state")).toString();
    return states;
}

// Whether wanted is in states in this order (with others between).
bool inOrder(const QStringList &states, const QStringList &wanted)
{
    int at = 0;
    for (const QString &state : states)
        if (at < wanted.size() && state == wanted.at(at))
            ++at;
    return at == wanted.size();
}

} // namespace

class TestRunEvents : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();

    void linesAsWritten();
    void progressIsSaidOncePerPercent();
    void aLostRecordFailsTheEnd();

    void updateSaysItsStatesProgressAndEnd();
    void calibratedRunSaysItPrintsTheCertificate();
    void everyEndIsSaid_data();
    void everyEndIsSaid();
    void sigtermSaysHowFarTheImageGot();
    void aFileIsAppendedTo();
    void refusedWhereItCannotGo_data();
    void refusedWhereItCannotGo();

private:
    QString path(const QString &name) const { return m_dir->filePath(name); }
    // A simulator file of one Vemo2 (more: further keys of the device).
    QString sim(const QString &more = QString());
    ToolProcess::Result run(const QStringList &arguments);

    std::unique_ptr<QTemporaryDir> m_dir;
};

void TestRunEvents::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    QFile image(path(QStringLiteral("vemo2.bin")));
    QVERIFY(image.open(QIODevice::WriteOnly));
    image.write(testBytes(kImageSize, 5));
    QVERIFY(QDir(m_dir->path()).mkpath(QStringLiteral("certificates")));
}

QString TestRunEvents::sim(const QString &more)
{
    const QString file = path(QStringLiteral("sim.json"));
    QFile out(file);
    if (!out.open(QIODevice::WriteOnly))
        return QString();
    out.write(QStringLiteral(R"({ "devices": [ { "id": "a", "generation": "Vemo2",
        "serial": "200000001", "firmware": "2.10", "restartDelayMs": 50, "eraseDelayMs": 50,
        "loaderAnnouncesBlank": true %1 } ] })")
                  .arg(more)
                  .toUtf8());
    return file;
}

ToolProcess::Result TestRunEvents::run(const QStringList &arguments)
{
    return ToolProcess::run(arguments, ToolProcess::inFolder(m_dir->path()));
}

// ---- The lines ------------------------------------------------------------------------------

void TestRunEvents::linesAsWritten()
{
    QCOMPARE(RunEvents::stateLine(QStringLiteral("asking the loader")),
             QByteArray("{\"event\":\"state\",\"state\":\"asking the loader\"}\n"));
    QCOMPARE(RunEvents::stateLine(QStringLiteral("a \"quoted\"\nstate")),
             QByteArray("{\"event\":\"state\",\"state\":\"a \\\"quoted\\\"\\nstate\"}\n"));
    QCOMPARE(RunEvents::progressLine(2048, 8000),
             QByteArray("{\"event\":\"progress\",\"bytes\":2048,\"of\":8000}\n"));
    // The kind, the status and the reason first, then the record's fields.
    const QJsonObject record{{QStringLiteral("status"), 5},
                             {QStringLiteral("reason"), QStringLiteral("transfer failed")},
                             {QStringLiteral("bytesTaken"), 2048},
                             {QStringLiteral("serial"), QJsonValue::Null}};
    const QByteArray line = RunEvents::endLine(record);
    QVERIFY2(line.startsWith("{\"event\":\"end\",\"status\":5,\"reason\":\"transfer failed\","),
             line.constData());
    QVERIFY(line.endsWith("}\n"));
    QJsonObject back = QJsonDocument::fromJson(line).object();
    QCOMPARE(back.value(QStringLiteral("event")).toString(), QStringLiteral("end"));
    back.remove(QStringLiteral("event"));
    QCOMPARE(back, record);
}

void TestRunEvents::progressIsSaidOncePerPercent()
{
    const QString file = path(QStringLiteral("events.jsonl"));
    {
        RunEvents events;
        QString error;
        QVERIFY2(events.open(file, &error), qPrintable(error));
        for (qint64 taken = 64; taken < 100000; taken += 64)
            events.progress(taken, 100000);
        events.progress(100000, 100000);
        // A second transfer counts from nothing again.
        events.progress(64, 128);
        events.progress(128, 128);
    }
    QFile in(file);
    QVERIFY(in.open(QIODevice::ReadOnly));
    const QList<QJsonObject> events = eventsOf(in.readAll());
    // One line per percent from the first chunk's 0 up to 100, and the
    // second transfer's two.
    QCOMPARE(events.size(), 101 + 2);
    qint64 last = -1;
    for (int i = 0; i <= 100; ++i) {
        const qint64 bytes = events.at(i).value(QStringLiteral("bytes")).toInteger();
        QVERIFY(bytes > last);
        QCOMPARE(bytes * 100 / 100000, qint64(i));
        last = bytes;
    }
    QCOMPARE(events.at(0).value(QStringLiteral("bytes")).toInteger(), 64);
    QCOMPARE(events.at(100).value(QStringLiteral("bytes")).toInteger(), 100000);
    QCOMPARE(events.at(101).value(QStringLiteral("bytes")).toInteger(), 64);
    QCOMPARE(events.at(102).value(QStringLiteral("of")).toInteger(), 128);
}

void TestRunEvents::aLostRecordFailsTheEnd()
{
    struct Case
    {
        int status;
        QString error;
        int saidStatus;
        QString saidReason;
        QString state;
    };
    const QList<Case> cases{
        {0, QString(), 0, QStringLiteral("done"), QStringLiteral("done")},
        {0, QStringLiteral("disk full"), 1, QStringLiteral("record not written: disk full"),
         QStringLiteral("failed")},
        // A failed run stays as it failed.
        {5, QStringLiteral("disk full"), 5, QStringLiteral("done"), QStringLiteral("failed")},
    };
    for (const Case &one : cases) {
        const QString file = path(QStringLiteral("end.jsonl"));
        QFile::remove(file);
        {
            RunEvents events;
            QString error;
            QVERIFY(events.open(file, &error));
            const QByteArray record =
                QJsonDocument(QJsonObject{{QStringLiteral("status"), one.status},
                                          {QStringLiteral("reason"), QStringLiteral("done")},
                                          {QStringLiteral("pid"), 7}})
                    .toJson(QJsonDocument::Compact);
            events.ended(record, one.error);
            // Nothing follows the end.
            events.state(QStringLiteral("late"));
        }
        QFile in(file);
        QVERIFY(in.open(QIODevice::ReadOnly));
        const QList<QJsonObject> events = eventsOf(in.readAll());
        QCOMPARE(events.size(), 2);
        QCOMPARE(events.at(0).value(QStringLiteral("state")).toString(), one.state);
        QCOMPARE(events.at(1).value(QStringLiteral("status")).toInt(), one.saidStatus);
        QCOMPARE(events.at(1).value(QStringLiteral("reason")).toString(), one.saidReason);
        QCOMPARE(events.at(1).value(QStringLiteral("pid")).toInt(), 7);
    }
}

// ---- The program's stream ------------------------------------------------------------------

void TestRunEvents::updateSaysItsStatesProgressAndEnd()
{
    const ToolProcess::Result ended =
        run({QStringLiteral("--batch"), QStringLiteral("--verify"), QStringLiteral("--events=-"),
             QStringLiteral("--record=records.jsonl"), QStringLiteral("--sim=") + sim(),
             QStringLiteral("vemo2.bin")});
    QVERIFY2(ended.status() == 0, ended.err.constData());
    const QList<QJsonObject> events = eventsOf(ended.out);
    QVERIFY2(!events.isEmpty(), ended.out.constData());
    const QStringList states = statesOf(events);
    QCOMPARE(states.first(), QStringLiteral("starting"));
    QVERIFY2(inOrder(states, {"starting", "asking the loader", "device away", "transferring",
                              "verifying", "done"}),
             qPrintable(states.join(QStringLiteral(", "))));
    QCOMPARE(states.last(), QStringLiteral("done"));
    QVERIFY(!states.contains(QStringLiteral("failed")));

    // The bytes the device took, rising, to the whole image.
    qint64 last = -1;
    int progress = 0;
    for (const QJsonObject &event : events) {
        if (event.value(QStringLiteral("event")).toString() != QLatin1String("progress"))
            continue;
        ++progress;
        const qint64 bytes = event.value(QStringLiteral("bytes")).toInteger();
        QVERIFY(bytes > last);
        QCOMPARE(event.value(QStringLiteral("of")).toInteger(), qint64(kImageSize));
        last = bytes;
    }
    QVERIFY(progress >= 2 && progress <= 100);
    QCOMPARE(last, qint64(kImageSize));

    // The end, last, is the record.
    QJsonObject end = events.last();
    QCOMPARE(end.value(QStringLiteral("event")).toString(), QStringLiteral("end"));
    QCOMPARE(end.value(QStringLiteral("status")).toInt(-1), 0);
    QCOMPARE(end.value(QStringLiteral("reason")).toString(), QStringLiteral("done"));
    QFile records(path(QStringLiteral("records.jsonl")));
    QVERIFY(records.open(QIODevice::ReadOnly));
    const QJsonObject record = QJsonDocument::fromJson(records.readAll()).object();
    end.remove(QStringLiteral("event"));
    QCOMPARE(end, record);
    QCOMPARE(end.value(QStringLiteral("firmwareAfter")).toString(), QStringLiteral("2.11"));
    QCOMPARE(end.value(QStringLiteral("bytesTaken")).toInt(), kImageSize);
    // Standard output carries the stream alone.
    QCOMPARE(ended.out.count('\n'), qsizetype(events.size()));
}

void TestRunEvents::calibratedRunSaysItPrintsTheCertificate()
{
    const ToolProcess::Result ended =
        run({QStringLiteral("--batch"), QStringLiteral("--events=-"),
             QStringLiteral("--print-to=certificates"), QStringLiteral("--sim=") + sim(),
             QStringLiteral("vemo2.bin"), QStringLiteral("/CALIBRATE")});
    QVERIFY2(ended.status() == 0, ended.err.constData());
    const QStringList states = statesOf(eventsOf(ended.out));
    const int printing = int(states.indexOf(QStringLiteral("printing the certificate")));
    QVERIFY2(printing > 0, qPrintable(states.join(QStringLiteral(", "))));
    // Made, the run is where it was before.
    QCOMPARE(states.value(printing + 1), states.value(printing - 1));
    QCOMPARE(states.last(), QStringLiteral("done"));
    const QJsonObject end = eventsOf(ended.out).last();
    QVERIFY(QFile::exists(end.value(QStringLiteral("certificate")).toString()));
}

void TestRunEvents::everyEndIsSaid_data()
{
    QTest::addColumn<QStringList>("arguments"); // after --batch --events=- --record=r.jsonl
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("reason");
    QTest::addColumn<bool>("window"); // the run got as far as its window (and its last line)
    QTest::newRow("no such image")
        << QStringList{"--sim=SIM", "missing.bin"} << 2 << "File not found" << true;
    QTest::newRow("another device named")
        << QStringList{"--sim=SIM", "--device=zz", "vemo2.bin"} << 4 << "*" << true;
    // Before the window: a key store that cannot be read.
    QTest::newRow("a bad input before the window")
        << QStringList{"--sim=SIM", "--registry=/dev/zero", "vemo2.bin"} << 2
        << "bad value for --registry: " << false;
    QTest::newRow("a serial run") << QStringList{"--sim=SIM", "/SERIAL200000009"} << 0 << "done"
                                  << true;
}

void TestRunEvents::everyEndIsSaid()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, status);
    QFETCH(QString, reason);
    QFETCH(bool, window);
    const QString simFile = sim();
    for (QString &argument : arguments)
        argument.replace(QLatin1String("SIM"), simFile);
    const ToolProcess::Result ended =
        run(QStringList{QStringLiteral("--batch"), QStringLiteral("--events=-"),
                        QStringLiteral("--record=r.jsonl")} +
            arguments);
    QCOMPARE(ended.status(), status);
    const QList<QJsonObject> events = eventsOf(ended.out);
    QVERIFY2(events.size() >= 3, ended.out.constData());
    QCOMPARE(statesOf(events).first(), QStringLiteral("starting"));
    QCOMPARE(statesOf(events).last(),
             status == 0 ? QStringLiteral("done") : QStringLiteral("failed"));
    const QJsonObject end = events.last();
    QCOMPARE(end.value(QStringLiteral("event")).toString(), QStringLiteral("end"));
    QCOMPARE(end.value(QStringLiteral("status")).toInt(-1), status);
    if (reason != QLatin1String("*"))
        QVERIFY2(end.value(QStringLiteral("reason")).toString().startsWith(reason),
                 qPrintable(end.value(QStringLiteral("reason")).toString()));
    // The same end as the last line says, and as the record.
    if (window)
        QCOMPARE(ended.lastErrorLine(), QStringLiteral("run ended: %1 %2")
                                            .arg(status)
                                            .arg(end.value(QStringLiteral("reason")).toString()));
    QFile records(path(QStringLiteral("r.jsonl")));
    QVERIFY(records.open(QIODevice::ReadOnly));
    const QJsonObject record = QJsonDocument::fromJson(records.readAll()).object();
    QCOMPARE(record.value(QStringLiteral("status")).toInt(-1), status);
    QCOMPARE(record.value(QStringLiteral("pid")), end.value(QStringLiteral("pid")));
}

void TestRunEvents::sigtermSaysHowFarTheImageGot()
{
    const QString simFile = sim(QStringLiteral(R"(, "faults": { "writeCompletionDelayMs": 20 })"));
    ToolProcess child;
    child.start(ToolProcess::inFolder(m_dir->path()),
                {QStringLiteral("--batch"), QStringLiteral("--events=-"),
                 QStringLiteral("--sim=") + simFile, QStringLiteral("vemo2.bin")});
    // Stopped once the device has taken part of the image.
    QByteArray stream;
    QTRY_VERIFY_WITH_TIMEOUT(
        (stream += child.process().readAllStandardOutput()).contains("\"event\":\"progress\""),
        60000);
    ::kill(pid_t(child.processId()), SIGTERM);
    const ToolProcess::Result ended = child.finish();
    QCOMPARE(ended.status(), 5);
    const QList<QJsonObject> events = eventsOf(stream + ended.out);
    QVERIFY(!events.isEmpty());
    const QJsonObject end = events.last();
    const qint64 taken = end.value(QStringLiteral("bytesTaken")).toInteger(-1);
    QVERIFY2(taken > 0 && taken < kImageSize, qPrintable(QString::number(taken)));
    QCOMPARE(end.value(QStringLiteral("reason")).toString(),
             QStringLiteral("transfer failed: interrupted by SIGTERM at %1 of %2 bytes")
                 .arg(taken)
                 .arg(kImageSize));
    // Its last progress said no more than the device took.
    qint64 said = 0;
    for (const QJsonObject &event : events)
        if (event.value(QStringLiteral("event")).toString() == QLatin1String("progress"))
            said = event.value(QStringLiteral("bytes")).toInteger();
    QVERIFY(said > 0 && said <= taken);
    QCOMPARE(statesOf(events).last(), QStringLiteral("failed"));
}

void TestRunEvents::aFileIsAppendedTo()
{
    const QString simFile = sim();
    for (int i = 0; i < 2; ++i) {
        const ToolProcess::Result ended =
            run({QStringLiteral("--batch"), QStringLiteral("--events=events.jsonl"),
                 QStringLiteral("--sim=") + simFile, QStringLiteral("vemo2.bin")});
        QCOMPARE(ended.status(), 0);
        // Standard output does not carry it.
        QVERIFY(!ended.out.contains("\"event\""));
    }
    QFile file(path(QStringLiteral("events.jsonl")));
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QList<QJsonObject> events = eventsOf(file.readAll());
    QCOMPARE(statesOf(events).count(QStringLiteral("starting")), 2);
    int ends = 0;
    for (const QJsonObject &event : events)
        ends += event.value(QStringLiteral("event")).toString() == QLatin1String("end");
    QCOMPARE(ends, 2);
    QCOMPARE(events.last().value(QStringLiteral("event")).toString(), QStringLiteral("end"));
}

void TestRunEvents::refusedWhereItCannotGo_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("error");
    QTest::newRow("with --list") << QStringList{"--list", "--events=-"}
                                 << "vemotool: option --events does not go with --list, which "
                                    "runs nothing";
    QTest::newRow("with the log on standard output")
        << QStringList{"--batch", "--log-file=-", "--events=-"}
        << "vemotool: bad value for --events: '-' (standard output already carries the message "
           "log)";
    QTest::newRow("with the capture on standard output")
        << QStringList{"--batch", "--capture=-", "--events=-"}
        << "vemotool: bad value for --events: '-' (standard output already carries the capture)";
    QTest::newRow("a folder") << QStringList{"--batch", "--events=DIR"} << "*";
    QTest::newRow("no value") << QStringList{"--batch", "--events="}
                              << "vemotool: option --events needs a value (--events=...)";
    QTest::newRow("with --station") << QStringList{"--station", "--events=-"}
                                    << "vemotool: option --events does not go with --station: "
                                       "each run's events go to the station";
}

void TestRunEvents::refusedWhereItCannotGo()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, error);
    for (QString &argument : arguments)
        argument.replace(QLatin1String("DIR"), m_dir->path());
    const ToolProcess::Result ended = run(arguments);
    QCOMPARE(ended.status(), ProgramOptions::ErrorExitCode);
    QVERIFY(ended.out.isEmpty());
    if (error == QLatin1String("*"))
        QVERIFY2(
            ended.lastErrorLine().startsWith(QLatin1String("vemotool: bad value for --events: ")),
            qPrintable(ended.lastErrorLine()));
    else
        QCOMPARE(ended.lastErrorLine(), error);
}

QTEST_GUILESS_MAIN(TestRunEvents)
#include "tst_runevents.moc"
