#include "app/Application.h"
#include "app/BatchRun.h"
#include "app/ProgramOptions.h"
#include "app/RunWatchdog.h"
#include "app/Unit1.h"
#include "dialogue/ExitStatus.h"
#include "dialogue/RunOutcome.h"
#include "tests/app/WindowFixture.h"
#include "tests/support/TestMain.h"

#include <QCoreApplication>
#include <QFile>
#include <QMap>
#include <QProcess>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>

#include <stdexcept>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

// How a run ends: the exit status and the line naming it, decided from what
// was recorded of the run by the one table of statuses; an exception in a
// handler; the watchdog that ends a process whose message loop is blocked
// past its time-out (run in a child process, which it ends).
class TestRunEnd : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void exitStatus_data();
    void exitStatus();
    void exitStatusTable();
    void exceptionInAHandler_data();
    void exceptionInAHandler();
    void reasonKept_data();
    void reasonKept();
    void logFileLostInTheWindow();
    void watchdog_data();
    void watchdog();
};

namespace {

// The child mode of this program: a watchdog with this deadline, then a
// loop blocked this long, then a normal end.
const char *const kChildOption = "--watchdog-child";

using dialogue::EndKind;
// Every kind of end, by its name.
const QMap<QString, EndKind> kEndKinds{
    {"Done", EndKind::Done},         {"Failed", EndKind::Failed},
    {"BadInput", EndKind::BadInput}, {"TimeOut", EndKind::TimeOut},
    {"NoDevice", EndKind::NoDevice}, {"ImageNotLoaded", EndKind::ImageNotLoaded},
};

// An object whose handler raises, as a failing click or tick would.
class RaisingObject : public QObject
{
public:
    bool event(QEvent *event) override
    {
        if (event->type() == QEvent::User)
            throw std::runtime_error("handler failed");
        return QObject::event(event);
    }
};

int runWatchdogChild(int deadlineMs, int blockedMs)
{
    RunWatchdog watchdog;
    watchdog.start(std::chrono::milliseconds(deadlineMs));
    std::this_thread::sleep_for(std::chrono::milliseconds(blockedMs));
    return 0;
}

} // namespace

void TestRunEnd::exitStatus_data()
{
    // Each event: "done", "failed:REASON" (a failed end), "KIND:REASON" (an
    // end of that kind), "box:LINE",
    // "certificate:ERROR", "timeout:SECONDS", "exception:MESSAGE",
    // "logfile:WHY" (the copy of the message log lost).
    QTest::addColumn<QStringList>("events");
    QTest::addColumn<bool>("batch");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("line");

    QTest::newRow("done") << QStringList{"done"} << true << 0 << "run ended: 0 done";
    QTest::newRow("never ended") << QStringList{} << true << 1
                                 << "run ended: 1 the run did not reach its end";
    QTest::newRow("failed") << QStringList{"failed:Error writing serial number!"} << true << 1
                            << "run ended: 1 Error writing serial number!";
    QTest::newRow("an image not loaded")
        << QStringList{"ImageNotLoaded:transfer failed: device removed at 2048 of 8000 bytes"}
        << true << 5 << "run ended: 5 transfer failed: device removed at 2048 of 8000 bytes";
    QTest::newRow("bad input") << QStringList{"BadInput:File not found"} << true << 2
                               << "run ended: 2 File not found";
    QTest::newRow("no usable device")
        << QStringList{"NoDevice:No Vemo found"} << true << 4 << "run ended: 4 No Vemo found";
    QTest::newRow("image not loaded")
        << QStringList{"ImageNotLoaded:verification failed: the device did not answer"} << true << 5
        << "run ended: 5 verification failed: the device did not answer";
    QTest::newRow("the first failure is kept")
        << QStringList{"done", "NoDevice:Could not open device", "ImageNotLoaded:later"} << true
        << 4 << "run ended: 4 Could not open device";
    QTest::newRow("done after a failure") << QStringList{"BadInput:File not found", "done"} << true
                                          << 2 << "run ended: 2 File not found";
    // The box says why a run that stopped by itself never reached its end.
    QTest::newRow("a box, never ended")
        << QStringList{"box:USBIO not registerd: USBIOCOM not registered! Use regsvr32 "
                       "usbio230.dll"}
        << true << 1
        << "run ended: 1 a message box was shown: USBIO not registerd: USBIOCOM not registered! "
           "Use regsvr32 usbio230.dll";
    QTest::newRow("done with a box")
        << QStringList{"box:Error: Error sending Update Command", "box:Error: second", "done"}
        << true << 1 << "run ended: 1 a message box was shown: Error: Error sending Update Command";
    QTest::newRow("done without a certificate")
        << QStringList{"certificate:no printer", "done"} << true << 1
        << "run ended: 1 certificate could not be made: no printer";
    QTest::newRow("timed out") << QStringList{"timeout:60", "TimeOut:time-out after 60 s"} << true
                               << 3 << "run ended: 3 time-out after 60 s";
    // The time-out counts over everything else, with or without --batch.
    QTest::newRow("timed out after the end") << QStringList{"done", "box:Error: x", "timeout:1"}
                                             << true << 3 << "run ended: 3 time-out after 1 s";
    QTest::newRow("exception") << QStringList{"exception:boom", "done"} << true << 1
                               << "run ended: 1 exception: boom";
    QTest::newRow("a failure before an exception")
        << QStringList{"NoDevice:No Vemo found", "exception:boom"} << true << 4
        << "run ended: 4 No Vemo found";
    QTest::newRow("operator's run, timed out")
        << QStringList{"timeout:5"} << false << 3 << "run ended: 3 time-out after 5 s";
    // A production command line without --batch: its end still tells.
    QTest::newRow("command line without --batch, failed")
        << QStringList{"NoDevice:No Vemo found", "box:Error: No Vemo found"} << false << 4
        << "run ended: 4 No Vemo found";
    QTest::newRow("operator's run, boxes shown")
        << QStringList{"box:Error: File does not exist"} << false << 0 << "run ended: 0 done";
    QTest::newRow("operator's run, never ended")
        << QStringList{} << false << 0 << "run ended: 0 done";
    // An exception that reached the application is a failed run, also for
    // an operator.
    QTest::newRow("operator's run, exception")
        << QStringList{"exception:"} << false << 1 << "run ended: 1 exception: unknown";
    // A run whose log file was lost left no record for the line script:
    // failed, unless a worse kind holds already.
    QTest::newRow("done, log file lost")
        << QStringList{"logfile:cannot write '-': No space left on device", "done"} << true << 1
        << "run ended: 1 log file lost: cannot write '-': No space left on device";
    QTest::newRow("log file lost after a failed end")
        << QStringList{"NoDevice:No Vemo found", "logfile:x"} << true << 4
        << "run ended: 4 No Vemo found";
    QTest::newRow("log file lost, timed out")
        << QStringList{"logfile:x", "timeout:5"} << true << 3 << "run ended: 3 time-out after 5 s";
    QTest::newRow("log file lost, the first reason kept")
        << QStringList{"logfile:first", "logfile:second", "done"} << true << 1
        << "run ended: 1 log file lost: first";
    // An operator saw the line in the window.
    QTest::newRow("operator's run, log file lost")
        << QStringList{"logfile:x", "done"} << false << 0 << "run ended: 0 done";
}

