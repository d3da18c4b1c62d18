// Command writes: 16-byte zero-filled pieces on OUT 0x01, one in flight,
// the wait of up to CommandWaitMs (1000 ms) for the piece before; the tests
// of a piece that is never written shorten it.

#include "tests/link/LinkFixture.h"

#include <QTimer>
#include <QtTest>

#include <functional>

using usbio::Status;
namespace st = usbio::status;

namespace {

QByteArray piece(const QByteArray &characters)
{
    QByteArray bytes = characters;
    bytes.append(16 - characters.size(), '\0');
    return bytes;
}

// The calls of one piece from hand-over to its completion.
// The wait the tests of a lost piece give it.
constexpr int kShortWaitMs = 100;

const QStringList kPieceCycle = {
    QStringLiteral("C:ResetPipe"), QStringLiteral("C:StartWriting(16,5,5,0)"),
    QStringLiteral("C:WriteData(16,0)"), QStringLiteral("C:StopWriting")};

} // namespace

class LinkTransmitTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void pieces_data();
    void pieces();
    void commandWrittenPerPiece();
    void completionAfterRoundsOfMessages();
    void pieceNotWrittenInTime();
    void lastPieceOfEarlierCommandNotWrittenInTime();
    void failedHandOver_data();
    void failedHandOver();
    void closeForgetsPendingPiece();
    void completionQueuedBeforeCloseIsDropped();
    void commandFromCallbackDuringWait();
    void commandFromHandlerQueuedAheadOfCompletion();
    void linkDestroyedDuringWait();
};

void LinkTransmitTest::pieces_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QList<QByteArray>>("wire");

    QTest::newRow("SP2W") << QByteArray("SP2W\r") << QList<QByteArray>{piece("SP2W\r")};
    QTest::newRow("16 characters")
        << QByteArray("0123456789ABCDEF") << QList<QByteArray>{"0123456789ABCDEF"};
    QTest::newRow("17 characters")
        << QByteArray("0123456789ABCDEFG") << QList<QByteArray>{"0123456789ABCDEF", piece("G")};
    QTest::newRow("33 characters")
        << QByteArray("DTP Calibration certificate No 1\r")
        << QList<QByteArray>{"DTP Calibration ", "certificate No 1", piece("\r")};
    QTest::newRow("8-bit characters")
        << QByteArray("T\xB0\xE4\xFF\r") << QList<QByteArray>{piece("T\xB0\xE4\xFF\r")};
    QTest::newRow("empty") << QByteArray() << QList<QByteArray>{};
}

void LinkTransmitTest::pieces()
{
    QFETCH(QByteArray, text);
    QFETCH(QList<QByteArray>, wire);

    LinkFixture f;
    QCOMPARE(f.open(), Status(0));
    f.journal().calls.clear();
    f.device()->clearRecords();

    QCOMPARE(f.link().SendCommand(text), Status(0));
    QVERIFY(LinkFixture::waitFor(
        [&] { return f.journal().count(QStringLiteral("C:StopWriting")) == wire.size(); }));
    LinkFixture::settle();

    QCOMPARE(f.device()->receivedPieces(), wire);
    QStringList cycles;
    for (int i = 0; i < wire.size(); ++i)
        cycles += kPieceCycle;
    QCOMPARE(f.journal().callsOf(QLatin1Char('C')), cycles);
    QCOMPARE(f.journal().count(QStringLiteral("F:")), 0);
}

void LinkTransmitTest::commandWrittenPerPiece()
{
    LinkFixture f;
    QCOMPARE(f.open(), Status(0));
    QList<TObject *> senders;
    f.link().OnCommandWritten = [&](TObject *sender, const IDispatchRef &) { senders << sender; };

    QCOMPARE(f.link().SendCommand("0123456789ABCDEFG"), Status(0));
    QVERIFY(LinkFixture::waitFor([&] { return senders.size() == 2; }));
    QVERIFY(qobject_cast<TUSBIOInterface3 *>(senders.at(0)) != nullptr);
    QCOMPARE(senders.at(0), senders.at(1));
}

