// The receive path: continuous reading on IN 0x81, one text per finished
// read, the silent restart after a read error.

#include "tests/link/LinkFixture.h"

#include <QtTest>

using usbio::Status;
namespace st = usbio::status;

// Records what the link hands to the window.
struct Received
{
    QList<QByteArray> texts;
    QStringList order; // "done" / "data" as the callbacks came
    QList<TObject *> senders;

    void bind(TVemoUSBinterface &link, bool withReadDone)
    {
        link.OnDataReceived = [this](TObject *sender, AnsiString &data) {
            order << QStringLiteral("data");
            senders << sender;
            texts << data;
            data = "changed by the window"; // the link drops the text after the call
        };
        if (withReadDone) {
            link.OnReadDone = [this](TObject *sender, const IDispatchRef &) {
                order << QStringLiteral("done");
                senders << sender;
            };
        }
    }
};

class LinkReceiveTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void textOfEachRead_data();
    void textOfEachRead();
    void textStopsAtByteCount_data();
    void textStopsAtByteCount();
    void readDoneComesFirst();
    void unsetCallbacksAreSkipped();
    void startReceiveCalls();
    void startReceiveWhileReceiving();
    void startRefused_data();
    void startRefused();
    void stopReceive_data();
    void stopReceive();
    void stopWhileStoppedCallsNothing();
    void completionAfterStopIsIgnored();
    void readErrorRestartsSilently();
    void readErrorWithFailedRestartStopsReading_data();
    void readErrorWithFailedRestartStopsReading();
};

void LinkReceiveTest::textOfEachRead_data()
{
    QTest::addColumn<QByteArray>("sent");
    QTest::addColumn<QList<QByteArray>>("texts");

    QTest::newRow("16 non-zero bytes")
        << QByteArray("0123456789ABCDEF") << QList<QByteArray>{"0123456789ABCDEF"};
    QTest::newRow("zero byte inside") << QByteArray("ab\0de", 5) << QList<QByteArray>{"ab"};
    QTest::newRow("zero byte first") << QByteArray("\0xyz", 4) << QList<QByteArray>{""};
    QTest::newRow("longer than one read")
        << QByteArray("Flash is BLANK\r\nOK") << QList<QByteArray>{"Flash is BLANK\r\n", "OK"};
    QTest::newRow("8-bit bytes kept")
        << QByteArray("\xB0\xE4\xFF\x7F") << QList<QByteArray>{QByteArray("\xB0\xE4\xFF\x7F")};
    QTest::newRow("shorter read after longer")
        << QByteArray("AAAAAAAAAAAAAAAAbb") << QList<QByteArray>{"AAAAAAAAAAAAAAAA", "bb"};
}

void LinkReceiveTest::textOfEachRead()
{
    QFETCH(QByteArray, sent);
    QFETCH(QList<QByteArray>, texts);

    LinkFixture f;
    QVERIFY(f.openAndReceive());
    Received received;
    received.bind(f.link(), false);

    f.device()->sendToHost(sent);
    QVERIFY(LinkFixture::waitFor([&] { return received.texts.size() >= texts.size(); }));
    LinkFixture::settle();
    QCOMPARE(received.texts, texts);
    QCOMPARE(f.journal().count(QStringLiteral("R:ReadData")), texts.size());
}

void LinkReceiveTest::textStopsAtByteCount_data()
{
    QTest::addColumn<QByteArray>("sent");
    QTest::addColumn<int>("reportedCount");
    QTest::addColumn<QByteArray>("text");

    // The array holds stale bytes ('#') behind what the read gave.
    QTest::newRow("three bytes") << QByteArray("abc") << 3 << QByteArray("abc");
    QTest::newRow("zero bytes") << QByteArray("abc") << 0 << QByteArray("");
    QTest::newRow("fewer than given") << QByteArray("abcdef") << 2 << QByteArray("ab");
    QTest::newRow("zero before count") << QByteArray("a\0cdef", 6) << 6 << QByteArray("a");
    QTest::newRow("count beyond array")
        << QByteArray("0123456789ABCDEF") << 40 << QByteArray("0123456789ABCDEF");
}

void LinkReceiveTest::textStopsAtByteCount()
{
    QFETCH(QByteArray, sent);
    QFETCH(int, reportedCount);

    LinkFixture f;
    QVERIFY(f.openAndReceive());
    f.journal().staleFill = '#';
    f.journal().forcedReadCounts = {reportedCount};
    Received received;
    received.bind(f.link(), false);

    f.device()->sendToHost(sent);
    QVERIFY(LinkFixture::waitFor([&] { return !received.texts.isEmpty(); }));
    QTEST(received.texts.first(), "text");
}

