#include "tests/support/TestBytes.h"
#include "tests/support/ToolProcess.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPair>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <csignal>
#include <memory>
#include <sys/types.h>

// SIGTERM, SIGINT, SIGHUP (a terminal that closes) and SIGQUIT sent to a
// calibrated unattended update (a --batch process on the simulated Vemo2)
// at random moments of each of its phases:
// its start-up, a command's wait, the certificate being made (in the
// calibration steps, and as the last thing the run waits for), the image's
// transfer. The simulated device's timings make each phase long enough to be
// hit; the log's lines tell the test where the run is. Every run ends by itself with the status its
// phase calls for (5 during the transfer, else 1; never 0) and its "run ended" line last, leaves
// its log in whole lines and no certificate that is not whole.
class TestBatchSignals : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void signalAtARandomMoment_data();
    void signalAtARandomMoment();

private:
    quint32 m_seed = 0;
    std::unique_ptr<QRandomGenerator> m_random;
};

namespace {

// Where the moment is counted from.
enum class Trigger
{
    ProgramStarted, // the program's own code runs (it holds or handles the signals)
    LogLine,        // the log shows this line
};

constexpr int kRepeats = 3;

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Whether the process's own code has taken the signal over (blocked until
// its handler is in, or handled): before that a signal ends any program.
bool signalsTakenOver(qint64 pid, int signalNumber)
{
    const QList<QByteArray> lines =
        readFile(QStringLiteral("/proc/%1/status").arg(pid)).split('\n');
    const quint64 bit = quint64(1) << (signalNumber - 1);
    for (const QByteArray &line : lines) {
        if (line.startsWith("SigBlk:") || line.startsWith("SigCgt:")) {
            bool ok = false;
            const quint64 mask = line.mid(7).trimmed().toULongLong(&ok, 16);
            if (ok && (mask & bit))
                return true;
        }
    }
    return false;
}

// A certificate is there under its name: it is written whole.
bool certificateWritten(const QString &folder)
{
    return !QDir(folder).entryList({QStringLiteral("*.pdf")}, QDir::Files).isEmpty();
}

} // namespace

void TestBatchSignals::initTestCase()
{
    bool ok = false;
    m_seed = qEnvironmentVariable("VEMO_TEST_SEED").toUInt(&ok);
    if (!ok)
        m_seed = QRandomGenerator::system()->generate();
    m_random = std::make_unique<QRandomGenerator>(m_seed);
    qInfo("seed %u (VEMO_TEST_SEED=%u repeats the moments)", m_seed, m_seed);
}

