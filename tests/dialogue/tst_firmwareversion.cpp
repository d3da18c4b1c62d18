#include "dialogue/FirmwareVersion.h"

#include <QTest>

using dialogue::FirmwareVersion;

// The version a run expects (--expect-version) and the device's answer to
// the version query: only a version is one, and the answer holds it as a
// word, whatever the letter case of its V.
class TestFirmwareVersion : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void isVersion_data();
    void isVersion();
    void answerHolds_data();
    void answerHolds();
};

void TestFirmwareVersion::isVersion_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("version");

    QTest::newRow("digits and dots") << "2.11" << true;
    QTest::newRow("one number") << "3" << true;
    QTest::newRow("three parts") << "1.4.7" << true;
    QTest::newRow("a V in front") << "V2.11" << true;
    QTest::newRow("a v in front") << "v2.11" << true;
    QTest::newRow("a word of the answer") << "firmware" << false;
    QTest::newRow("the device's name") << "Vemo2" << false;
    QTest::newRow("the name without its V") << "emo2" << false;
    QTest::newRow("a V alone") << "V" << false;
    QTest::newRow("a pattern") << ".*" << false;
    QTest::newRow("two dots") << "2..11" << false;
    QTest::newRow("a dot in front") << ".2" << false;
    QTest::newRow("a dot at the end") << "2." << false;
    QTest::newRow("two Vs") << "VV2.11" << false;
    QTest::newRow("a blank") << "V 2.11" << false;
    QTest::newRow("a tab") << "\t" << false;
    QTest::newRow("a line break at the end") << "2.11\n" << false;
    QTest::newRow("empty") << "" << false;
    QTest::newRow("as long as one may be")
        << QString(FirmwareVersion::MaxLength, QLatin1Char('1')) << true;
    QTest::newRow("longer than any")
        << QString(FirmwareVersion::MaxLength + 1, QLatin1Char('1')) << false;
    QTest::newRow("20000 characters") << QString(20000, QLatin1Char('1')) << false;
}

void TestFirmwareVersion::isVersion()
{
    QFETCH(QString, text);
    QFETCH(bool, version);
    QCOMPARE(FirmwareVersion::isVersion(text), version);
}

void TestFirmwareVersion::answerHolds_data()
{
    QTest::addColumn<QString>("answer");
    QTest::addColumn<QString>("version");
    QTest::addColumn<bool>("holds");

    const QString answer = QStringLiteral("Vemo2 firmware V2.11");
    QTest::newRow("after a V") << answer << "2.11" << true;
    QTest::newRow("with its V") << answer << "V2.11" << true;
    QTest::newRow("with a v in lower case") << answer << "v2.11" << true;
    QTest::newRow("the answer's v in lower case") << "firmware v1.41"
                                                  << "1.41" << true;
    QTest::newRow("alone") << "FW 3.06 OK"
                           << "3.06" << true;
    QTest::newRow("alone, asked with a V") << "FW 3.06 OK"
                                           << "V3.06" << true;
    // What no version is holds nothing, though the answer has it as a word.
    QTest::newRow("a word of the answer") << answer << "firmware" << false;
    QTest::newRow("the device's name") << answer << "Vemo2" << false;
    QTest::newRow("the name without its V") << answer << "emo2" << false;
    QTest::newRow("a prefix is not the version") << answer << "2.1" << false;
    QTest::newRow("a longer version") << "Vemo2 firmware V2.110"
                                      << "2.11" << false;
    QTest::newRow("inside a word") << "Vemo2 SNV2.11"
                                   << "2.11" << false;
    QTest::newRow("the loader's") << "Vemo2 loader V1.00"
                                  << "2.11" << false;
}

void TestFirmwareVersion::answerHolds()
{
    QFETCH(QString, answer);
    QFETCH(QString, version);
    QFETCH(bool, holds);
    QCOMPARE(FirmwareVersion::answerHolds(answer, version), holds);
}

QTEST_GUILESS_MAIN(TestFirmwareVersion)
#include "tst_firmwareversion.moc"
