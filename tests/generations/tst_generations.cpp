// The generation table on its own: the standard rows as the device names,
// product ids, files and periods of the three generations are known, the
// lookups and their rules for names the table lacks, what makes a table
// unsound, and the texts the package's files are made of.

#include "generations/GenerationFiles.h"
#include "generations/GenerationTable.h"

#include <QTest>

using generations::Descriptor;
using generations::GenerationTable;

class TestGenerations : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void standardRows_data();
    void standardRows();
    void lookupByName_data();
    void lookupByName();
    void lookupByProductId();
    void lookupByFileName_data();
    void lookupByFileName();
    void standardTableIsSound();
    void faults_data();
    void faults();
    void tableInUse();
    void listTexts_data();
    void listTexts();
    void udevRule();
    void fillTemplate_data();
    void fillTemplate();
};

void TestGenerations::standardRows_data()
{
    QTest::addColumn<int>("row");
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("productId");
    QTest::addColumn<QString>("filter");
    QTest::addColumn<QString>("defaultFile");
    QTest::addColumn<int>("bwf");
    QTest::addColumn<QString>("image");
    QTest::addColumn<QString>("installer");
    QTest::addColumn<QString>("serverPath");
    QTest::addColumn<QByteArray>("firmware");
    QTest::addColumn<QString>("hardwareId");
    QTest::addColumn<QString>("driverKey");

    // In the order the registry probe tries them.
    QTest::newRow("Vemo") << 0 << "Vemo" << 0x0889 << "Vemo update files|vemo.exe;vemo.bin"
                          << "/Homepage/orvik/download/uC/vemo.exe" << 20000 << "Vemo.bin"
                          << "vemo.exe"
                          << "/orvik/download/uC/vemo.exe" << QByteArray("1.40")
                          << "VID_5E1A&PID_0889"
                          << "SYSTEM\\CurrentControlSet\\Enum\\USB\\Vid_5e1a&Pid_0889";
    QTest::newRow("Vemo2") << 1 << "Vemo2" << 0x088A << "Vemo2 update files|vemo2.exe;vemo2.bin"
                           << "/Homepage/orvik/download/uC/vemo2.exe" << 30000 << "Vemo2.bin"
                           << "vemo2.exe"
                           << "/orvik/download/uC/vemo2.exe" << QByteArray("2.10")
                           << "VID_5E1A&PID_088A"
                           << "SYSTEM\\CurrentControlSet\\Enum\\USB\\Vid_5e1a&Pid_088a";
    QTest::newRow("Vemo3") << 2 << "Vemo3" << 0x088B << "Vemo3 update files|vemo3.exe;vemo3.bin"
                           << "/Homepage/orvik/download/uC/vemo3.exe" << 30000 << "Vemo3.bin"
                           << "vemo3.exe"
                           << "/orvik/download/uC/vemo3.exe" << QByteArray("3.05")
                           << "VID_5E1A&PID_088B"
                           << "SYSTEM\\CurrentControlSet\\Enum\\USB\\Vid_5e1a&Pid_088b";
}

void TestGenerations::standardRows()
{
    QFETCH(int, row);
    QFETCH(QString, name);
    QFETCH(int, productId);
    QFETCH(QString, filter);
    QFETCH(QString, defaultFile);
    QFETCH(int, bwf);
    QFETCH(QString, image);
    QFETCH(QString, installer);
    QFETCH(QString, serverPath);
    QFETCH(QByteArray, firmware);
    QFETCH(QString, hardwareId);
    QFETCH(QString, driverKey);

    const GenerationTable &table = GenerationTable::standard();
    QCOMPARE(table.size(), 3);
    const Descriptor &generation = table.rows().at(row);
    QCOMPARE(generation.name, name);
    QCOMPARE(int(generation.productId), productId);
    QCOMPARE(generation.fileFilter, filter);
    QCOMPARE(generation.defaultFirmwareFile, defaultFile);
    QCOMPARE(generation.bwfIntervalMs, bwf);
    QCOMPARE(generation.imageFileName, image);
    QCOMPARE(generation.installerFileName, installer);
    QCOMPARE(generation.installerServerPath, serverPath);
    QCOMPARE(generation.simulatedFirmware, firmware);
    QCOMPARE(generations::hardwareId(generation), hardwareId);
    QCOMPARE(generations::driverKey(generation), driverKey);
}