void LinkTransmitTest::completionAfterRoundsOfMessages()
{
    // The wait for the piece before handles message after message until its
    // completion comes, whatever else comes first.
    LinkFixture f;
    QCOMPARE(f.open(), Status(0));
    // Far more than the rounds take: the wait must not end by its time-out.
    f.link().CommandWaitMs = 10000;
    f.device()->clearRecords();
    // Completions come only as this test queues them.
    f.journal().swallowWriteCompletions[QLatin1Char('C')] = true;
    QCOMPARE(f.link().SendCommand("SP2W\r"), Status(0));

    // A chain of queued calls, each queuing the next; the last one queues the
    // piece's completion.
    constexpr int kRounds = 10;
    int rounds = 0;
    std::function<void()> next = [&] {
        if (++rounds < kRounds)
            QTimer::singleShot(0, next);
        else
            f.journal().components.at(1)->raise(usbio::EventId::WriteComplete);
    };
    QTimer::singleShot(0, next);
    f.journal().calls.clear();
    QCOMPARE(f.link().SendCommand("NSF?\r"), Status(0));

    QCOMPARE(rounds, kRounds);
    QCOMPARE(f.journal().count(QStringLiteral("C:AbortPipe")), 0);
    QVERIFY(LinkFixture::waitFor([&] { return f.device()->receivedPieces().size() == 2; }));
    QCOMPARE(f.device()->receivedPieces(), (QList<QByteArray>{piece("SP2W\r"), piece("NSF?\r")}));
}

void LinkTransmitTest::pieceNotWrittenInTime()
{
    LinkFixture f;
    QCOMPARE(f.open(), Status(0));
    QCOMPARE(f.link().CommandWaitMs, 1000); // what the program waits
    f.link().CommandWaitMs = kShortWaitMs;
    f.device()->clearRecords();
    f.journal().swallowWriteCompletions[QLatin1Char('C')] = true;
    f.journal().calls.clear();

    QCOMPARE(f.link().SendCommand("0123456789ABCDEFG"), st::Timeout);
    QCOMPARE(f.device()->receivedPieces(), QList<QByteArray>{"0123456789ABCDEF"});
    QCOMPARE(f.journal().calls.last(), QStringLiteral("C:AbortPipe"));

    // The next command does not wait for the lost piece: it would end in a
    // second time-out otherwise. The writer of the lost piece is stopped
    // before the next one starts.
    f.journal().swallowWriteCompletions[QLatin1Char('C')] = false;
    f.journal().calls.clear();
    QCOMPARE(f.link().SendCommand("NSF?\r"), Status(0));
    QCOMPARE(f.journal().count(QStringLiteral("C:AbortPipe")), 0);
    QCOMPARE(f.journal().calls.first(), QStringLiteral("C:StopWriting"));
    QVERIFY(LinkFixture::waitFor([&] { return f.device()->receivedPieces().size() == 2; }));
    QCOMPARE(f.device()->receivedPieces().last(), piece("NSF?\r"));
}

void LinkTransmitTest::lastPieceOfEarlierCommandNotWrittenInTime()
{
    LinkFixture f;
    QCOMPARE(f.open(), Status(0));
    f.link().CommandWaitMs = kShortWaitMs;
    f.device()->clearRecords();
    f.journal().swallowWriteCompletions[QLatin1Char('C')] = true;

    QCOMPARE(f.link().SendCommand("SP2W\r"), Status(0));
    QCOMPARE(f.link().SendCommand("NSF?\r"), st::Timeout);
    QCOMPARE(f.device()->receivedPieces(), QList<QByteArray>{piece("SP2W\r")});
}

