#include "platform/TerminalText.h"

#include <QTest>

using platform::TerminalText;

// Text for a terminal or a line script: a control character in a value the
// program was given or a device told it never breaks a line, reaches the
// terminal as a command or shifts a column; a value that would read as
// something else in a table (a blank, "-") is quoted.
class TestTerminalText : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void escaped_data();
    void escaped();
    void column_data();
    void column();
};

void TestTerminalText::escaped_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("escaped");
    QTest::addColumn<QString>("keepingLines");

    QTest::newRow("plain text stays") << "run ended: 0 done"
                                      << "run ended: 0 done"
                                      << "run ended: 0 done";
    QTest::newRow("a line break") << "x\ny"
                                  << "x\\ny"
                                  << "x\ny";
    QTest::newRow("carriage return and tab") << "a\rb\tc"
                                             << "a\\rb\\tc"
                                             << "a\\rb\\tc";
    QTest::newRow("an ESC sequence") << "\x1b[31mred"
                                     << "\\e[31mred"
                                     << "\\e[31mred";
    QTest::newRow("NUL, BEL and DEL")
        << QString::fromLatin1("a\0b\ac\x7f", 6) << "a\\x00b\\x07c\\x7f"
        << "a\\x00b\\x07c\\x7f";
    QTest::newRow("a C1 control (CSI)") << QString(QChar(0x9b)) + "2J"
                                        << "\\x9b2J"
                                        << "\\x9b2J";
    QTest::newRow("the line separator") << QString(QChar(0x2028)) << "\\u2028"
                                        << "\\u2028";
    // Backslashes stay: what was escaped once is the same escaped again.
    QTest::newRow("backslashes stay") << "C:\\tmp\\n"
                                      << "C:\\tmp\\n"
                                      << "C:\\tmp\\n";
    QTest::newRow("letters beyond ASCII stay") << "Gerät ü €"
                                               << "Gerät ü €"
                                               << "Gerät ü €";
}

void TestTerminalText::escaped()
{
    QFETCH(QString, text);
    QFETCH(QString, escaped);
    QFETCH(QString, keepingLines);
    QCOMPARE(TerminalText::escaped(text), escaped);
    QCOMPARE(TerminalText::escapedKeepingLines(text), keepingLines);
    // Escaped once is escaped for good.
    QCOMPARE(TerminalText::escaped(escaped), escaped);
    for (const QChar c : TerminalText::escaped(text))
        QVERIFY(!TerminalText::isControl(c));
}

void TestTerminalText::column_data()
{
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("column");

    QTest::newRow("a serial number") << "200000001"
                                     << "200000001";
    QTest::newRow("a bus path") << "1-1.2"
                                << "1-1.2";
    // "-" stands for none in a table: a serial number "-" is not none.
    QTest::newRow("a dash") << "-"
                            << "'-'";
    QTest::newRow("empty") << ""
                           << "''";
    QTest::newRow("a blank would make two columns") << "AB 123456"
                                                    << "'AB 123456'";
    QTest::newRow("a tab") << "AB\t1"
                           << "'AB\\t1'";
    QTest::newRow("an ESC sequence") << "\x1b[2Jxxxxx"
                                     << "'\\e[2Jxxxxx'";
    QTest::newRow("a line break") << "x\ny"
                                  << "'x\\ny'";
    QTest::newRow("a quote") << "it's"
                             << "'it\\'s'";
    QTest::newRow("a backslash") << "a\\b"
                                 << "'a\\\\b'";
    QTest::newRow("a double quote") << "a\"b"
                                    << "'a\"b'";
}

void TestTerminalText::column()
{
    QFETCH(QString, value);
    QFETCH(QString, column);
    const QString got = TerminalText::column(value);
    QCOMPARE(got, column);
    // Changed only by quoting it whole.
    if (got != value)
        QVERIFY(got.size() >= 2 && got.startsWith(QLatin1Char('\'')) &&
                got.endsWith(QLatin1Char('\'')));
    for (const QChar c : got)
        QVERIFY(!TerminalText::isControl(c));
}

QTEST_GUILESS_MAIN(TestTerminalText)
#include "tst_terminaltext.moc"