void TestBatchSignals::signalAtARandomMoment_data()
{
    QTest::addColumn<QString>("extra");    // fields of the simulated Vemo2
    QTest::addColumn<QString>("timeline"); // of the simulator file
    QTest::addColumn<int>("imageSize");
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<int>("trigger");
    QTest::addColumn<QString>("line"); // for Trigger::LogLine
    QTest::addColumn<int>("withinMs"); // the moment: up to this long after the trigger
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("endLine");   // a pattern; SIG stands for the signal's name
    QTest::addColumn<int>("loaderEntered"); // 1, 0; -1 either
    QTest::addColumn<int>("signalNumber");

    // Each command piece takes 300 ms: the calibration steps' waits last
    // about a second, and the device is sent into its loader only after
    // them.
    const QString slowCommands = QStringLiteral(R"("faults": { "writeCompletionDelayMs": 300 })");
    // Each chunk takes 20 ms: the image of 64008 bytes streams for 20 s.
    const QString slowChunks = QStringLiteral(R"("faults": { "writeCompletionDelayMs": 20 })");
    // The device stays silent on "ABGL?" and sends its calibration line by
    // itself later, when the image is in and it is back with its new
    // firmware: the certificate is the last thing the run waits for.
    const QString lateReply = QStringLiteral(R"("answers": { "ABGL?": "" })");
    const QString lateLine = QStringLiteral(
        R"(, "timeline": [ { "afterMs": 3500, "action": "send", "device": "line",
                             "text": "ABGL13-02-07 +0.00123\r" } ])");

    struct Phase
    {
        const char *name;
        QString extra;
        QString timeline;
        int imageSize;
        QStringList options;
        Trigger trigger;
        const char *line;
        int withinMs;
        int exitCode;
        const char *endLine;
        int loaderEntered;
    };
    const Phase phases[] = {
        {"start-up",
         slowCommands,
         QString(),
         5000,
         {},
         Trigger::ProgramStarted,
         "",
         150,
         1,
         "run ended: 1 interrupted by SIG",
         0},
        {"command wait",
         slowCommands,
         QString(),
         5000,
         {},
         Trigger::LogLine,
         "Device opend: Vemo2 #1",
         600,
         1,
         "run ended: 1 interrupted by SIG",
         0},
        // The certificate takes a few milliseconds after its log line. The
        // reply comes inside the loader request's wait: the request may be on
        // its way already.
        {"certificate in the calibration steps",
         slowCommands,
         QString(),
         5000,
         {},
         Trigger::LogLine,
         "Print out Report:",
         5,
         1,
         "run ended: 1 interrupted by SIG",
         -1},
        {"certificate as the run's last step",
         lateReply,
         lateLine,
         5000,
         {"--verify"},
         Trigger::LogLine,
         "Print out Report:",
         5,
         1,
         "run ended: 1 interrupted by SIG",
         1},
        {"transfer",
         slowChunks,
         QString(),
         64008,
         {},
         Trigger::LogLine,
         "sending File....",
         1500,
         5,
         "run ended: 5 transfer failed: interrupted by SIG at (\\d+) of 64008 bytes",
         1},
    };
    const QList<QPair<int, QString>> signalsSent{{SIGTERM, QStringLiteral("SIGTERM")},
                                                 {SIGINT, QStringLiteral("SIGINT")},
                                                 {SIGHUP, QStringLiteral("SIGHUP")},
                                                 {SIGQUIT, QStringLiteral("SIGQUIT")}};
    for (const Phase &phase : phases) {
        for (const auto &[number, name] : signalsSent) {
            for (int repeat = 1; repeat <= kRepeats; ++repeat)
                QTest::addRow("%s, %s, %d", phase.name, qPrintable(name), repeat)
                    << phase.extra << phase.timeline << phase.imageSize << phase.options
                    << int(phase.trigger) << QString::fromLatin1(phase.line) << phase.withinMs
                    << phase.exitCode
                    << QString::fromLatin1(phase.endLine).replace(QLatin1String("SIG"), name)
                    << phase.loaderEntered << number;
        }
    }
}

