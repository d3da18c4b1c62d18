#include "platform/OnDemandLibrary.h"

#include <QTest>

#include <cstring>

// A library loaded at the first call of one of its functions: a function
// that is there is found and works, one that is not there, or a library
// that is not there, gives null and says why in one line.
class TestOnDemandLibrary : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void resolves_data();
    void resolves();
    void failureNamesTheLibraryEachTime();
};

void TestOnDemandLibrary::resolves_data()
{
    QTest::addColumn<QByteArray>("library");
    QTest::addColumn<int>("version");
    QTest::addColumn<QByteArray>("symbol");
    QTest::addColumn<bool>("found");

    // libz is on every machine the program builds on (Qt needs it).
    QTest::newRow("function of a present library")
        << QByteArray("z") << 1 << QByteArray("zlibVersion") << true;
    QTest::newRow("missing function")
        << QByteArray("z") << 1 << QByteArray("vemo_no_such_function") << false;
    QTest::newRow("missing library")
        << QByteArray("vemo-no-such-library") << 7 << QByteArray("zlibVersion") << false;
}

void TestOnDemandLibrary::resolves()
{
    QFETCH(QByteArray, library);
    QFETCH(int, version);
    QFETCH(QByteArray, symbol);
    QFETCH(bool, found);

    platform::OnDemandLibrary onDemand(library.constData(), version);
    const QFunctionPointer function = onDemand.resolve(symbol.constData());
    QCOMPARE(function != nullptr, found);
    if (found) {
        // It is the library's own function.
        const char *text = reinterpret_cast<const char *(*)()>(function)();
        QVERIFY(text && std::strlen(text) > 0 && text[0] >= '1' && text[0] <= '9');
    } else {
        const QString why = QString::fromLocal8Bit(onDemand.failure());
        QVERIFY2(why.contains(QString::fromLatin1(library)) ||
                     why.contains(QString::fromLatin1(symbol)),
                 qPrintable(why));
        QVERIFY(!why.contains(QLatin1Char('\n')));
    }
}

void TestOnDemandLibrary::failureNamesTheLibraryEachTime()
{
    // A library that is not there is tried once; every later call fails at
    // once with the same reason.
    platform::OnDemandLibrary onDemand("vemo-no-such-library", 7);
    QVERIFY(!onDemand.resolve("first"));
    const QByteArray first = onDemand.failure();
    QVERIFY(!first.isEmpty());
    QVERIFY(!onDemand.resolve("second"));
    QCOMPARE(QByteArray(onDemand.failure()), first);
}

QTEST_GUILESS_MAIN(TestOnDemandLibrary)

#include "tst_ondemandlibrary.moc"