void LinkTransmitTest::failedHandOver_data()
{
    QTest::addColumn<QString>("failing");
    QTest::addColumn<QString>("box");
    QTest::addColumn<QStringList>("calls");

    QTest::newRow("pipe reset") << "C:ResetPipe" << QString()
                                << QStringList{QStringLiteral("C:ResetPipe"),
                                               QStringLiteral("C:StopWriting")};
    // The box's text comes from the reader.
    QTest::newRow("start writing")
        << "C:StartWriting"
        << "Error writing"
        << QStringList{QStringLiteral("C:ResetPipe"), QStringLiteral("C:StartWriting(16,5,5,0)"),
                       QStringLiteral("C:StopWriting"), QStringLiteral("R:ErrorText(E0002003)")};
    QTest::newRow("write data") << "C:WriteData" << QString()
                                << QStringList{QStringLiteral("C:ResetPipe"),
                                               QStringLiteral("C:StartWriting(16,5,5,0)"),
                                               QStringLiteral("C:WriteData(16,0)"),
                                               QStringLiteral("C:StopWriting")};
}

void LinkTransmitTest::failedHandOver()
{
    QFETCH(QString, failing);
    QFETCH(QString, box);
    QFETCH(QStringList, calls);

    LinkFixture f;
    QCOMPARE(f.open(), Status(0));
    f.device()->clearRecords();
    f.journal().calls.clear();
    f.journal().force(failing, st::Busy, 1);

    // The rest of the command is dropped.
    QCOMPARE(f.link().SendCommand("0123456789ABCDEFG"), st::Busy);
    QCOMPARE(f.journal().calls, calls);
    LinkFixture::settle();
    QVERIFY(f.device()->receivedPieces().isEmpty());
    if (box.isEmpty()) {
        QVERIFY(f.boxes().isEmpty());
    } else {
        QCOMPARE(f.boxes().size(), 1);
        QCOMPARE(f.boxes().first().caption, box);
        QCOMPARE(f.boxes().first().text,
                 QString::fromLocal8Bit(f.link().StatusText(long(st::Busy))));
        QCOMPARE(f.boxes().first().flags, 0);
    }

    // Nothing waits for the failed piece: otherwise the next command
    // would run into a time-out.
    f.journal().calls.clear();
    QCOMPARE(f.link().SendCommand("NSF?\r"), Status(0));
    QCOMPARE(f.journal().count(QStringLiteral("C:AbortPipe")), 0);
    QVERIFY(LinkFixture::waitFor([&] { return f.device()->receivedPieces().size() == 1; }));
    QCOMPARE(f.device()->receivedPieces().first(), piece("NSF?\r"));
}

void LinkTransmitTest::closeForgetsPendingPiece()
{
    LinkFixture f;
    QCOMPARE(f.open(), Status(0));
    f.journal().swallowWriteCompletions[QLatin1Char('C')] = true;
    QCOMPARE(f.link().SendCommand("SP2W\r"), Status(0));
    f.link().CloseDevice();
    f.journal().swallowWriteCompletions[QLatin1Char('C')] = false;
    QCOMPARE(f.link().OpenDevice(0), Status(0));
    f.device()->clearRecords();

    QCOMPARE(f.link().SendCommand("NSF?\r"), Status(0));
    QVERIFY(LinkFixture::waitFor([&] { return f.device()->receivedPieces().size() == 1; }));
    QCOMPARE(f.device()->receivedPieces().first(), piece("NSF?\r"));
}

void LinkTransmitTest::completionQueuedBeforeCloseIsDropped()
{
    // A piece's completion already queued when the device closes arrives
    // after the reopen; taken for the next piece's own, it would report that
    // piece written before it is handed over, and the command after it
    // would not wait for it.
    LinkFixture f;
    QCOMPARE(f.open(), Status(0));
    f.link().CommandWaitMs = kShortWaitMs;
    int written = 0;
    f.link().OnCommandWritten = [&](TObject *, const IDispatchRef &) { ++written; };
    f.journal().swallowWriteCompletions[QLatin1Char('C')] = true;
    QCOMPARE(f.link().SendCommand("SP2W\r"), Status(0));
    f.journal().components.at(1)->raise(usbio::EventId::WriteComplete);
    f.link().CloseDevice();
    QCOMPARE(f.link().OpenDevice(0), Status(0));
    f.device()->clearRecords();

    QCOMPARE(f.link().SendCommand("NSF?\r"), Status(0));
    LinkFixture::settle(20);
    QCOMPARE(written, 0);
    // Its own completion is still held back: the next command waits for it.
    QCOMPARE(f.link().SendCommand("SP2W\r"), st::Timeout);
    QCOMPARE(f.device()->receivedPieces(), QList<QByteArray>{piece("NSF?\r")});
}

