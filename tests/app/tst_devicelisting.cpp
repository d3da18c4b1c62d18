// --list: the attached devices as the listing reads them from their
// descriptors on the simulated bus (several of each generation, one in its
// loader, one held by another instance), its lines and its JSON read back
// (a serial number or a path that would not read as one column of itself
// quoted, its control characters escaped), the program listing without a
// display and without touching the key store, and a list that does not get
// out whole failing.

#include "app/DeviceListing.h"
#include "tests/support/ToolProcess.h"
#include "tests/usbio/SimFixture.h"
#include "usbio/devicemodel/VemoFirmware.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

using namespace usbio;

namespace {

struct Plugged
{
    Generation generation;
    QByteArray serial;
    QByteArray firmware;
    QString id;
};

// Two of each generation, in an order that is not by generation.
const QList<Plugged> kBench{
    {Generation::Vemo2, "200000001", "2.10", QStringLiteral("bench-1")},
    {Generation::Vemo3, "300000001", "3.05", QStringLiteral("bench-2")},
    {Generation::Vemo, "100000001", "1.40", QStringLiteral("bench-3")},
    {Generation::Vemo2, "200000002", "2.11", QStringLiteral("bench-4")},
    {Generation::Vemo, "100000002", "1.9", QStringLiteral("bench-5")},
    {Generation::Vemo3, "300000002", "3.07", QStringLiteral("bench-6")},
};

void attachBench(SimBus &bus)
{
    for (const Plugged &p : kBench) {
        SimDeviceSettings settings;
        settings.generation = p.generation;
        settings.serialNumber = p.serial;
        settings.firmwareVersion = p.firmware;
        settings.id = p.id;
        bus.attach(settings);
    }
}

// The listing's text split back into its columns, line by line.
QList<QStringList> columnsOf(const QString &text)
{
    QList<QStringList> lines;
    for (const QString &line : text.split(QLatin1Char('\n'), Qt::SkipEmptyParts))
        lines.append(line.split(QRegularExpression(QStringLiteral("\\s+"))));
    return lines;
}

struct Run
{
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

// The program with arguments, without a display.
Run runProgram(const QStringList &arguments, const QString &defaultStore)
{
    ToolProcess::Setup setup;
    setup.keyStore = defaultStore;
    const ToolProcess::Result ended = ToolProcess::run(arguments, setup);
    Run run;
    if (!ended.finished)
        return run;
    run.exitCode = ended.status();
    run.out = ended.out;
    run.err = ended.err;
    return run;
}

} // namespace

class TestDeviceListing : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void rowsComeFromTheDescriptors();
    void textAndJsonReadBack();
    void textColumnsOfOddValues_data();
    void textColumnsOfOddValues();
    void nothingAttached();
    void programListsWithoutDisplayOrKeyStore_data();
    void programListsWithoutDisplayOrKeyStore();
    void programListThatCannotBeWritten_data();
    void programListThatCannotBeWritten();
};

void TestDeviceListing::rowsComeFromTheDescriptors()
{
    SimFixture sim;
    attachBench(sim.bus);
    SimDevice *loader = sim.bus.devices().at(3);
    loader->firmware().receive(kCommandEndpoint, "USB-Vemo:BWF!!!");
    QVERIFY(SimFixture::waitFor([loader] { return loader->onBus() && loader->inLoader(); }));
    // Another instance drives one of them; it is listed all the same.
    auto holder = sim.pipe(kInEndpoint, 1);
    QCOMPARE(holder->StartReading(16, 5, 5), status::Success);

    auto component = sim.component();
    const QList<DeviceListing::Row> rows = DeviceListing::collect(*component);
    QCOMPARE(rows.size(), kBench.size());
    for (int i = 0; i < rows.size(); ++i) {
        const DeviceListing::Row &row = rows.at(i);
        const Plugged &plugged = kBench.at(i);
        QCOMPARE(row.number, i + 1);
        QCOMPARE(row.generation, QString::fromLatin1(generationName(plugged.generation)));
        QCOMPARE(row.path, plugged.id);
        QCOMPARE(row.vendorId, kVendorId);
        QCOMPARE(row.productId, productId(plugged.generation));
        if (i == 3) {
            QCOMPARE(row.serial, QString());
            QCOMPARE(row.firmware, QStringLiteral("1.00"));
        } else {
            QCOMPARE(row.serial, QString::fromLatin1(plugged.serial));
            QCOMPARE(row.firmware, plugged.firmware == "1.9"
                                       ? QStringLiteral("1.09")
                                       : QString::fromLatin1(plugged.firmware));
        }
    }
    // Only the holder has a device open.
    QVERIFY(!component->openDevice());
    QCOMPARE(holder->openDevice(), sim.bus.devices().at(1));
    QVERIFY(holder->isReading());
}