void LinkReceiveTest::readDoneComesFirst()
{
    LinkFixture f;
    QVERIFY(f.openAndReceive());
    Received received;
    received.bind(f.link(), true);

    f.device()->sendToHost("hello");
    QVERIFY(LinkFixture::waitFor([&] { return received.texts.size() == 1; }));
    QCOMPARE(received.order, (QStringList{QStringLiteral("done"), QStringLiteral("data")}));
    QCOMPARE(received.senders.at(0), received.senders.at(1));
    QVERIFY(qobject_cast<TUSBIOInterface3 *>(received.senders.at(0)) != nullptr);
    QCOMPARE(received.texts.first(), QByteArray("hello"));
}

void LinkReceiveTest::unsetCallbacksAreSkipped()
{
    LinkFixture f;
    QVERIFY(f.openAndReceive());
    f.device()->sendToHost("nobody listens");
    QVERIFY(
        LinkFixture::waitFor([&] { return f.journal().count(QStringLiteral("R:ReadData")) == 1; }));

    // Reading goes on.
    Received received;
    received.bind(f.link(), false);
    f.device()->sendToHost("next");
    QVERIFY(LinkFixture::waitFor([&] { return received.texts.size() == 1; }));
    QCOMPARE(received.texts.first(), QByteArray("next"));
}

void LinkReceiveTest::startReceiveCalls()
{
    LinkFixture f;
    QCOMPARE(f.open(), Status(0));
    f.journal().calls.clear();

    QCOMPARE(f.link().StartReceive(false), Status(0));
    QCOMPARE(f.journal().calls, QStringList{QStringLiteral("R:StartReading(16,5,5)")});
    QCOMPARE(f.link().StopReceive(), Status(0));

    f.journal().calls.clear();
    QCOMPARE(f.link().StartReceive(true), Status(0));
    QCOMPARE(f.journal().calls, (QStringList{QStringLiteral("R:ResetPipe"),
                                             QStringLiteral("R:StartReading(16,5,5)")}));
}

void LinkReceiveTest::startReceiveWhileReceiving()
{
    LinkFixture f;
    QVERIFY(f.openAndReceive());
    f.journal().calls.clear();
    QCOMPARE(f.link().StartReceive(true), Status(0));
    QVERIFY(f.journal().calls.isEmpty());
}

void LinkReceiveTest::startRefused_data()
{
    QTest::addColumn<bool>("resetFirst");
    QTest::addColumn<QString>("failing");
    QTest::addColumn<QStringList>("calls");

    QTest::newRow("start reading refused")
        << false << "R:StartReading"
        << QStringList{QStringLiteral("R:StartReading(16,5,5)"), QStringLiteral("R:StopReading")};
    QTest::newRow("start reading refused after reset")
        << true << "R:StartReading"
        << QStringList{QStringLiteral("R:ResetPipe"), QStringLiteral("R:StartReading(16,5,5)"),
                       QStringLiteral("R:StopReading")};
    QTest::newRow("reset refused")
        << true << "R:ResetPipe" << QStringList{QStringLiteral("R:ResetPipe")};
}

void LinkReceiveTest::startRefused()
{
    QFETCH(bool, resetFirst);
    QFETCH(QString, failing);
    QFETCH(QStringList, calls);

    LinkFixture f;
    QCOMPARE(f.open(), Status(0));
    f.journal().calls.clear();
    f.journal().force(failing, st::TransferFailed, 1);

    QCOMPARE(f.link().StartReceive(resetFirst), st::TransferFailed);
    QCOMPARE(f.journal().calls, calls);

    // Nothing is left behind: reading is stopped, so StopReceive calls
    // nothing, and the next start reads.
    f.journal().calls.clear();
    QCOMPARE(f.link().StopReceive(), Status(0));
    QVERIFY(f.journal().calls.isEmpty());
    Received received;
    received.bind(f.link(), false);
    f.device()->sendToHost("lost");
    LinkFixture::settle();
    QVERIFY(received.texts.isEmpty());

    QCOMPARE(f.link().StartReceive(resetFirst), Status(0));
    f.device()->sendToHost("read");
    QVERIFY(LinkFixture::waitFor([&] { return received.texts.contains("read"); }));
}

void LinkReceiveTest::stopReceive_data()
{
    QTest::addColumn<Status>("resetStatus");
    QTest::newRow("reset done") << Status(0);
    QTest::newRow("reset refused") << st::NotBound;
}