void TestGenerations::lookupByName_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("exact");    // byName's row; empty: none
    QTest::addColumn<QString>("anyCase");  // indexOfNameIgnoringCase's row; empty: none
    QTest::addColumn<QString>("settings"); // settingsFor's row

    QTest::newRow("Vemo") << "Vemo"
                          << "Vemo"
                          << "Vemo"
                          << "Vemo";
    QTest::newRow("Vemo3") << "Vemo3"
                           << "Vemo3"
                           << "Vemo3"
                           << "Vemo3";
    // Any other name gets the first generation's settings, and no installer.
    QTest::newRow("other letter case") << "VEMO2"
                                       << ""
                                       << "Vemo2"
                                       << "Vemo";
    QTest::newRow("instance path") << "USB\\VID_5E1A&PID_0999\\VEMO"
                                   << ""
                                   << ""
                                   << "Vemo";
    QTest::newRow("empty") << ""
                           << ""
                           << ""
                           << "Vemo";
    QTest::newRow("a name with a blank") << "Vemo2 "
                                         << ""
                                         << ""
                                         << "Vemo";
}

void TestGenerations::lookupByName()
{
    QFETCH(QString, name);
    QFETCH(QString, exact);
    QFETCH(QString, anyCase);
    QFETCH(QString, settings);

    const GenerationTable &table = GenerationTable::standard();
    const Descriptor *row = table.byName(name);
    QCOMPARE(row ? row->name : QString(), exact);
    QCOMPARE(table.indexOfName(name), exact.isEmpty() ? -1 : table.names().indexOf(exact));
    const int index = table.indexOfNameIgnoringCase(name);
    QCOMPARE(index < 0 ? QString() : table.rows().at(index).name, anyCase);
    QCOMPARE(table.settingsFor(name).name, settings);
}

void TestGenerations::lookupByProductId()
{
    const GenerationTable &table = GenerationTable::standard();
    const QList<QPair<quint16, QString>> cases{{0x0889, "Vemo"},  {0x088A, "Vemo2"},
                                               {0x088B, "Vemo3"}, {0x088C, ""},
                                               {0x0999, ""},      {0x0000, ""}};
    for (const auto &[productId, name] : cases) {
        const Descriptor *row = table.byProductId(productId);
        QCOMPARE(row ? row->name : QString(), name);
        QCOMPARE(table.indexOfProduct(productId),
                 name.isEmpty() ? -1 : table.names().indexOf(name));
    }
}

void TestGenerations::lookupByFileName_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("generation"); // empty: names none

    QTest::newRow("image") << "/fw/vemo2.bin"
                           << "Vemo2";
    QTest::newRow("installer in capitals") << "C:/fw/VEMO2.EXE"
                                           << "Vemo2";
    QTest::newRow("first generation's image") << "Vemo.bin"
                                              << "Vemo";
    QTest::newRow("third generation's installer") << "/tmp/x/vemo3.exe"
                                                  << "Vemo3";
    QTest::newRow("a version in the name") << "/fw/firmware-2.11.bin"
                                           << "";
    QTest::newRow("a name that only begins like one") << "/fw/vemo2.bin.old"
                                                      << "";
    QTest::newRow("a folder named like one") << "/vemo2.bin/fw.bin"
                                             << "";
    QTest::newRow("another generation's number") << "/fw/vemo4.bin"
                                                 << "";
}

void TestGenerations::lookupByFileName()
{
    QFETCH(QString, file);
    QFETCH(QString, generation);
    const Descriptor *row = GenerationTable::standard().namedByFile(file);
    QCOMPARE(row ? row->name : QString(), generation);
}

void TestGenerations::standardTableIsSound()
{
    QCOMPARE(GenerationTable::standard().faults(), QStringList());
    QCOMPARE(GenerationTable::standard().namesText(), QStringLiteral("Vemo, Vemo2 and Vemo3"));
}

void TestGenerations::faults_data()
{
    QTest::addColumn<int>("change");
    QTest::addColumn<QString>("fault"); // a piece of the one fault found

    // Each a copy of the standard table with one row changed.
    QTest::newRow("name taken in another letter case") << 0 << "VEMO2: the name is taken";
    QTest::newRow("product id taken") << 1 << "product id 0889 is taken";
    QTest::newRow("image named like another's installer") << 2 << "VEMO.EXE names Vemo already";
    QTest::newRow("no name") << 3 << "a generation has no name";
    QTest::newRow("no period") << 4 << "the BWF period must be above 0 ms";
    QTest::newRow("no installer") << 5 << "an image or installer file name is empty";
}

void TestGenerations::faults()
{
    QFETCH(int, change);
    QFETCH(QString, fault);

    QList<Descriptor> rows = GenerationTable::standard().rows();
    Descriptor &third = rows[2];
    switch (change) {
    case 0:
        third.name = QStringLiteral("VEMO2");
        break;
    case 1:
        third.productId = 0x0889;
        break;
    case 2:
        third.imageFileName = QStringLiteral("VEMO.EXE");
        break;
    case 3:
        third.name.clear();
        break;
    case 4:
        third.bwfIntervalMs = 0;
        break;
    case 5:
        third.installerFileName.clear();
        break;
    }
    const QStringList found = GenerationTable(rows).faults();
    QVERIFY2(found.size() == 1 && found.first().contains(fault), qPrintable(found.join('\n')));
    QCOMPARE(GenerationTable({}).faults(), QStringList{"the table has no generation"});
}

