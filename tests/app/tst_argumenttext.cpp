#include "app/ArgumentText.h"
#include "tests/support/ToolProcess.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

// Arguments that are not text in the locale's encoding: refused with one
// line, never turned into the name of another file.
class TestArgumentText : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void decode_data();
    void decode();
    void programRefusesNamesThatAreNotText_data();
    void programRefusesNamesThatAreNotText();
};

void TestArgumentText::decode_data()
{
    QTest::addColumn<QByteArray>("argument");
    QTest::addColumn<QString>("text");     // when taken
    QTest::addColumn<QString>("errorHas"); // empty: taken

    QTest::newRow("plain") << QByteArray("--registry=k.json") << "--registry=k.json"
                           << "";
    QTest::newRow("UTF-8") << QByteArray("vemo-\xc3\xa4.bin") << "vemo-\u00e4.bin"
                           << "";
    QTest::newRow("empty") << QByteArray() << ""
                           << "";
    QTest::newRow("byte 0xFF") << QByteArray("--registry=k\xff.json") << ""
                               << "argument 1 is not text in the locale's encoding, so no file "
                                  "can be named by it: '--registry=k\\xFF.json'";
    QTest::newRow("lone continuation byte") << QByteArray("vemo\x80.bin") << ""
                                            << "'vemo\\x80.bin'";
    QTest::newRow("cut-off sequence") << QByteArray("vemo\xc3") << ""
                                      << "'vemo\\xC3'";
    QTest::newRow("overlong slash") << QByteArray("a\xc0\xaf"
                                                  "b")
                                    << ""
                                    << "'a\\xC0\\xAFb'";
    QTest::newRow("surrogate") << QByteArray("\xed\xa0\x80") << ""
                               << "'\\xED\\xA0\\x80'";
}

void TestArgumentText::decode()
{
    QFETCH(QByteArray, argument);
    QFETCH(QString, text);
    QFETCH(QString, errorHas);

    const char *argv[] = {"/opt/vemo/\xff/vemotool", "--batch", argument.constData()};
    QString error;
    const QStringList arguments = ArgumentText::decode(3, argv, &error);
    if (errorHas.isEmpty()) {
        QVERIFY2(error.isEmpty(), qPrintable(error));
        QCOMPARE(arguments.size(), 3);
        QCOMPARE(arguments.at(2), text);
        QCOMPARE(QFile::encodeName(arguments.at(2)), argument);
    } else {
        QVERIFY(arguments.isEmpty());
        QVERIFY2(error.startsWith(QLatin1String("vemotool: argument 2 ")) ||
                     errorHas.startsWith(QLatin1String("argument 1")),
                 qPrintable(error));
        QVERIFY2(error.contains(errorHas.mid(errorHas.indexOf('\''))), qPrintable(error));
        QVERIFY(!error.contains(QLatin1Char('\n')));
    }
}

void TestArgumentText::programRefusesNamesThatAreNotText_data()
{
    // Shell words; $'...' gives the raw bytes.
    QTest::addColumn<QString>("words");
    QTest::addColumn<QString>("existing"); // a file made first, its name as shell word

    QTest::newRow("key store") << "--registry=$'k\\xff.json'"
                               << "";
    QTest::newRow("key store that exists") << "--registry=$'k\\xff.json'"
                                           << "$'k\\xff.json'";
    QTest::newRow("firmware file that exists") << "$'vemo2\\xff.bin'"
                                               << "$'vemo2\\xff.bin'";
    QTest::newRow("log file") << "--log-file=$'log\\xfe.txt' vemo2.bin"
                              << "";
}

void TestArgumentText::programRefusesNamesThatAreNotText()
{
    QFETCH(QString, words);
    QFETCH(QString, existing);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    // The program runs in a folder of its own; then the shell counts what is
    // there (QDir cannot list a name that is not text) and clears it.
    const QString script =
        QStringLiteral("cd \"$1\" || exit 99\n%1\n"
                       "\"$0\" --batch --sim=/nonexistent %2\nstatus=$?\n"
                       "ls -A | wc -l\nrm -f -- ./*\nexit $status")
            .arg(existing.isEmpty() ? QString() : QStringLiteral("echo x > ") + existing, words);

    ToolProcess::Setup setup;
    setup.keyStore = dir.filePath(QStringLiteral("default.json"));
    ToolProcess shell;
    shell.start(setup, QStringLiteral("/bin/bash"),
                {QStringLiteral("-c"), script, ToolProcess::vemotool(), dir.path()});
    const ToolProcess::Result ended = shell.finish();
    QVERIFY(ended.finished);
    const QString err = QString::fromLocal8Bit(ended.err);
    const QString out = QString::fromLocal8Bit(ended.out);

    QCOMPARE(ended.status(), 2);
    QVERIFY2(err.contains(QLatin1String("is not text in the locale's encoding")), qPrintable(err));
    QCOMPARE(err.count(QLatin1Char('\n')), 1);
    QVERIFY(!err.contains(QLatin1String("File not found")));
    // Nothing was made, under another name or this one.
    QCOMPARE(out.trimmed(), existing.isEmpty() ? QStringLiteral("0") : QStringLiteral("1"));
}

QTEST_GUILESS_MAIN(TestArgumentText)
#include "tst_argumenttext.moc"