void TestDeviceListing::textAndJsonReadBack()
{
    QList<DeviceListing::Row> rows;
    rows.append({1, QStringLiteral("Vemo2"), QStringLiteral("200000001"), QStringLiteral("2.10"),
                 QStringLiteral("1-1.2"), kVendorId, kVemo2ProductId});
    rows.append({2, QStringLiteral("Vemo"), QString(), QStringLiteral("1.00"),
                 QStringLiteral("1-1.10"), kVendorId, kVemoProductId});
    rows.append({3, QStringLiteral("Vemo3"), QStringLiteral("V30000017"), QStringLiteral("3.05"),
                 QStringLiteral("2-4"), kVendorId, kVemo3ProductId});

    const QString text = DeviceListing::text(rows);
    QVERIFY(text.endsWith(QLatin1Char('\n')));
    const QList<QStringList> lines = columnsOf(text);
    QCOMPARE(lines, (QList<QStringList>{{"1", "Vemo2", "200000001", "2.10", "1-1.2"},
                                        {"2", "Vemo", "-", "1.00", "1-1.10"},
                                        {"3", "Vemo3", "V30000017", "3.05", "2-4"}}));
    // The columns line up: every path starts at the same place.
    const QStringList textLines = text.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (const QString &line : textLines)
        QCOMPARE(line.lastIndexOf(QLatin1Char(' ')) + 1, textLines.first().indexOf("1-1.2"));

    const QByteArray json = DeviceListing::json(rows);
    QCOMPARE(json.count('\n'), 1);
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(json, &error);
    QCOMPARE(error.error, QJsonParseError::NoError);
    QVERIFY(document.isArray());
    const QJsonArray array = document.array();
    QCOMPARE(array.size(), 3);
    for (int i = 0; i < array.size(); ++i) {
        const QJsonObject object = array.at(i).toObject();
        QCOMPARE(object.keys(), (QStringList{"firmware", "generation", "index", "path", "productId",
                                             "serial", "vendorId"}));
        QCOMPARE(object.value("index").toInt(), rows.at(i).number);
        QCOMPARE(object.value("generation").toString(), rows.at(i).generation);
        QCOMPARE(object.value("firmware").toString(), rows.at(i).firmware);
        QCOMPARE(object.value("path").toString(), rows.at(i).path);
        QCOMPARE(object.value("vendorId").toString(), QStringLiteral("5e1a"));
        QCOMPARE(object.value("productId").toString().toUShort(nullptr, 16), rows.at(i).productId);
    }
    QCOMPARE(array.at(0).toObject().value("serial").toString(), QStringLiteral("200000001"));
    // A device that gives no serial number has none, not an empty one.
    QVERIFY(array.at(1).toObject().value("serial").isNull());
}

void TestDeviceListing::textColumnsOfOddValues_data()
{
    QTest::addColumn<QString>("serial");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("serialColumn");
    QTest::addColumn<QString>("pathColumn");

    QTest::newRow("plain") << "200000001"
                           << "1-1.2"
                           << "200000001"
                           << "1-1.2";
    QTest::newRow("none") << ""
                          << "1-1.2"
                          << "-"
                          << "1-1.2";
    // "-" is what a device without one shows: this one has one.
    QTest::newRow("a serial number of a dash") << "-"
                                               << "1-1.2"
                                               << "'-'"
                                               << "1-1.2";
    QTest::newRow("blanks in the serial number") << "AB 12 345"
                                                 << "1-1.2"
                                                 << "'AB 12 345'"
                                                 << "1-1.2";
    QTest::newRow("an ESC sequence in the serial number") << "\x1b[2J12345"
                                                          << "1-1.2"
                                                          << "'\\e[2J12345'"
                                                          << "1-1.2";
    QTest::newRow("a line break in the path") << "200000001"
                                              << "1-1\n2 x"
                                              << "200000001"
                                              << "'1-1\\n2 x'";
}

