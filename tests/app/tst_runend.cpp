#include "app/ProgramOptions.h"
#include "app/RunOutcome.h"
#include "app/RunWatchdog.h"

#include <QCoreApplication>
#include <QProcess>
#include <QTest>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

// How a run ends: the exit status decided from what was recorded of it, and
// the watchdog that ends a process whose message loop is blocked past its
// time-out (run in a child process, which it ends).
class TestRunEnd : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void exitStatus_data();
    void exitStatus();
    void reasonKept_data();
    void reasonKept();
    void watchdog_data();
    void watchdog();
};

namespace {

// The child mode of this program: a watchdog with this deadline, then a
// loop blocked this long, then a normal end.
const char *const kChildOption = "--watchdog-child";

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
    // Each event: "done", "failed", "certificate", "timeout".
    QTest::addColumn<QStringList>("events");
    QTest::addColumn<bool>("batch");
    QTest::addColumn<int>("boxes");
    QTest::addColumn<int>("status");

    const int failed = ProgramOptions::RunFailedExitCode;
    const int timeout = ProgramOptions::TimeoutExitCode;
    QTest::newRow("done") << QStringList{"done"} << true << 0 << 0;
    QTest::newRow("never ended") << QStringList{} << true << 0 << failed;
    QTest::newRow("failed") << QStringList{"failed"} << true << 0 << failed;
    QTest::newRow("failed, then done") << QStringList{"failed", "done"} << true << 0 << failed;
    QTest::newRow("done with a box") << QStringList{"done"} << true << 1 << failed;
    QTest::newRow("done without a certificate")
        << QStringList{"certificate", "done"} << true << 0 << failed;
    QTest::newRow("timed out") << QStringList{"timeout", "failed"} << true << 0 << timeout;
    // The time-out counts over everything else, with or without --batch.
    QTest::newRow("timed out after the end")
        << QStringList{"done", "timeout"} << true << 2 << timeout;
    QTest::newRow("operator's run, timed out") << QStringList{"timeout"} << false << 0 << timeout;
    QTest::newRow("operator's run, failed") << QStringList{"failed"} << false << 3 << 0;
    QTest::newRow("operator's run, never ended") << QStringList{} << false << 0 << 0;
}

void TestRunEnd::exitStatus()
{
    QFETCH(QStringList, events);
    QFETCH(bool, batch);
    QFETCH(int, boxes);
    QFETCH(int, status);

    RunOutcome outcome;
    for (const QString &event : std::as_const(events)) {
        if (event == QLatin1String("done"))
            outcome.recordEnd(false, event);
        else if (event == QLatin1String("failed"))
            outcome.recordEnd(true, event);
        else if (event == QLatin1String("certificate"))
            outcome.recordCertificateFailure();
        else
            outcome.recordTimeOut();
    }
    QCOMPARE(outcome.exitStatus(batch, boxes), status);
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

    RunOutcome outcome;
    QVERIFY(!outcome.ended());
    for (int i = 0; i < failed.size(); ++i)
        outcome.recordEnd(failed.at(i), reasons.at(i));
    QVERIFY(outcome.ended());
    QCOMPARE(outcome.failed(), failed.contains(true));
    QCOMPARE(outcome.reason(), kept);
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
    QCoreApplication app(argc, argv);
    TestRunEnd test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_runend.moc"