void TestRunEnd::exitStatus()
{
    QFETCH(QStringList, events);
    QFETCH(bool, batch);
    QFETCH(int, status);
    QFETCH(QString, line);

    dialogue::RunOutcome outcome;
    for (const QString &event : std::as_const(events)) {
        const QString what = event.section(QLatin1Char(':'), 0, 0);
        const QString rest = event.section(QLatin1Char(':'), 1);
        if (what == QLatin1String("done"))
            outcome.recordEnd(dialogue::EndKind::Done, what);
        else if (what == QLatin1String("failed"))
            outcome.recordEnd(dialogue::EndKind::Failed, rest);
        else if (what == QLatin1String("box"))
            outcome.recordBox(rest);
        else if (what == QLatin1String("certificate"))
            outcome.recordCertificateFailure(rest);
        else if (what == QLatin1String("timeout"))
            outcome.recordTimeOut(rest.toInt());
        else if (what == QLatin1String("exception"))
            outcome.recordException(rest);
        else if (what == QLatin1String("logfile"))
            outcome.recordLogFileFailure(rest);
        else {
            QVERIFY2(kEndKinds.contains(what), qPrintable(event));
            outcome.recordEnd(kEndKinds.value(what), rest);
        }
    }
    QCOMPARE(outcome.exitStatus(batch), status);
    QCOMPARE(outcome.endLine(batch), line);
}

void TestRunEnd::exitStatusTable()
{
    // One row per kind, and no status twice: a script tells them apart.
    QSet<int> statuses;
    for (auto it = kEndKinds.cbegin(); it != kEndKinds.cend(); ++it) {
        const dialogue::EndKind kind = it.value();
        int rows = 0;
        for (const dialogue::ExitStatusRow &row : dialogue::ExitStatusTable) {
            if (row.kind == kind) {
                ++rows;
                QVERIFY(!statuses.contains(row.status));
                statuses << row.status;
                QCOMPARE(dialogue::exitStatusOf(kind), row.status);
            }
        }
        QVERIFY2(rows == 1, qPrintable(it.key()));
    }
    QCOMPARE(dialogue::exitStatusOf(dialogue::EndKind::Done), 0);
    QCOMPARE(ProgramOptions::ErrorExitCode, dialogue::exitStatusOf(dialogue::EndKind::BadInput));
    // Every row is in --help, with its number.
    const QString usage = ProgramOptions::usage(QStringLiteral("vemotool"));
    for (const dialogue::ExitStatusRow &row : dialogue::ExitStatusTable)
        QVERIFY2(usage.contains(QStringLiteral("\n  %1  ").arg(row.status)), qPrintable(usage));
}

void TestRunEnd::exceptionInAHandler_data()
{
    QTest::addColumn<bool>("batch");
    QTest::newRow("operator's run") << false;
    QTest::newRow("--batch") << true;
}

