#include "dialogue/ChunkRules.h"

#include <QTest>

using dialogue::ChunkOutcome;
using dialogue::ChunkRules;
using Action = ChunkOutcome::Action;

Q_DECLARE_METATYPE(ChunkOutcome::Action)

// The rules for one chunk of device output, each case with the chunk held
// from before and the state of the life-tick filter.
class TestChunkRules : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void rules_data();
    void rules();
    void rawLineIsTheChunkAsReceived_data();
    void rawLineIsTheChunkAsReceived();
};

void TestChunkRules::rules_data()
{
    QTest::addColumn<QByteArray>("chunk");
    QTest::addColumn<QByteArray>("pending");
    QTest::addColumn<bool>("filter");
    QTest::addColumn<Action>("action");
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<bool>("beep");

    const QByteArray sixteen("0123456789ABCDEF");
    QTest::newRow("a line in one chunk") << QByteArray("NSF 2.10\r") << QByteArray() << false
                                         << Action::Shown << QByteArray("NSF 2.10\r") << false;
    QTest::newRow("lone LF gets a CR") << QByteArray("\n") << QByteArray() << false << Action::Shown
                                       << QByteArray("\n\r") << false;
    QTest::newRow("15 characters: completed, shown at once")
        << QByteArray("0123456789ABCDE") << QByteArray() << false << Action::Shown
        << QByteArray("0123456789ABCDE\r") << false;
    QTest::newRow("16 without CR is held")
        << sixteen << QByteArray() << false << Action::Held << sixteen << false;
    QTest::newRow("held chunk joined to the next")
        << QByteArray("abc\r") << sixteen << false << Action::Shown << sixteen + "abc\r" << false;
    QTest::newRow("two full chunks make one line")
        << QByteArray("fedcba9876543210") << sixteen << false << Action::Shown
        << sixteen + "fedcba9876543210" << false;
    QTest::newRow("16 with CR is shown")
        << QByteArray("0123456789ABCDE\r") << QByteArray() << false << Action::Shown
        << QByteArray("0123456789ABCDE\r") << false;
    QTest::newRow("held chunk joined to a short one, completed")
        << QByteArray("xyz") << sixteen << false << Action::Shown << sixteen + "xyz\r" << false;
    QTest::newRow("loader ready") << QByteArray("Flash is BLANK\r") << sixteen << false
                                  << Action::LoaderReady << QByteArray() << true;
    QTest::newRow("BLANK beeps and is shown") << QByteArray("BLANK\r") << QByteArray() << false
                                              << Action::Shown << QByteArray("BLANK\r") << true;
    QTest::newRow("blank does not beep") << QByteArray("blank\r") << QByteArray() << false
                                         << Action::Shown << QByteArray("blank\r") << false;
    QTest::newRow("life tick hidden")
        << QByteArray("VEMO:RUN\r") << sixteen << true << Action::Hidden << QByteArray() << false;
    QTest::newRow("life tick shown without the filter")
        << QByteArray("VEMO:RUN\r") << QByteArray() << false << Action::Shown
        << QByteArray("VEMO:RUN\r") << false;
    QTest::newRow("time of day hidden") << QByteArray("12:34:56.7890\r") << QByteArray() << true
                                        << Action::Hidden << QByteArray() << false;
    QTest::newRow("VEMO: later is no life tick")
        << QByteArray("x VEMO:RUN\r") << QByteArray() << true << Action::Shown
        << QByteArray("x VEMO:RUN\r") << false;
    QTest::newRow("a full life tick without CR is hidden, not held")
        << QByteArray("12:34:56.7890123") << QByteArray() << true << Action::Hidden << QByteArray()
        << false;
    QTest::newRow("8-bit bytes pass unchanged")
        << QByteArray("\x80\xb0\xff\r") << QByteArray() << false << Action::Shown
        << QByteArray("\x80\xb0\xff\r") << false;
    QTest::newRow("empty read") << QByteArray() << QByteArray() << false << Action::Shown
                                << QByteArray("\r") << false;
}

void TestChunkRules::rules()
{
    QFETCH(QByteArray, chunk);
    QFETCH(QByteArray, pending);
    QFETCH(bool, filter);
    QFETCH(Action, action);
    QFETCH(QByteArray, text);
    QFETCH(bool, beep);

    const ChunkOutcome outcome = ChunkRules::apply(chunk, pending, filter);
    QCOMPARE(outcome.action, action);
    QCOMPARE(outcome.beep, beep);
    if (action == Action::Shown || action == Action::Held)
        QCOMPARE(outcome.text, text);
}

void TestChunkRules::rawLineIsTheChunkAsReceived_data()
{
    QTest::addColumn<QByteArray>("chunk");
    QTest::addColumn<QByteArray>("rawLine");

    // Whatever the later rules add, the raw line is the chunk and its length.
    QTest::newRow("5 characters") << QByteArray("ABCDE") << QByteArray("ABCDE\t5");
    QTest::newRow("with CR") << QByteArray("OK\r") << QByteArray("OK\r\t3");
    QTest::newRow("16") << QByteArray("0123456789ABCDEF") << QByteArray("0123456789ABCDEF\t16");
    QTest::newRow("empty") << QByteArray() << QByteArray("\t0");
    QTest::newRow("loader ready") << QByteArray("Flash is BLANK\r")
                                  << QByteArray("Flash is BLANK\r\t15");
}

void TestChunkRules::rawLineIsTheChunkAsReceived()
{
    QFETCH(QByteArray, chunk);
    QFETCH(QByteArray, rawLine);
    for (bool filter : {false, true})
        QCOMPARE(ChunkRules::apply(chunk, QByteArray("0123456789ABCDEF"), filter).rawLine, rawLine);
}

QTEST_GUILESS_MAIN(TestChunkRules)
#include "tst_chunkrules.moc"