void LinkReceiveTest::stopReceive()
{
    QFETCH(Status, resetStatus);
    LinkFixture f;
    QVERIFY(f.openAndReceive());
    f.journal().calls.clear();
    if (resetStatus != 0)
        f.journal().force(QStringLiteral("R:ResetPipe"), resetStatus, 1);

    QCOMPARE(f.link().StopReceive(), resetStatus);
    QCOMPARE(f.journal().calls,
             (QStringList{QStringLiteral("R:StopReading"), QStringLiteral("R:ResetPipe")}));
    // Stopped whatever the reset said.
    f.journal().calls.clear();
    QCOMPARE(f.link().StopReceive(), Status(0));
    QVERIFY(f.journal().calls.isEmpty());
}

void LinkReceiveTest::stopWhileStoppedCallsNothing()
{
    LinkFixture f;
    QCOMPARE(f.open(), Status(0));
    f.journal().calls.clear();
    QCOMPARE(f.link().StopReceive(), Status(0));
    QVERIFY(f.journal().calls.isEmpty());
}

void LinkReceiveTest::completionAfterStopIsIgnored()
{
    LinkFixture f;
    QVERIFY(f.openAndReceive());
    Received received;
    received.bind(f.link(), true);
    QCOMPARE(f.link().StopReceive(), Status(0));
    f.journal().calls.clear();

    // A read that finished before the stop reports in after it.
    f.journal().components.at(0)->raise(usbio::EventId::ReadComplete);
    LinkFixture::settle();

    QVERIFY(received.order.isEmpty());
    QVERIFY(f.journal().calls.isEmpty()); // read data is not called
}

void LinkReceiveTest::readErrorRestartsSilently()
{
    LinkFixture f;
    QCOMPARE(f.open(), Status(0));
    Received received;
    received.bind(f.link(), true);
    // The first read ends in an error.
    f.device()->faults().readErrors = 1;
    f.journal().calls.clear();

    QCOMPARE(f.link().StartReceive(false), Status(0));
    QVERIFY(LinkFixture::waitFor(
        [&] { return f.journal().count(QStringLiteral("R:StartReading")) == 2; }));
    LinkFixture::settle();
    QCOMPARE(f.journal().calls,
             (QStringList{QStringLiteral("R:StartReading(16,5,5)"), QStringLiteral("R:ReadData"),
                          QStringLiteral("R:StopReading"), QStringLiteral("R:ResetPipe"),
                          QStringLiteral("R:StartReading(16,5,5)")}));
    QVERIFY(received.order.isEmpty()); // the window is told nothing
    QVERIFY(f.boxes().isEmpty());

    f.device()->sendToHost("after");
    QVERIFY(LinkFixture::waitFor([&] { return received.texts.size() == 1; }));
    QCOMPARE(received.texts.first(), QByteArray("after"));
    QCOMPARE(received.order, (QStringList{QStringLiteral("done"), QStringLiteral("data")}));
}

void LinkReceiveTest::readErrorWithFailedRestartStopsReading_data()
{
    QTest::addColumn<QString>("failing");
    QTest::addColumn<QStringList>("calls");

    const QStringList stopped = {QStringLiteral("R:ReadData"), QStringLiteral("R:StopReading"),
                                 QStringLiteral("R:ResetPipe")};
    QTest::newRow("start reading refused")
        << "R:StartReading"
        << stopped + QStringList{QStringLiteral("R:StartReading(16,5,5)"),
                                 QStringLiteral("R:StopReading")};
    QTest::newRow("pipe reset refused") << "R:ResetPipe" << stopped;
}

void LinkReceiveTest::readErrorWithFailedRestartStopsReading()
{
    QFETCH(QString, failing);
    QFETCH(QStringList, calls);

    LinkFixture f;
    QCOMPARE(f.open(), Status(0));
    Received received;
    received.bind(f.link(), false);
    f.device()->faults().readErrors = 1;
    QCOMPARE(f.link().StartReceive(false), Status(0));
    // A step of the restart is refused.
    f.journal().force(failing, st::TransferFailed, 1);
    f.journal().calls.clear();

    QVERIFY(LinkFixture::waitFor([&] { return f.journal().calls.size() >= calls.size(); }));
    LinkFixture::settle();
    QCOMPARE(f.journal().calls, calls);
    f.device()->sendToHost("unheard");
    LinkFixture::settle(20);
    QVERIFY(received.texts.isEmpty());
    QVERIFY(f.boxes().isEmpty());

    // Stopped: StopReceive has nothing to do, and the window starts it again.
    f.journal().calls.clear();
    QCOMPARE(f.link().StopReceive(), Status(0));
    QVERIFY(f.journal().calls.isEmpty());
    QCOMPARE(f.link().StartReceive(true), Status(0));
    f.device()->sendToHost("heard");
    QVERIFY(LinkFixture::waitFor([&] { return received.texts.contains("heard"); }));
}

QTEST_GUILESS_MAIN(LinkReceiveTest)
#include "tst_link_receive.moc"
