#include "dialogue/GenerationGuard.h"
#include "dialogue/Generations.h"
#include "platform/HostServices.h"
#include "tests/support/DialogueRig.h"

#include <QTest>

using usbio::Generation;

Q_DECLARE_METATYPE(usbio::Generation)

// Firmware of one generation kept out of another generation's device: which
// generation a file's name names, the refusal of a production run (unless
// forced), and the question the operator's Update asks first.
class TestGenerationGuard : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void generationNamed_data();
    void generationNamed();
    void refusal_data();
    void refusal();
    void operatorIsAsked_data();
    void operatorIsAsked();
    void operatorIsAskedAboutTheNamedDevice();
};

void TestGenerationGuard::generationNamed_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("generation");

    QTest::newRow("image") << "/fw/vemo2.bin"
                           << "Vemo2";
    QTest::newRow("installer") << "vemo3.exe"
                               << "Vemo3";
    QTest::newRow("first generation in capitals") << "/fw/VEMO.BIN"
                                                  << "Vemo";
    QTest::newRow("mixed case installer") << "Vemo.eXe"
                                          << "Vemo";
    QTest::newRow("the folder does not count") << "/fw/vemo3.bin/firmware.bin"
                                               << "";
    QTest::newRow("another name") << "firmware-2.11.bin"
                                  << "";
    QTest::newRow("a longer name") << "vemo2-2.11.bin"
                                   << "";
    QTest::newRow("another extension") << "vemo2.hex"
                                       << "";
}

void TestGenerationGuard::generationNamed()
{
    QFETCH(QString, file);
    QFETCH(QString, generation);
    QCOMPARE(dialogue::generationNamedBy(file), generation);
}

void TestGenerationGuard::refusal_data()
{
    QTest::addColumn<Generation>("device");
    QTest::addColumn<QString>("file");
    QTest::addColumn<bool>("force");
    QTest::addColumn<QString>("line"); // empty: the file may go in

    QTest::newRow("its own generation") << Generation::Vemo2 << "/fw/Vemo2.BIN" << false << "";
    QTest::newRow("a name of no generation") << Generation::Vemo3 << "/fw/fw.bin" << false << "";
    QTest::newRow("another generation")
        << Generation::Vemo2 << "/fw/vemo3.bin" << false
        << "Firmware of another generation: vemo3.bin is for a Vemo3, the device is a Vemo2 "
           "(--force loads it)";
    QTest::newRow("the first generation's installer")
        << Generation::Vemo3 << "/fw/vemo.exe" << false
        << "Firmware of another generation: vemo.exe is for a Vemo, the device is a Vemo3 "
           "(--force loads it)";
    QTest::newRow("forced") << Generation::Vemo2 << "/fw/vemo3.bin" << true << "";
}

void TestGenerationGuard::refusal()
{
    QFETCH(Generation, device);
    QFETCH(QString, file);
    QFETCH(bool, force);
    QFETCH(QString, line);

    DialogueRig rig;
    rig.attach(device, "000000001");
    rig.start();
    rig.dialogue.setRunSettings({force, false, QString()});
    QCOMPARE(dialogue::GenerationGuard::Refusal(rig.dialogue, file, 0), line);
}

void TestGenerationGuard::operatorIsAsked_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<bool>("unattended");
    QTest::addColumn<int>("answer"); // 0: none given (the box's default)
    QTest::addColumn<bool>("asked");
    QTest::addColumn<bool>("goesOn");

    QTest::newRow("another generation, Yes")
        << "vemo3.bin" << false << int(platform::IDYES) << true << true;
    QTest::newRow("another generation, No")
        << "vemo3.bin" << false << int(platform::IDNO) << true << false;
    QTest::newRow("another generation, no answer") << "VEMO.EXE" << false << 0 << true << false;
    QTest::newRow("its own generation") << "vemo2.bin" << false << 0 << false << true;
    QTest::newRow("a name of no generation") << "fw.bin" << false << 0 << false << true;
    // A production run was checked when it started.
    QTest::newRow("unattended") << "vemo3.bin" << true << 0 << false << true;
}

void TestGenerationGuard::operatorIsAsked()
{
    QFETCH(QString, file);
    QFETCH(bool, unattended);
    QFETCH(int, answer);
    QFETCH(bool, asked);
    QFETCH(bool, goesOn);

    DialogueRig rig;
    rig.attach(Generation::Vemo2, "000000001");
    rig.start();
    rig.host().presentFiles << QStringLiteral("/fw/") + file;
    rig.setFileName(QStringLiteral("/fw/") + file);
    if (unattended)
        rig.dialogue.update().beginUnattended(false);
    if (answer != 0)
        rig.host().queueAnswer(answer);
    rig.host().clearCalls();

    QCOMPARE(dialogue::GenerationGuard::OperatorAgrees(rig.dialogue), goesOn);
    QCOMPARE(rig.host().boxes().size(), asked ? 1 : 0);
    if (asked) {
        const FakeHostServices::Call box = rig.host().boxes().first();
        QCOMPARE(box.caption, QString::fromLatin1(dialogue::GenerationGuard::QuestionCaption));
        QVERIFY2(box.text.contains(file) && box.text.contains(QStringLiteral("a Vemo2")),
                 qPrintable(box.text));
        // Yes and No, No the default: a box nobody answers keeps the file out.
        QCOMPARE(box.flags,
                 platform::MB_YESNO | platform::MB_ICONQUESTION | platform::MB_DEFBUTTON2);
    }
}

void TestGenerationGuard::operatorIsAskedAboutTheNamedDevice()
{
    // Among others, Update works with the named device: its generation counts.
    DialogueRig rig;
    rig.attach(Generation::Vemo3, "000000001");
    rig.attach(Generation::Vemo2, "000000002");
    rig.dialogue.deviceChoice().setNamed(QStringLiteral("000000002"));
    rig.start();
    QCOMPARE(rig.selectedDeviceIndex(), 1);
    rig.host().presentFiles << QStringLiteral("/fw/vemo3.bin");
    rig.setFileName(QStringLiteral("/fw/vemo3.bin"));
    rig.host().clearCalls();

    QVERIFY(!dialogue::GenerationGuard::OperatorAgrees(rig.dialogue));
    QCOMPARE(rig.host().boxes().size(), 1);
    QVERIFY2(rig.host().boxes().first().text.contains(QStringLiteral("but the device is a Vemo2")),
             qPrintable(rig.host().boxes().first().text));
}

QTEST_GUILESS_MAIN(TestGenerationGuard)
#include "tst_generationguard.moc"