// Whatever a device says of itself, each row stays one line of five
// columns, and nothing in it reaches a terminal as a command.
void TestDeviceListing::textColumnsOfOddValues()
{
    QFETCH(QString, serial);
    QFETCH(QString, path);
    QFETCH(QString, serialColumn);
    QFETCH(QString, pathColumn);

    QList<DeviceListing::Row> rows;
    rows.append({1, QStringLiteral("Vemo2"), serial, QStringLiteral("2.10"), path, kVendorId,
                 kVemo2ProductId});
    rows.append({2, QStringLiteral("Vemo"), QStringLiteral("100000001"), QStringLiteral("1.40"),
                 QStringLiteral("2-4"), kVendorId, kVemoProductId});
    const QString text = DeviceListing::text(rows);
    const QStringList lines = text.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 2);
    for (const QChar c : text)
        QVERIFY2(c == QLatin1Char('\n') || c.unicode() >= 0x20, qPrintable(text));
    // The quoted columns are found whole: split at the blanks outside quotes.
    const QRegularExpression column(QStringLiteral("'(?:[^'\\\\]|\\\\.)*'|\\S+"));
    QStringList first;
    for (auto it = column.globalMatch(lines.first()); it.hasNext();)
        first << it.next().captured(0);
    QCOMPARE(first, (QStringList{"1", "Vemo2", serialColumn, "2.10", pathColumn}));

    // The JSON keeps the values exactly.
    const QJsonArray array = QJsonDocument::fromJson(DeviceListing::json(rows)).array();
    QCOMPARE(array.size(), 2);
    const QJsonObject object = array.first().toObject();
    if (serial.isEmpty())
        QVERIFY(object.value("serial").isNull());
    else
        QCOMPARE(object.value("serial").toString(), serial);
    QCOMPARE(object.value("path").toString(), path);
}

void TestDeviceListing::nothingAttached()
{
    SimFixture sim;
    auto component = sim.component();
    const QList<DeviceListing::Row> rows = DeviceListing::collect(*component);
    QVERIFY(rows.isEmpty());
    QCOMPARE(DeviceListing::text(rows), QString());
    QCOMPARE(DeviceListing::json(rows), QByteArray("[]\n"));
}

void TestDeviceListing::programListsWithoutDisplayOrKeyStore_data()
{
    QTest::addColumn<bool>("devices");
    QTest::addColumn<bool>("json");
    QTest::newRow("text") << true << false;
    QTest::newRow("json") << true << true;
    QTest::newRow("none attached, text") << false << false;
    QTest::newRow("none attached, json") << false << true;
}

