#include "platform/TerminationSignals.h"

#include <QSignalSpy>
#include <QTest>

#include <csignal>

using platform::TerminationSignals;

// SIGTERM and SIGINT turned into Qt signals from the event loop: the process
// lives on, each signal comes out once and in order, and the handlers that
// were there before are back when the instance goes.
class TestTerminationSignals : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void signalsComeFromTheLoop_data();
    void signalsComeFromTheLoop();
    void previousHandlersComeBack();
    void oneInstanceAtATime();
    void heldSignalsWaitForTheInstance();
    void pendingSignalsDeliveredAtOnce();
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
    std::raise(SIGTERM);
    std::raise(SIGINT);
    TerminationSignals signalsSeen;
    QVERIFY(signalsSeen.installed());
    QSignalSpy spy(&signalsSeen, &TerminationSignals::received);
    QTRY_COMPARE(spy.size(), 2);
    QStringList got{spy.at(0).first().toString(), spy.at(1).first().toString()};
    got.sort();
    QCOMPARE(got, (QStringList{"SIGINT", "SIGTERM"}));
    // Once the instance is in they are no longer held.
    std::raise(SIGTERM);
    QTRY_COMPARE(spy.size(), 3);
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

QTEST_GUILESS_MAIN(TestTerminationSignals)
#include "tst_terminationsignals.moc"