void TestGenerations::tableInUse()
{
    QCOMPARE(&generations::table(), &GenerationTable::standard());
    const GenerationTable one({GenerationTable::standard().rows().at(1)});
    const GenerationTable two({GenerationTable::standard().rows().at(2)});
    {
        const generations::UseTable outer(one);
        QCOMPARE(generations::table().names(), QStringList{"Vemo2"});
        {
            const generations::UseTable inner(two);
            QCOMPARE(generations::table().names(), QStringList{"Vemo3"});
        }
        QCOMPARE(generations::table().names(), QStringList{"Vemo2"});
    }
    QCOMPARE(&generations::table(), &GenerationTable::standard());
}

void TestGenerations::listTexts_data()
{
    QTest::addColumn<QStringList>("items");
    QTest::addColumn<QString>("conjunction");
    QTest::addColumn<QString>("text");

    QTest::newRow("none") << QStringList{} << " and "
                          << "";
    QTest::newRow("one") << QStringList{"Vemo"} << " and "
                         << "Vemo";
    QTest::newRow("two") << QStringList{"Vemo", "Vemo2"} << " or "
                         << "Vemo or Vemo2";
    QTest::newRow("four") << QStringList{"a", "b", "c", "d"} << " and "
                          << "a, b, c and d";
}

void TestGenerations::listTexts()
{
    QFETCH(QStringList, items);
    QFETCH(QString, conjunction);
    QFETCH(QString, text);
    QCOMPARE(generations::listText(items, conjunction), text);
}

void TestGenerations::udevRule()
{
    const QString rule = generations::udevRule(GenerationTable::standard());
    QStringList ruleLines;
    for (const QString &line : rule.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        QVERIFY2(line.size() <= 78 || !line.startsWith(QLatin1Char('#')), qPrintable(line));
        if (!line.startsWith(QLatin1Char('#')))
            ruleLines << line;
    }
    QCOMPARE(ruleLines,
             QStringList{"SUBSYSTEM==\"usb\", ENV{DEVTYPE}==\"usb_device\", "
                         "ATTR{idVendor}==\"5e1a\", ATTR{idProduct}==\"0889|088a|088b\", "
                         "TAG+=\"uaccess\""});
    QVERIFY2(rule.startsWith(QLatin1String("# Vemo, Vemo2 and Vemo3 timing devices")),
             qPrintable(rule));
    QVERIFY(rule.endsWith(QLatin1Char('\n')));
    QCOMPARE(generations::modaliases(GenerationTable::standard()),
             (QStringList{"usb:v5E1Ap0889d*", "usb:v5E1Ap088Ad*", "usb:v5E1Ap088Bd*"}));
}

void TestGenerations::fillTemplate_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("filled"); // empty: refused
    QTest::addColumn<QString>("error");

    QTest::newRow("no marker") << "a {b} }}c{{\n"
                               << "a {b} }}c{{\n"
                               << "";
    QTest::newRow("names and products, twice on a line")
        << "serves the {{generation-names}} devices ({{product-ids}}); {{generation-names}}"
        << "serves the Vemo, Vemo2 and Vemo3 devices (0889, 088a and 088b); Vemo, Vemo2 and "
           "Vemo3"
        << "";
    QTest::newRow("modaliases at the marker's indent")
        << "<provides>\n    {{modaliases}}\n</provides>"
        << "<provides>\n    <modalias>usb:v5E1Ap0889d*</modalias>\n"
           "    <modalias>usb:v5E1Ap088Ad*</modalias>\n"
           "    <modalias>usb:v5E1Ap088Bd*</modalias>\n</provides>"
        << "";
    QTest::newRow("modaliases within a line") << "x {{modaliases}}"
                                              << ""
                                              << "{{modaliases}} must stand alone on its line";
    QTest::newRow("unknown marker") << "{{generation-names}} {{generation}}"
                                    << ""
                                    << "unknown marker {{generation}}";
}

void TestGenerations::fillTemplate()
{
    QFETCH(QString, text);
    QFETCH(QString, filled);
    QFETCH(QString, error);
    QString reported = QStringLiteral("not set");
    QCOMPARE(generations::fillTemplate(text, GenerationTable::standard(), &reported), filled);
    QCOMPARE(reported, error);
}

QTEST_GUILESS_MAIN(TestGenerations)
#include "tst_generations.moc"
