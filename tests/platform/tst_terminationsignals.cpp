#include "platform/TerminationSignals.h"

#include <QSignalSpy>
#include <QTest>

#include <csignal>

using platform::TerminationSignals;

// SIGTERM, SIGINT, SIGHUP and SIGQUIT turned into Qt signals from the event
// loop: the process lives on, each signal comes out once and in order, and
// the handlers that were there before are back when the instance goes.
// Held from the program's start, they wait for the instance, or end the
// program as before when it lets them through.
class TestTerminationSignals : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void signalsComeFromTheLoop_data();
    void signalsComeFromTheLoop();
    void previousHandlersComeBack();
    void oneInstanceAtATime();
    void heldSignalsWaitForTheInstance();
    void heldSignalsLetThrough_data();
    void heldSignalsLetThrough();
    void pendingSignalsDeliveredAtOnce();
    void pendingIsSeenWithoutTakingIt();
};

namespace {

volatile std::sig_atomic_t g_previousCalled = 0;

extern "C" void previousHandler(int)
{
    g_previousCalled = 1;
}

} // namespace

void TestTerminationSignals::signalsComeFromTheLoop_data()
{
    QTest::addColumn<QList<int>>("raised");
    QTest::addColumn<QStringList>("names");

    QTest::newRow("SIGTERM") << QList<int>{SIGTERM} << QStringList{"SIGTERM"};
    QTest::newRow("SIGINT") << QList<int>{SIGINT} << QStringList{"SIGINT"};
    // A terminal that closes.
    QTest::newRow("SIGHUP") << QList<int>{SIGHUP} << QStringList{"SIGHUP"};
    QTest::newRow("SIGQUIT") << QList<int>{SIGQUIT} << QStringList{"SIGQUIT"};
    QTest::newRow("two before the loop runs")
        << QList<int>{SIGINT, SIGTERM} << QStringList{"SIGINT", "SIGTERM"};
}

void TestTerminationSignals::signalsComeFromTheLoop()
{
    QFETCH(QList<int>, raised);
    QFETCH(QStringList, names);

    TerminationSignals signalsSeen;
    QVERIFY(signalsSeen.installed());
    QSignalSpy spy(&signalsSeen, &TerminationSignals::received);
    for (int number : raised)
        std::raise(number);
    // Nothing inside the interrupted code: only the loop tells.
    QCOMPARE(spy.size(), 0);
    QTRY_COMPARE(spy.size(), names.size());
    QStringList got;
    for (const QList<QVariant> &arguments : spy)
        got << arguments.first().toString();
    QCOMPARE(got, names);
}

void TestTerminationSignals::previousHandlersComeBack()
{
    const auto before = std::signal(SIGTERM, previousHandler);
    {
        TerminationSignals signalsSeen;
        QVERIFY(signalsSeen.installed());
        std::raise(SIGTERM);
        QCOMPARE(int(g_previousCalled), 0);
        QSignalSpy spy(&signalsSeen, &TerminationSignals::received);
        QTRY_COMPARE(spy.size(), 1);
    }
    std::raise(SIGTERM);
    QCOMPARE(int(g_previousCalled), 1);
    std::signal(SIGTERM, before);
}

void TestTerminationSignals::oneInstanceAtATime()
{
    TerminationSignals first;
    TerminationSignals second;
    QVERIFY(first.installed());
    QVERIFY(!second.installed());
    QSignalSpy spy(&first, &TerminationSignals::received);
    std::raise(SIGINT);
    QTRY_COMPARE(spy.size(), 1);
}

void TestTerminationSignals::heldSignalsWaitForTheInstance()
{
    // Held from the program's start: they neither end the process nor get
    // lost before an instance is there.
    TerminationSignals::holdUntilInstalled();
    for (const int number : TerminationSignals::numbers())
        std::raise(number);
    TerminationSignals signalsSeen;
    QVERIFY(signalsSeen.installed());
    QSignalSpy spy(&signalsSeen, &TerminationSignals::received);
    QTRY_COMPARE(spy.size(), 4);
    QStringList got;
    for (const QList<QVariant> &arguments : spy)
        got << arguments.first().toString();
    got.sort();
    QCOMPARE(got, (QStringList{"SIGHUP", "SIGINT", "SIGQUIT", "SIGTERM"}));
    // Once the instance is in they are no longer held.
    std::raise(SIGTERM);
    QTRY_COMPARE(spy.size(), 5);
}

void TestTerminationSignals::heldSignalsLetThrough_data()
{
    QTest::addColumn<int>("number");
    for (const int number : TerminationSignals::numbers())
        QTest::newRow(qPrintable(TerminationSignals::nameOf(number))) << number;
}

// A program that does not take them over after all lets them through: one
// that waited is acted on then, as it would have been (here by the
// handler that stands in for the default end).
void TestTerminationSignals::heldSignalsLetThrough()
{
    QFETCH(int, number);
    g_previousCalled = 0;
    const auto before = std::signal(number, previousHandler);
    TerminationSignals::holdUntilInstalled();
    std::raise(number);
    QCOMPARE(int(g_previousCalled), 0);
    TerminationSignals::letThrough();
    QCOMPARE(int(g_previousCalled), 1);
    std::signal(number, before);
}

void TestTerminationSignals::pendingSignalsDeliveredAtOnce()
{
    QVERIFY(!TerminationSignals::deliverPending()); // no instance
    TerminationSignals signalsSeen;
    QSignalSpy spy(&signalsSeen, &TerminationSignals::received);
    QVERIFY(!TerminationSignals::deliverPending()); // nothing waiting
    std::raise(SIGINT);
    QCOMPARE(spy.size(), 0);
    // Told now, inside the caller, and once only: the loop has none left.
    QVERIFY(TerminationSignals::deliverPending());
    QCOMPARE(spy.size(), 1);
    QCOMPARE(spy.first().first().toString(), QStringLiteral("SIGINT"));
    QTest::qWait(50);
    QCOMPARE(spy.size(), 1);
}

// A wait that handles no messages sees that a signal came, and leaves it
// to the loop.
void TestTerminationSignals::pendingIsSeenWithoutTakingIt()
{
    QVERIFY(!TerminationSignals::pending()); // no instance
    TerminationSignals signalsSeen;
    QSignalSpy spy(&signalsSeen, &TerminationSignals::received);
    QVERIFY(!TerminationSignals::pending());
    std::raise(SIGHUP);
    QVERIFY(TerminationSignals::pending());
    QVERIFY(TerminationSignals::pending());
    QCOMPARE(spy.size(), 0);
    QTRY_COMPARE(spy.size(), 1);
    QCOMPARE(spy.first().first().toString(), QStringLiteral("SIGHUP"));
    QVERIFY(!TerminationSignals::pending());
}

QTEST_GUILESS_MAIN(TestTerminationSignals)
#include "tst_terminationsignals.moc"
