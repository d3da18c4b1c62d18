// Adding a generation is adding one row to the generation table. Here a
// copy of the standard table gets a fourth generation, "Vemo4" (product
// 088C), and is put in place of the standard one; everything that tells the
// generations apart then knows it: the lookups, the USB identity and the
// simulator, the registry probe and the start-up's driver lines, the
// device list and the settings an open prepares, the firmware download,
// the help text, and the udev rule, AppStream data and manual page the
// build makes.

#include "app/ProgramOptions.h"
#include "dialogue/Generations.h"
#include "download/FirmwareDownload.h"
#include "generations/GenerationFiles.h"
#include "generations/GenerationTable.h"
#include "registry/KeyStore.h"
#include "registry/RegTools.h"
#include "tests/download/TestHttpServer.h"
#include "tests/support/DialogueRig.h"
#include "tests/support/FakeWindowPort.h"
#include "tests/support/ScopedHost.h"
#include "tests/support/TempKeyStore.h"
#include "usbio/devicemodel/VemoIdentity.h"
#include "usbio/sim/SimDevice.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using generations::Descriptor;
using generations::GenerationTable;
using registry::RootKey;
using Timer = dialogue::WindowPort::Timer;

namespace {

// The one row a newcomer writes.
const Descriptor kVemo4{
    QStringLiteral("Vemo4"),                                  // name
    0x088C,                                                   // productId
    QStringLiteral("Vemo4 update files|vemo4.exe;vemo4.bin"), // fileFilter
    QStringLiteral("/Homepage/orvik/download/uC/vemo4.exe"),  // defaultFirmwareFile
    25000,                                                    // bwfIntervalMs
    QStringLiteral("Vemo4.bin"),                              // imageFileName
    QStringLiteral("vemo4.exe"),                              // installerFileName
    QStringLiteral("/orvik/download/uC/vemo4.exe"),           // installerServerPath
    "4.00",                                                   // simulatedFirmware
};

// The standard table with the row added, in use while it lives.
struct WithVemo4
{
    GenerationTable table{GenerationTable::standard().rows() + QList<Descriptor>{kVemo4}};
    generations::UseTable inUse{table};
};

const usbio::Generation kVemo4Generation = usbio::Generation(3);

QString readSource(const QString &path)
{
    QFile file(QStringLiteral(VEMO_SOURCE_DIR "/") + path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

} // namespace

class TestGenerationAdded : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void lookups();
    void usbIdentity();
    void registryProbe();
    void startUpListAndOpen();
    void firmwareDownload();
    void helpText();
    void packageFiles();
    void standardTableIsBackAfterwards();
};

void TestGenerationAdded::lookups()
{
    const WithVemo4 vemo4;
    const GenerationTable &table = generations::table();
    QCOMPARE(table.faults(), QStringList());
    QCOMPARE(table.size(), 4);
    QCOMPARE(table.byName(QStringLiteral("Vemo4"))->productId, quint16(0x088C));
    QCOMPARE(table.byProductId(0x088C)->name, QStringLiteral("Vemo4"));
    QCOMPARE(table.namedByFile(QStringLiteral("/fw/VEMO4.EXE"))->name, QStringLiteral("Vemo4"));
    QCOMPARE(table.namedByFile(QStringLiteral("vemo4.bin"))->name, QStringLiteral("Vemo4"));
    // Any other name still gets the first generation's settings.
    QCOMPARE(table.settingsFor(QStringLiteral("VEMO4")).name, QStringLiteral("Vemo"));

    // The dialogue's view of it.
    const dialogue::Generation settings = dialogue::generationFor(QStringLiteral("Vemo4"));
    QCOMPARE(settings.fileFilter, QStringLiteral("Vemo4 update files|vemo4.exe;vemo4.bin"));
    QCOMPARE(settings.defaultFirmwareFile, QStringLiteral("/Homepage/orvik/download/uC/vemo4.exe"));
    QCOMPARE(settings.bwfIntervalMs, 25000);
    QCOMPARE(settings.imageFileName, QStringLiteral("Vemo4.bin"));
    QCOMPARE(dialogue::installerFor(QStringLiteral("Vemo4")).serverPath,
             QStringLiteral("/orvik/download/uC/vemo4.exe"));
    QCOMPARE(dialogue::generationNamedBy(QStringLiteral("/fw/Vemo4.Bin")), QStringLiteral("Vemo4"));
}

void TestGenerationAdded::usbIdentity()
{
    const WithVemo4 vemo4;
    QCOMPARE(usbio::generationOfProduct(0x088C),
             std::optional<usbio::Generation>(kVemo4Generation));
    QCOMPARE(usbio::generationName(kVemo4Generation), QByteArray("Vemo4"));
    QCOMPARE(usbio::productId(kVemo4Generation), quint16(0x088C));
    // The device descriptor's idProduct (bytes 10 and 11, little-endian).
    const QByteArray descriptors = usbio::deviceDescriptors(kVemo4Generation);
    QCOMPARE(quint8(descriptors.at(10)), quint8(0x8C));
    QCOMPARE(quint8(descriptors.at(11)), quint8(0x08));
}

void TestGenerationAdded::registryProbe()
{
    const WithVemo4 vemo4;
    TempKeyStore keys;
    const QString service = QStringLiteral("SYSTEM\\CurrentControlSet\\Services\\VemoUSB\\Enum");
    keys->writeString(RootKey::LocalMachine, service, QStringLiteral("0"),
                      QStringLiteral("usb\\vid_5e1a&pid_088c\\5&1a2b3c&0&4"));
    keys->writeInteger(RootKey::LocalMachine, service, QStringLiteral("Count"), 1);
    keys->createKey(RootKey::LocalMachine,
                    QStringLiteral("SYSTEM\\CurrentControlSet\\Enum\\USB\\Vid_5e1a&Pid_088c\\"
                                   "5&1a2b3c&0&4"),
                    false);

    TRegTools tools;
    QCOMPARE(tools.GetDeviceName(0), QStringLiteral("Vemo4"));
    QCOMPARE(tools.DriverInstalled(*generations::table().byName(QStringLiteral("Vemo4"))), 1);
    QCOMPARE(tools.VemoDriverInstalled() + tools.Vemo2DriverInstalled() +
                 tools.Vemo3DriverInstalled(),
             0);
}

void TestGenerationAdded::startUpListAndOpen()
{
    const WithVemo4 vemo4;
    DialogueRig rig;
    rig.host().presentFiles << kVemo4.defaultFirmwareFile;
    // A simulator file names the new generation, in any letter case.
    QTemporaryDir dir;
    const QString config = dir.filePath(QStringLiteral("vemo4.json"));
    {
        QFile file(config);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(R"({"devices": [{"generation": "VEMO4", "serial": "400000001"}]})");
    }
    QString error;
    QVERIFY2(rig.bus().loadConfig(config, &error), qPrintable(error));
    QCOMPARE(rig.bus().devices().size(), 1);
    usbio::SimDevice *device = rig.bus().devices().first();
    QCOMPARE(device->settings().generation, kVemo4Generation);
    QCOMPARE(device->firmwareVersion(), QByteArray("4.00"));

    rig.start();
    // The driver lines in the table's order, the new one last.
    QCOMPARE(rig.lines.mid(0, 5),
             (QStringList{"Vemo USB driver not installed", "Vemo2 USB driver not installed",
                          "Vemo3 USB driver not installed", "Vemo4 USB driver installed",
                          "Vemo4 found"}));
    QCOMPARE(rig.deviceItems, QStringList{"Vemo4 #1"});

    rig.dialogue.openClick();
    QVERIFY(rig.lines.contains(QStringLiteral("Device opend: Vemo4 #1")));
    QCOMPARE(rig.dialogFilter, QStringLiteral("Vemo4 update files|vemo4.exe;vemo4.bin"));
    QCOMPARE(rig.fileText, QStringLiteral("/Homepage/orvik/download/uC/vemo4.exe"));
    QCOMPARE(rig.timerInterval(Timer::BWF), 25000);
    // The device answers the new-firmware query with its generation's name.
    QTRY_VERIFY(rig.lines.contains(QStringLiteral("Vemo4 firmware V4.00")));
}

void TestGenerationAdded::firmwareDownload()
{
    for (const char *name :
         {"http_proxy", "https_proxy", "all_proxy", "HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY"})
        qunsetenv(name);
    const WithVemo4 vemo4;
    ScopedHost host;
    TempKeyStore keys;
    QTemporaryDir temp;
    host.fake().tempDir = temp.path();
    keys->writeString(RootKey::LocalMachine,
                      QStringLiteral("SYSTEM\\CurrentControlSet\\Services\\VemoUSB\\Enum"),
                      QStringLiteral("0"), QStringLiteral("USB\\VID_5E1A&PID_088C\\5&1A2B3C&0&4"));
    TestHttpServer server;
    TestHttpServer::Reply reply;
    reply.status = 200;
    reply.reason = "OK";
    reply.size = 1000;
    server.setReply(reply);
    FakeWindowPort window;
    TIdHTTP *downloader = nullptr;

    download::FirmwareDownload(window, downloader, server.url()).DownloadBClick();

    QCOMPARE(server.requests().value(0),
             QStringLiteral("GET /orvik/download/uC/vemo4.exe HTTP/1.1"));
    QCOMPARE(window.fileText, temp.filePath(QStringLiteral("vemo4.exe")));
    QCOMPARE(QFileInfo(window.fileText).size(), 1000);
}

void TestGenerationAdded::helpText()
{
    const WithVemo4 vemo4;
    const QString usage = ProgramOptions::usage(QStringLiteral("vemotool"));
    for (const QString &line : usage.split(QLatin1Char('\n')))
        QVERIFY2(line.size() <= 78, qPrintable(line));
    // The sentence, wrapped to the help's width.
    QString text = usage;
    text.replace(QLatin1Char('\n'), QLatin1Char(' '));
    QVERIFY2(text.contains(QLatin1String("Service tool for the Vemo, Vemo2, Vemo3 and Vemo4 USB "
                                         "timing devices. The whole manual: see vemotool(1).")),
             qPrintable(usage));
}

void TestGenerationAdded::packageFiles()
{
    const WithVemo4 vemo4;
    const GenerationTable &table = generations::table();

    const QString rule = generations::udevRule(table);
    QVERIFY2(rule.contains(QLatin1String("ATTR{idProduct}==\"0889|088a|088b|088c\"")),
             qPrintable(rule));
    QVERIFY2(rule.startsWith(QLatin1String("# Vemo, Vemo2, Vemo3 and Vemo4 timing devices")),
             qPrintable(rule));

    // The package's own templates, as the build fills them.
    const QString metainfoTemplate =
        readSource(QStringLiteral("packaging/com.example.vemotool.metainfo.xml.in"));
    QVERIFY(!metainfoTemplate.isEmpty());
    QString error;
    const QString metainfo = generations::fillTemplate(metainfoTemplate, table, &error);
    QCOMPARE(error, QString());
    QCOMPARE(metainfo.count(QLatin1String("<modalias>")), 4);
    QVERIFY2(metainfo.contains(QLatin1String("<modalias>usb:v5E1Ap088Cd*</modalias>")),
             qPrintable(metainfo));
    QVERIFY2(metainfo.contains(QLatin1String("Vemo, Vemo2, Vemo3 and Vemo4 USB timing devices")),
             qPrintable(metainfo));

    const QString manPage = generations::fillTemplate(
        readSource(QStringLiteral("packaging/vemotool.1.in")), table, &error);
    QCOMPARE(error, QString());
    QVERIFY2(manPage.contains(QLatin1String("serves the Vemo, Vemo2, Vemo3 and Vemo4 USB")),
             qPrintable(manPage));
    QVERIFY2(manPage.contains(QLatin1String("0889, 088a, 088b and 088c")), qPrintable(manPage));
}

void TestGenerationAdded::standardTableIsBackAfterwards()
{
    {
        const WithVemo4 vemo4;
        QCOMPARE(generations::table().size(), 4);
    }
    QCOMPARE(&generations::table(), &GenerationTable::standard());
    QVERIFY(!usbio::generationOfProduct(0x088C));
    QCOMPARE(dialogue::installerFor(QStringLiteral("Vemo4")).fileName, QString());
}

QTEST_MAIN(TestGenerationAdded)
#include "tst_generation_added.moc"