void TestDeviceListing::programListsWithoutDisplayOrKeyStore()
{
    QFETCH(bool, devices);
    QFETCH(bool, json);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString simFile = dir.filePath(QStringLiteral("bench.json"));
    {
        QJsonArray list;
        if (devices) {
            for (const Plugged &p : kBench) {
                QJsonObject device;
                device.insert("id", p.id);
                device.insert("generation", QString::fromLatin1(generationName(p.generation)));
                device.insert("serial", QString::fromLatin1(p.serial));
                device.insert("firmware", QString::fromLatin1(p.firmware));
                list.append(device);
            }
        }
        QFile file(simFile);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(QJsonDocument(QJsonObject{{"devices", list}}).toJson());
    }
    // Neither the store named nor the default one is written.
    const QString store = dir.filePath(QStringLiteral("registry.json"));
    const QString defaultStore = dir.filePath(QStringLiteral("default-registry.json"));
    QStringList arguments{QStringLiteral("--list"), QStringLiteral("--sim=") + simFile,
                          QStringLiteral("--registry=") + store};
    if (json)
        arguments << QStringLiteral("--json");

    const Run run = runProgram(arguments, defaultStore);
    QCOMPARE(run.exitCode, 0);
    QVERIFY2(run.err.isEmpty(), run.err.constData());
    QVERIFY(!QFile::exists(store));
    QVERIFY(!QFile::exists(defaultStore));
    const int expected = devices ? int(kBench.size()) : 0;
    if (json) {
        const QJsonArray array = QJsonDocument::fromJson(run.out).array();
        QCOMPARE(array.size(), expected);
        if (!devices)
            QCOMPARE(run.out, QByteArray("[]\n"));
        for (int i = 0; i < expected; ++i) {
            QCOMPARE(array.at(i).toObject().value("path").toString(), kBench.at(i).id);
            QCOMPARE(array.at(i).toObject().value("serial").toString(),
                     QString::fromLatin1(kBench.at(i).serial));
        }
    } else {
        const QList<QStringList> lines = columnsOf(QString::fromLocal8Bit(run.out));
        QCOMPARE(lines.size(), expected);
        for (int i = 0; i < expected; ++i) {
            QCOMPARE(lines.at(i).at(0), QString::number(i + 1));
            QCOMPARE(lines.at(i).at(1),
                     QString::fromLatin1(generationName(kBench.at(i).generation)));
            QCOMPARE(lines.at(i).at(2), QString::fromLatin1(kBench.at(i).serial));
            QCOMPARE(lines.at(i).at(4), kBench.at(i).id);
        }
    }
}

void TestDeviceListing::programListThatCannotBeWritten_data()
{
    QTest::addColumn<QString>("shell"); // how standard output is given: "$@" is the program
    QTest::addColumn<bool>("json");
    QTest::addColumn<QString>("why");

    QTest::newRow("text on a full device")
        << "\"$@\" > /dev/full" << false << "No space left on device";
    QTest::newRow("JSON on a full device")
        << "\"$@\" > /dev/full" << true << "No space left on device";
    QTest::newRow("text on a closed standard output")
        << "\"$@\" >&-" << false << "Bad file descriptor";
    QTest::newRow("JSON on a closed standard output")
        << "\"$@\" >&-" << true << "Bad file descriptor";
    // A file that may grow to 100 bytes: the list is cut there.
    QTest::newRow("text on a full disk")
        << "trap '' XFSZ; prlimit --fsize=100 \"$@\" > \"$LIST\"" << false << "File too large";
    QTest::newRow("JSON on a full disk")
        << "trap '' XFSZ; prlimit --fsize=100 \"$@\" > \"$LIST\"" << true << "File too large";
}

// A list that does not get out whole is no list: status 1, one line that
// says why; never 0 with a part of it.
void TestDeviceListing::programListThatCannotBeWritten()
{
    QFETCH(QString, shell);
    QFETCH(bool, json);
    QFETCH(QString, why);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString simFile = dir.filePath(QStringLiteral("bench.json"));
    {
        QJsonArray list;
        for (const Plugged &p : kBench) {
            QJsonObject device;
            device.insert("id", p.id);
            device.insert("generation", QString::fromLatin1(generationName(p.generation)));
            device.insert("serial", QString::fromLatin1(p.serial));
            list.append(device);
        }
        QFile file(simFile);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(QJsonDocument(QJsonObject{{"devices", list}}).toJson());
    }
    QStringList arguments{QStringLiteral("--list"), QStringLiteral("--sim=") + simFile};
    if (json)
        arguments << QStringLiteral("--json");
    ToolProcess::Setup setup;
    setup.keyStore = dir.filePath(QStringLiteral("registry.json"));
    setup.extra.insert(QStringLiteral("LIST"), dir.filePath(QStringLiteral("list.txt")));
    ToolProcess child;
    child.start(
        setup, QStringLiteral("/bin/bash"),
        QStringList{QStringLiteral("-c"), shell, QStringLiteral("list"), ToolProcess::vemotool()} +
            arguments);
    const ToolProcess::Result ended = child.finish();

    QCOMPARE(ended.status(), 1);
    QCOMPARE(ended.errorLines(),
             QStringList{QStringLiteral("vemotool: the device list could not be written whole: ") +
                         why});
}

QTEST_GUILESS_MAIN(TestDeviceListing)
#include "tst_devicelisting.moc"