void LinkTransmitTest::commandFromCallbackDuringWait()
{
    LinkFixture f;
    QVERIFY(f.openAndReceive());
    f.device()->clearRecords();

    bool insideOuter = false;
    Status nestedStatus = 0xFFFFFFFF;
    bool nestedInsideOuter = false;
    f.link().OnDataReceived = [&](TObject *, AnsiString &data) {
        if (data == "PING") {
            nestedInsideOuter = insideOuter;
            nestedStatus = f.link().SendCommand("NESTED\r");
        }
    };

    // The device's text is waiting in the queue when the command starts, so
    // it is handled inside the wait for the first piece.
    f.device()->sendToHost("PING");
    insideOuter = true;
    const Status outer = f.link().SendCommand("AAAAAAAAAAAAAAAABBBB\r");
    insideOuter = false;

    QCOMPARE(outer, Status(0));
    QCOMPARE(nestedStatus, Status(0));
    QVERIFY(nestedInsideOuter);
    QVERIFY(LinkFixture::waitFor([&] { return f.device()->receivedPieces().size() == 3; }));
    QCOMPARE(f.device()->receivedPieces(),
             (QList<QByteArray>{"AAAAAAAAAAAAAAAA", piece("NESTED\r"), piece("BBBB\r")}));
}

void LinkTransmitTest::commandFromHandlerQueuedAheadOfCompletion()
{
    LinkFixture f;
    QVERIFY(f.openAndReceive());
    f.device()->clearRecords();
    Status nestedStatus = 0xFFFFFFFF;
    f.link().OnDataReceived = [&](TObject *, AnsiString &data) {
        if (data == "PING")
            nestedStatus = f.link().SendCommand("NESTED\r");
    };
    // Completions come only as this test queues them.
    f.journal().swallowWriteCompletions[QLatin1Char('C')] = true;
    QCOMPARE(f.link().SendCommand("SP2W\r"), Status(0));

    // The device's text is queued first, the piece's completion behind it:
    // the command sent from the text's handler must still see the completion.
    f.device()->sendToHost("PING");
    QCoreApplication::sendPostedEvents(); // the read finishes; its event is queued
    f.journal().components.at(1)->raise(usbio::EventId::WriteComplete);

    QVERIFY(LinkFixture::waitFor([&] { return nestedStatus != 0xFFFFFFFF; }));
    QCOMPARE(nestedStatus, Status(0));
    QCOMPARE(f.journal().count(QStringLiteral("C:AbortPipe")), 0);
    QVERIFY(LinkFixture::waitFor([&] { return f.device()->receivedPieces().size() == 2; }));
    QCOMPARE(f.device()->receivedPieces(), (QList<QByteArray>{piece("SP2W\r"), piece("NESTED\r")}));
}

void LinkTransmitTest::linkDestroyedDuringWait()
{
    // The window may close (and destroy the link) while a command waits for
    // the piece before; the wait then ends without touching the link again.
    LinkFixture f;
    QCOMPARE(f.open(), Status(0));
    f.journal().swallowWriteCompletions[QLatin1Char('C')] = true;
    QCOMPARE(f.link().SendCommand("0123456789ABCDEF"), Status(0));

    // The wait ends on the link's end, not at its time-out (Timeout).
    bool destroyed = false;
    QTimer::singleShot(0, [&f, &destroyed] {
        f.destroyLink();
        destroyed = true;
    });
    TVemoUSBinterface &link = f.link();
    const Status status = link.SendCommand("NEXT\r");
    QVERIFY(destroyed);
    QCOMPARE(status, st::Cancelled);
    QCOMPARE(f.device()->receivedPieces(), QList<QByteArray>{"0123456789ABCDEF"});
}

QTEST_GUILESS_MAIN(LinkTransmitTest)
#include "tst_link_transmit.moc"