void TestBatchSignals::signalAtARandomMoment()
{
    QFETCH(QString, extra);
    QFETCH(QString, timeline);
    QFETCH(int, imageSize);
    QFETCH(QStringList, options);
    QFETCH(int, trigger);
    QFETCH(QString, line);
    QFETCH(int, withinMs);
    QFETCH(int, exitCode);
    QFETCH(QString, endLine);
    QFETCH(int, loaderEntered);
    QFETCH(int, signalNumber);
    const int delayMs = int(m_random->bounded(withinMs + 1));
    const auto where = [&](const QString &what) {
        return QStringLiteral("seed %1, %2 ms after the trigger: %3")
            .arg(m_seed)
            .arg(delayMs)
            .arg(what);
    };

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString certificates = dir.filePath(QStringLiteral("certificates"));
    QVERIFY(QDir().mkpath(certificates));
    const QString image = dir.filePath(QStringLiteral("vemo2.bin"));
    {
        QFile file(image);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QCOMPARE(file.write(testBytes(imageSize)), qint64(imageSize));
    }
    const QString sim = dir.filePath(QStringLiteral("sim.json"));
    {
        QFile file(sim);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(QStringLiteral(R"({ "devices": [ { "id": "line", "generation": "Vemo2",
            "serial": "VX1234567", "restartDelayMs": 100, "eraseDelayMs": 100,
            "loaderAnnouncesBlank": true, "imageFolder": "%1/images",
            "stateFile": "%1/state.json", %2 } ] %3 })")
                       .arg(dir.path(), extra, timeline)
                       .toUtf8());
    }
    const QString log = dir.filePath(QStringLiteral("run.log"));

    ToolProcess child;
    QProcess &process = child.process();
    child.start(
        ToolProcess::inFolder(dir.path()),
        QStringList{QStringLiteral("--batch"), QStringLiteral("--timeout=120"),
                    QStringLiteral("--sim=") + sim,
                    QStringLiteral("--registry=") + dir.filePath(QStringLiteral("registry.json")),
                    QStringLiteral("--log-file=") + log,
                    QStringLiteral("--print-to=") + certificates} +
            options + QStringList{image, QStringLiteral("/CALIBRATE")});
    QVERIFY(process.waitForStarted());

    // The trigger, then the moment.
    const auto logLines = [&] {
        return QString::fromUtf8(readFile(log)).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    };
    const auto triggered = [&] {
        switch (Trigger(trigger)) {
        case Trigger::ProgramStarted:
            return signalsTakenOver(process.processId(), signalNumber);
        case Trigger::LogLine:
            return logLines().contains(line);
        }
        return false;
    };
    QElapsedTimer clock;
    clock.start();
    while (!triggered()) {
        QVERIFY2(process.state() == QProcess::Running,
                 qPrintable(where(QStringLiteral("ended before its trigger:\n") +
                                  logLines().join(QLatin1Char('\n')))));
        QVERIFY2(clock.elapsed() < 60000, qPrintable(where(QStringLiteral("no trigger"))));
        QThread::usleep(500);
    }
    if (delayMs > 0)
        QThread::msleep(delayMs);
    ::kill(pid_t(process.processId()), signalNumber);
    // Sent before the certificate was whole: the run, which ends only after
    // it, had not ended then.
    const bool beforeCertificate = !certificateWritten(certificates);
    const ToolProcess::Result ended = child.finish(60000);
    QVERIFY(ended.finished);

    const QStringList lines = logLines();
    const QString errors = QString::fromLocal8Bit(ended.err);
    QVERIFY2(!ended.crashed, qPrintable(where(QStringLiteral("the program died of the signal:\n") +
                                              lines.join(QLatin1Char('\n')))));
    QVERIFY2(!lines.isEmpty(), qPrintable(where(errors)));

    if (line == QLatin1String("Print out Report:") && !beforeCertificate && ended.exitCode == 0) {
        // The certificate was written and the run had reached its end
        // before the signal came: done is right then.
        qInfo("the signal came after the certificate was whole");
        QCOMPARE(lines.last(), QStringLiteral("run ended: 0 done"));
    } else {
        QVERIFY2(ended.exitCode == exitCode,
                 qPrintable(where(QStringLiteral("status %1:\n%2")
                                      .arg(ended.exitCode)
                                      .arg(lines.join(QLatin1Char('\n'))))));
        const QRegularExpression end(QLatin1Char('^') + endLine + QLatin1Char('$'));
        const QRegularExpressionMatch match = end.match(lines.last());
        QVERIFY2(match.hasMatch(), qPrintable(where(lines.join(QLatin1Char('\n')))));
        if (end.captureCount() > 0) {
            const int sent = match.captured(1).toInt();
            QVERIFY2(sent > 0 && sent < imageSize, qPrintable(where(match.captured(1))));
        }
        if (loaderEntered >= 0) {
            const QJsonObject state =
                QJsonDocument::fromJson(readFile(dir.filePath(QStringLiteral("state.json"))))
                    .object();
            const bool entered =
                state.value(QStringLiteral("loader")).toBool() ||
                state.value(QStringLiteral("firmware")).toString() != QLatin1String("2.10");
            QVERIFY2(entered == bool(loaderEntered),
                     qPrintable(where(QJsonDocument(state).toJson())));
        }
        // An interrupted run loaded no whole image.
        QVERIFY2(QDir(dir.filePath(QStringLiteral("images"))).entryList(QDir::Files).isEmpty() ||
                     exitCode != 5,
                 qPrintable(where(QStringLiteral("the image is in"))));
    }

    // One end line, the last, on standard error as in the log; the log in
    // whole lines.
    QCOMPARE(lines.filter(QRegularExpression(QStringLiteral("^run ended: "))).size(), 1);
    QVERIFY2(!ended.errorLines().isEmpty() && ended.lastErrorLine() == lines.last(),
             qPrintable(errors));
    QVERIFY(readFile(log).endsWith('\n'));
    // Certificates only whole, and nothing else left in their folder.
    const QDir folder(certificates);
    for (const QString &name : folder.entryList(QDir::Files | QDir::Hidden)) {
        QVERIFY2(name.endsWith(QLatin1String(".pdf")) && !name.startsWith(QLatin1Char('.')),
                 qPrintable(where(name)));
        const QByteArray pdf = readFile(folder.filePath(name));
        QVERIFY2(pdf.startsWith("%PDF-") && pdf.trimmed().endsWith("%%EOF"),
                 qPrintable(where(name)));
    }
}

QTEST_GUILESS_MAIN(TestBatchSignals)
#include "tst_batchsignals.moc"