void TestRunEnd::exceptionInAHandler()
{
    QFETCH(bool, batch);
    WindowFixture fixture;
    TForm1 &window = fixture.start();
    ProgramOptions options;
    options.batch = batch;
    BatchRun run(options, nullptr);
    // The window tells the run of its dialogue when it is made with it.
    run.attach(window.Dialogue());

    // A handler raises; the application shows it and goes on.
    RaisingObject raising;
    QCoreApplication::postEvent(&raising, new QEvent(QEvent::User));
    QCoreApplication::sendPostedEvents(&raising);
    QCOMPARE(fixture.host().exceptions(), QStringList{QStringLiteral("handler failed")});

    QCOMPARE(run.finish(window), 1);
    if (batch)
        QCOMPARE(fixture.log().last(), QStringLiteral("run ended: 1 exception: handler failed"));
    else
        QVERIFY(!fixture.log().last().startsWith(QStringLiteral("run ended")));
}

void TestRunEnd::reasonKept_data()
{
    // Ends in order: failed or not, and the reason given.
    QTest::addColumn<QList<bool>>("failed");
    QTest::addColumn<QStringList>("reasons");
    QTest::addColumn<QString>("kept");

    QTest::newRow("one end") << QList<bool>{false} << QStringList{"update at 100 %"}
                             << "update at 100 %";
    QTest::newRow("first of two done") << QList<bool>{false, false} << QStringList{"a", "b"} << "a";
    QTest::newRow("a failure after a done")
        << QList<bool>{false, true, true} << QStringList{"done", "first failure", "second"}
        << "first failure";
    QTest::newRow("done after a failure")
        << QList<bool>{true, false} << QStringList{"No Vemo found", "done"} << "No Vemo found";
}

void TestRunEnd::reasonKept()
{
    QFETCH(QList<bool>, failed);
    QFETCH(QStringList, reasons);
    QFETCH(QString, kept);

    dialogue::RunOutcome outcome;
    QVERIFY(!outcome.ended());
    for (int i = 0; i < failed.size(); ++i)
        outcome.recordEnd(failed.at(i) ? dialogue::EndKind::Failed : dialogue::EndKind::Done,
                          reasons.at(i));
    QVERIFY(outcome.ended());
    QCOMPARE(outcome.failed(), failed.contains(true));
    QCOMPARE(outcome.reason(), kept);
}

// An operator's window whose log file goes away: the window says so once and
// goes on; the operator's run still ends with 0, an unattended one with 1.
void TestRunEnd::logFileLostInTheWindow()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString log = dir.filePath(QStringLiteral("run.log"));
    WindowFixture fixture;
    ProgramOptions options;
    options.logFile = log;
    TForm1 &window = fixture.start({}, options);
    window.log(QStringLiteral("before"));
    QVERIFY(QFile::remove(log));
    window.CheckLogFile();
    window.log(QStringLiteral("after"));
    window.CheckLogFile();

    const QString lost = QStringLiteral("The log file cannot be kept: '%1' was removed or "
                                        "replaced while the run wrote into it")
                             .arg(log);
    QCOMPARE(fixture.log().count(lost), 1);
    QCOMPARE(fixture.log().mid(fixture.log().size() - 2),
             (QStringList{lost, QStringLiteral("after")}));
    QVERIFY(!QFile::exists(log));
    QVERIFY(window.Outcome().logFileFailed());
    window.Outcome().recordEnd(EndKind::Done, QStringLiteral("done"));
    QCOMPARE(window.Outcome().exitStatus(false), 0);
    QCOMPARE(window.Outcome().exitStatus(true), 1);
}

void TestRunEnd::watchdog_data()
{
    QTest::addColumn<int>("deadlineMs");
    QTest::addColumn<int>("blockedMs");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("standardError");

    QTest::newRow("blocked past the deadline")
        << 100 << 60000 << ProgramOptions::TimeoutExitCode
        << QString::fromLatin1(RunWatchdog::EndLine) + QLatin1Char('\n');
    QTest::newRow("ended before the deadline") << 60000 << 50 << 0 << "";
}

void TestRunEnd::watchdog()
{
    QFETCH(int, deadlineMs);
    QFETCH(int, blockedMs);
    QFETCH(int, exitCode);
    QFETCH(QString, standardError);

    QProcess child;
    child.start(QCoreApplication::applicationFilePath(),
                {QString::fromLatin1(kChildOption), QString::number(deadlineMs),
                 QString::number(blockedMs)});
    QVERIFY(child.waitForFinished(30000));
    QCOMPARE(child.exitStatus(), QProcess::NormalExit);
    QCOMPARE(child.exitCode(), exitCode);
    QCOMPARE(QString::fromLocal8Bit(child.readAllStandardError()), standardError);
}

int main(int argc, char *argv[])
{
    if (argc == 4 && std::strcmp(argv[1], kChildOption) == 0)
        return runWatchdogChild(std::atoi(argv[2]), std::atoi(argv[3]));
    useOffscreenUnlessSet();
    VemoApplication app(argc, argv);
    TestRunEnd test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_runend.moc"
