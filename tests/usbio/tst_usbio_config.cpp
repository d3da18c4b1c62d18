// Simulator configuration files: the shipped examples and the documented
// one load, every field arrives where it belongs, broken files are refused
// with a message naming the file and the field, and nothing is attached then.

#include "tests/usbio/EventRecorder.h"
#include "tests/usbio/SimFixture.h"
#include "tests/usbio/SimRig.h"
#include "usbio/Backend.h"
#include "usbio/devicemodel/VemoFirmware.h"
#include "usbio/sim/SimConfig.h"

#include <QDir>
#include <QFile>
#include <QJsonValue>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>

using namespace usbio;

namespace {

QString writeFile(const QTemporaryDir &dir, const QByteArray &json)
{
    const QString path = dir.filePath(QStringLiteral("sim.json"));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return {};
    file.write(json);
    return path;
}

} // namespace

class TestConfig : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void examplesLoad_data();
    void examplesLoad();
    void lineExampleAsDescribed();
    void documentedExampleLoads();
    void vemo2ExampleAsDescribed();
    void everyFieldArrives();
    void defaultsPerPosition();
    void brokenFiles_data();
    void brokenFiles();
    void missingFile();
    void statuses_data();
    void statuses();
    void busFaults();
    void componentSwitchedOff();
    void timeline();
    void detachedAtStartComesLater();
};

void TestConfig::examplesLoad_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("devices");
    QTest::addColumn<int>("inLoader"); // of them, running their boot loader
    QTest::newRow("vemo2") << QStringLiteral("vemo2.json") << 1 << 0;
    QTest::newRow("two devices") << QStringLiteral("two-devices.json") << 2 << 0;
    QTest::newRow("left in its loader") << QStringLiteral("left-in-loader.json") << 1 << 1;
}

void TestConfig::examplesLoad()
{
    QFETCH(QString, name);
    QFETCH(int, devices);
    QFETCH(int, inLoader);
    SimFixture sim;
    QString error;
    QVERIFY2(sim.bus.loadConfig(QStringLiteral(VEMO_EXAMPLES_DIR "/") + name, &error),
             qPrintable(error));
    QVERIFY(error.isEmpty());
    const QList<SimDevice *> attached = sim.bus.devices();
    QCOMPARE(attached.size(), devices);
    QCOMPARE(std::count_if(attached.cbegin(), attached.cend(),
                           [](const SimDevice *device) { return device->inLoader(); }),
             qsizetype(inLoader));
}

void TestConfig::lineExampleAsDescribed()
{
    // Read, not attached: an attached device would write its state file
    // into the source tree.
    SimConfig config;
    QString error;
    QVERIFY2(config.load(QStringLiteral(VEMO_EXAMPLES_DIR "/line.json"), &error),
             qPrintable(error));
    QCOMPARE(config.devices.size(), 1);
    const SimDeviceSettings &line = config.devices.first().settings;
    QCOMPARE(line.generation, Generation::Vemo2);
    QVERIFY(line.loaderAnnouncesBlank);
    // Paths are taken from the file's own folder.
    const QDir examples(QStringLiteral(VEMO_EXAMPLES_DIR));
    QCOMPARE(QDir::cleanPath(line.imageFolder),
             QDir::cleanPath(examples.filePath("../out/images")));
    QCOMPARE(QDir::cleanPath(line.stateFile),
             QDir::cleanPath(examples.filePath("../out/line-state.json")));
}

void TestConfig::documentedExampleLoads()
{
    QFile doc(QStringLiteral(VEMO_DOCS_DIR "/simulator.md"));
    QVERIFY(doc.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(doc.readAll());
    const QRegularExpression block(QStringLiteral("```json\\n(.*?)```"),
                                   QRegularExpression::DotMatchesEverythingOption);
    auto it = block.globalMatch(text);
    int blocks = 0;
    QTemporaryDir dir;
    while (it.hasNext()) {
        const QByteArray json = it.next().captured(1).toUtf8();
        SimFixture sim;
        QString error;
        QVERIFY2(sim.bus.loadConfig(writeFile(dir, json), &error), qPrintable(error));
        ++blocks;
    }
    QVERIFY(blocks > 0);
}

void TestConfig::vemo2ExampleAsDescribed()
{
    SimFixture sim;
    QVERIFY(sim.bus.loadConfig(QStringLiteral(VEMO_EXAMPLES_DIR "/vemo2.json")));
    SimDevice *d = sim.bus.devices().first();
    QCOMPARE(d->settings().generation, Generation::Vemo2);
    QCOMPARE(d->settings().lifeTickPeriodMs, 0);
    QCOMPARE(d->settings().restartDelayMs, 200);
    QCOMPARE(d->settings().eraseDelayMs, 300);
    QCOMPARE(d->serialNumber().size(), 9);
}

void TestConfig::everyFieldArrives()
{
    QTemporaryDir dir;
    const QString path = writeFile(dir, R"({
      "devices": [{
        "id": "x", "generation": "vemo3", "serial": "SN0000001", "firmware": "3.01",
        "calibrationDate": "20-01-02", "deviation": "-12.3456789", "instanceId": "7&abc&0&9",
        "lifeTickPeriodMs": 0, "restartDelayMs": 11, "eraseDelayMs": 12, "imageSize": 4096,
        "answers": { "HELP": "no help", "CLR": "" },
        "imageFolder": "/srv/vemo/images", "stateFile": "state/x.json",
        "loaderAnnouncesBlank": true, "bootsInto": "loader",
        "faults": {
          "openStatus": "E000101C", "declareStatus": "0xE0001001", "selectStatus": 3758100481,
          "bindStatus": "DeviceGone", "resetPipeStatus": "e0002001", "startWritingStatus": "Busy",
          "writeDataStatus": "TransferFailed", "startReadingFailures": 2,
          "startReadingStatus": "AccessDenied", "readErrors": 3, "readErrorStatus": "Cancelled",
          "writeCompletionDelayMs": -1, "errorTextFails": true,
          "driverInfo": { "apiVersion": "0x021A", "driverVersion": 517, "driverBuild": "99", "flags": 1 }
        }
      }]
    })");
    SimFixture sim;
    QString error;
    QVERIFY2(sim.bus.loadConfig(path, &error), qPrintable(error));
    SimDevice *d = sim.bus.devices().first();
    const SimDeviceSettings &s = d->settings();
    QCOMPARE(s.generation, Generation::Vemo3);
    QCOMPARE(s.serialNumber, QByteArray("SN0000001"));
    QCOMPARE(s.firmwareVersion, QByteArray("3.01"));
    QCOMPARE(s.calibrationDate, QByteArray("20-01-02"));
    QCOMPARE(s.deviation, QByteArray("-12.3456789"));
    QCOMPARE(d->instanceId(), QStringLiteral("7&abc&0&9"));
    QCOMPARE(s.restartDelayMs, 11);
    QCOMPARE(s.eraseDelayMs, 12);
    QCOMPARE(s.imageSize, 4096);
    QCOMPARE(s.answers.value("HELP"), QByteArray("no help"));
    QVERIFY(s.answers.contains("CLR"));
    QCOMPARE(d->firmware().settings().imageSize, 4096);
    // A relative path is taken from the configuration file's folder.
    QCOMPARE(s.imageFolder, QStringLiteral("/srv/vemo/images"));
    QCOMPARE(s.stateFile, dir.filePath(QStringLiteral("state/x.json")));
    QVERIFY(QFile::exists(s.stateFile));
    QCOMPARE(s.name, QStringLiteral("x"));
    QVERIFY(s.loaderAnnouncesBlank);
    QVERIFY(d->firmware().settings().loaderAnnouncesBlank);
    QCOMPARE(s.bootsInto, SimDeviceSettings::Boot::Loader);
    QVERIFY(d->firmware().settings().flashErased);
    QVERIFY(d->inLoader());

    const SimFaults &f = d->faults();
    QCOMPARE(f.openStatus, status::VersionMismatch);
    QCOMPARE(f.declareStatus, status::InvalidParameter);
    QCOMPARE(f.selectStatus, status::InvalidParameter);
    QCOMPARE(f.bindStatus, status::DeviceGone);
    QCOMPARE(f.resetPipeStatus, status::TransferFailed);
    QCOMPARE(f.startWritingStatus, status::Busy);
    QCOMPARE(f.writeDataStatus, status::TransferFailed);
    QCOMPARE(f.startReadingFailures, 2);
    QCOMPARE(f.startReadingStatus, status::AccessDenied);
    QCOMPARE(f.readErrors, 3);
    QCOMPARE(f.readErrorStatus, status::Cancelled);
    QCOMPARE(f.writeCompletionDelayMs, -1);
    QVERIFY(f.errorTextFails);
    QCOMPARE(f.driverInfo.apiVersion, quint32(0x021A));
    QCOMPARE(f.driverInfo.driverVersion, quint32(517));
    QCOMPARE(f.driverInfo.driverBuild, quint32(99));
    QCOMPARE(f.driverInfo.flags, quint32(1));

    // The injected open fault is live.
    auto c = sim.component();
    c->EnumerateDevices(QString::fromLatin1(kDeviceInterfaceGuid));
    QCOMPARE(c->OpenDevice(0), status::VersionMismatch);
}

void TestConfig::defaultsPerPosition()
{
    QTemporaryDir dir;
    SimFixture sim;
    QString error;
    QVERIFY2(
        sim.bus.loadConfig(writeFile(dir, R"({"devices": [{}, {"generation": "Vemo"}]})"), &error),
        qPrintable(error));
    const QList<SimDevice *> devices = sim.bus.devices();
    QCOMPARE(devices.size(), 2);
    QCOMPARE(devices.at(0)->serialNumber(), QByteArray("000000001"));
    QCOMPARE(devices.at(1)->serialNumber(), QByteArray("000000002"));
    QCOMPARE(devices.at(0)->firmwareVersion(), QByteArray("2.10"));
    QCOMPARE(devices.at(1)->firmwareVersion(), QByteArray("1.40"));
    QCOMPARE(devices.at(1)->settings().generation, Generation::Vemo);
    QCOMPARE(devices.at(0)->faults().openStatus, Status(0));
    QCOMPARE(devices.at(0)->faults().writeCompletionDelayMs, 0);
    QCOMPARE(devices.at(0)->settings().bootsInto, SimDeviceSettings::Boot::Firmware);
    QVERIFY(!devices.at(0)->inLoader());
}

void TestConfig::brokenFiles_data()
{
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<QString>("message");

    QTest::newRow("not JSON") << QByteArray("{\"devices\": [") << QStringLiteral("not valid JSON");
    QTest::newRow("array at top") << QByteArray("[]") << QStringLiteral("one JSON object");
    QTest::newRow("unknown top field")
        << QByteArray(R"({"device": []})") << QStringLiteral(": device: unknown field");
    QTest::newRow("devices not an array")
        << QByteArray(R"({"devices": {}})") << QStringLiteral(": devices: must be an array");
    QTest::newRow("image folder not a text")
        << QByteArray(R"({"devices": [{"imageFolder": 7}]})")
        << QStringLiteral("devices[0].imageFolder: must be a file path");
    QTest::newRow("empty state file")
        << QByteArray(R"({"devices": [{"stateFile": " "}]})")
        << QStringLiteral("devices[0].stateFile: must be a file path");
    QTest::newRow("misspelt device field")
        << QByteArray(R"({"devices": [{"serail": "123456789"}]})")
        << QStringLiteral("devices[0].serail: unknown field");
    QTest::newRow("serial too short")
        << QByteArray(R"({"devices": [{}, {"serial": "12345"}]})")
        << QStringLiteral("devices[1].serial: must be 9 characters, not 5");
    QTest::newRow("date length")
        << QByteArray(R"({"devices": [{"calibrationDate": "2013-02-07"}]})")
        << QStringLiteral("devices[0].calibrationDate: must be 8 characters");
    QTest::newRow("deviation too long")
        << QByteArray(R"({"devices": [{"deviation": "123456789012"}]})")
        << QStringLiteral("devices[0].deviation: must be at most 11");
    QTest::newRow("generation")
        << QByteArray(R"({"devices": [{"generation": "Vemo4"}]})")
        << QStringLiteral("devices[0].generation: must be \"Vemo\", \"Vemo2\" or \"Vemo3\"");
    QTest::newRow("negative delay")
        << QByteArray(R"({"devices": [{"restartDelayMs": -5}]})")
        << QStringLiteral("devices[0].restartDelayMs: must be between 0 and");
    QTest::newRow("boots into no known mode")
        << QByteArray(R"({"devices": [{"bootsInto": "bootloader"}]})")
        << QStringLiteral("devices[0].bootsInto: must be \"firmware\" or \"loader\"");
    QTest::newRow("boots into a flag") << QByteArray(R"({"devices": [{"bootsInto": true}]})")
                                       << QStringLiteral("devices[0].bootsInto: must be a text");
    QTest::newRow("fraction") << QByteArray(R"({"devices": [{"eraseDelayMs": 1.5}]})")
                              << QStringLiteral("devices[0].eraseDelayMs: must be a whole number");
    QTest::newRow("text for number")
        << QByteArray(R"({"devices": [{"lifeTickPeriodMs": "100"}]})")
        << QStringLiteral("devices[0].lifeTickPeriodMs: must be a whole number");
    QTest::newRow("bad status") << QByteArray(
                                       R"({"devices": [{"faults": {"openStatus": "E00G101C"}}]})")
                                << QStringLiteral("devices[0].faults.openStatus: must be a status");
    QTest::newRow("status too wide")
        << QByteArray(R"({"devices": [{"faults": {"bindStatus": "1E000101C"}}]})")
        << QStringLiteral("devices[0].faults.bindStatus: must be a status");
    QTest::newRow("write delay below -1")
        << QByteArray(R"({"devices": [{"faults": {"writeCompletionDelayMs": -2}}]})")
        << QStringLiteral("devices[0].faults.writeCompletionDelayMs: must be between -1");
    QTest::newRow("bool") << QByteArray(R"({"devices": [{"faults": {"errorTextFails": "yes"}}]})")
                          << QStringLiteral(
                                 "devices[0].faults.errorTextFails: must be true or false");
    QTest::newRow("driver info")
        << QByteArray(R"({"devices": [{"faults": {"driverInfo": {"apiVersion": "2.10"}}}]})")
        << QStringLiteral("devices[0].faults.driverInfo.apiVersion: must be a number");
    QTest::newRow("unknown fault") << QByteArray(R"({"devices": [{"faults": {"openStatu": 1}}]})")
                                   << QStringLiteral("devices[0].faults.openStatu: unknown field");
    QTest::newRow("answer not text") << QByteArray(R"({"devices": [{"answers": {"NSF?": 5}}]})")
                                     << QStringLiteral("devices[0].answers.NSF?: must be a text");
    QTest::newRow("answer to no command")
        << QByteArray(R"({"devices": [{"answers": {"": "x"}}]})")
        << QStringLiteral("devices[0].answers.: must name a command");
    QTest::newRow("answer to a command with CR")
        << QByteArray(R"({"devices": [{"answers": {"NSF?\r": "x"}}]})")
        << QStringLiteral("devices[0].answers.NSF?\r: must name a command");
    QTest::newRow("answer to a command wider than 8 bits")
        << QByteArray(R"({"devices": [{"answers": {"NSF\u20ac": "x"}}]})")
        << QStringLiteral("devices[0].answers.NSF\u20ac: must name a command");
    QTest::newRow("wide character")
        << QByteArray(R"({"devices": [{"firmware": "2.1\u20ac"}]})")
        << QStringLiteral("devices[0].firmware: holds a character the device cannot send");
    QTest::newRow("duplicate id") << QByteArray(R"({"devices": [{"id": "a"}, {"id": "a"}]})")
                                  << QStringLiteral("devices[1].id: \"a\" is used twice");
    QTest::newRow("bus field") << QByteArray(R"({"bus": {"pnp": 1}})")
                               << QStringLiteral("bus.pnp: unknown field");
    QTest::newRow("timeline device")
        << QByteArray(
               R"({"devices": [{}], "timeline": [{"afterMs": 1, "action": "detach", "device": "nobody"}]})")
        << QStringLiteral("timeline[0].device: names no device of the file");
    QTest::newRow("timeline action")
        << QByteArray(
               R"({"devices": [{}], "timeline": [{"afterMs": 1, "action": "unplug", "device": "device1"}]})")
        << QStringLiteral("timeline[0].action: must be");
    QTest::newRow("timeline time missing")
        << QByteArray(
               R"({"devices": [{}], "timeline": [{"action": "detach", "device": "device1"}]})")
        << QStringLiteral("timeline[0].afterMs: is missing");
    QTest::newRow("send without text")
        << QByteArray(
               R"({"devices": [{}], "timeline": [{"afterMs": 0, "action": "send", "device": "device1"}]})")
        << QStringLiteral("timeline[0].text: is missing");
}

void TestConfig::brokenFiles()
{
    QFETCH(QByteArray, json);
    QFETCH(QString, message);
    QTemporaryDir dir;
    const QString path = writeFile(dir, json);
    SimFixture sim;
    auto watcher = sim.component();
    EventRecorder events(watcher.get());
    watcher->EnablePnPNotification(QString::fromLatin1(kDeviceInterfaceGuid));
    const Status pnpBefore = sim.bus.pnpEnableStatus;
    QString error;
    QVERIFY(!sim.bus.loadConfig(path, &error));
    QVERIFY2(error.startsWith(path + QStringLiteral(": ")), qPrintable(error));
    QVERIFY2(error.contains(message), qPrintable(error));
    // Nothing of a refused file is used.
    QVERIFY(sim.bus.devices().isEmpty());
    QCOMPARE(sim.bus.pnpEnableStatus, pnpBefore);
    QVERIFY(sim.bus.componentRegistered());
    SimFixture::settle();
    QVERIFY(events.events.isEmpty());
    QVERIFY(!sim.store.valueExists(
        registry::RootKey::LocalMachine,
        QStringLiteral("SYSTEM\\CurrentControlSet\\Services\\VemoUSB\\Enum"), QStringLiteral("0")));
}

void TestConfig::missingFile()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("absent.json"));
    SimFixture sim;
    QString error;
    QVERIFY(!sim.bus.loadConfig(path, &error));
    QVERIFY2(error.startsWith(path + QStringLiteral(": cannot be read")), qPrintable(error));
    QVERIFY(!sim.bus.loadConfig(path)); // no error text asked for
}

void TestConfig::statuses_data()
{
    QTest::addColumn<QJsonValue>("value");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<Status>("status");
    QTest::newRow("hex") << QJsonValue(QStringLiteral("E000101C")) << true
                         << status::VersionMismatch;
    QTest::newRow("hex 0x") << QJsonValue(QStringLiteral("0xE000A010")) << true
                            << status::DeviceGone;
    QTest::newRow("hex lower") << QJsonValue(QStringLiteral("e000a010")) << true
                               << status::DeviceGone;
    QTest::newRow("short hex") << QJsonValue(QStringLiteral("1F")) << true << Status(0x1F);
    QTest::newRow("number") << QJsonValue(3758100508.0) << true << status::VersionMismatch;
    QTest::newRow("zero") << QJsonValue(0) << true << Status(0);
    QTest::newRow("name") << QJsonValue(QStringLiteral("VersionMismatch")) << true
                          << status::VersionMismatch;
    QTest::newRow("name any case")
        << QJsonValue(QStringLiteral("devicegone")) << true << status::DeviceGone;
    QTest::newRow("negative") << QJsonValue(-1) << false << Status(0);
    QTest::newRow("too big") << QJsonValue(4294967296.0) << false << Status(0);
    QTest::newRow("fraction") << QJsonValue(1.5) << false << Status(0);
    QTest::newRow("empty") << QJsonValue(QString()) << false << Status(0);
    QTest::newRow("nine digits") << QJsonValue(QStringLiteral("E000101C0")) << false << Status(0);
    QTest::newRow("word") << QJsonValue(QStringLiteral("broken")) << false << Status(0);
    QTest::newRow("bool") << QJsonValue(true) << false << Status(0);
}

void TestConfig::statuses()
{
    QFETCH(QJsonValue, value);
    QFETCH(bool, valid);
    QFETCH(Status, status);
    const std::optional<Status> parsed = SimConfig::parseStatus(value);
    QCOMPARE(parsed.has_value(), valid);
    if (valid)
        QCOMPARE(*parsed, status);
}

void TestConfig::busFaults()
{
    QTemporaryDir dir;
    SimFixture sim;
    QVERIFY(sim.bus.loadConfig(writeFile(dir, R"({"bus": {"pnpEnableStatus": "AccessDenied"}})")));
    QCOMPARE(sim.bus.pnpEnableStatus, status::AccessDenied);
    auto c = sim.component();
    QCOMPARE(c->EnablePnPNotification(QString::fromLatin1(kDeviceInterfaceGuid)),
             status::AccessDenied);
}

void TestConfig::componentSwitchedOff()
{
    QTemporaryDir dir;
    SimFixture sim;
    QVERIFY(createComponent());
    QVERIFY(sim.bus.loadConfig(
        writeFile(dir, R"({"devices": [{}], "bus": {"componentRegistered": false}})")));
    QVERIFY(!sim.bus.componentRegistered());
    // "Class not registered" for the program, though the device is there.
    QVERIFY(!createComponent());
    QCOMPARE(sim.bus.devices().size(), 1);
}

void TestConfig::timeline()
{
    QTemporaryDir dir;
    const QString path = writeFile(dir, R"({
      "devices": [{"id": "a", "serial": "AAAAAAAAA"}, {"id": "b", "serial": "BBBBBBBBB"}],
      "timeline": [
        {"afterMs": 0, "action": "send", "device": "a", "text": "hello from a\r"},
        {"afterMs": 2, "action": "detach", "device": "b"},
        {"afterMs": 4, "action": "attach", "device": "b"},
        {"afterMs": 6, "action": "restart", "device": "a", "offBusMs": 1}
      ]
    })");
    SimFixture sim;
    QVERIFY(sim.bus.loadConfig(path));
    // Watching from before the first step of the timeline, after the load.
    SimRig rig(sim);
    QCOMPARE(rig.open(), status::Success);
    QVERIFY(rig.waitForReceived("hello from a\r"));
    // b leaves and comes back, then a restarts: two removals, two arrivals.
    QVERIFY(rig.waitForPnP(EventId::PnPAddNotification, 2));
    QCOMPARE(rig.pnpEvents,
             (QList<EventId>{EventId::PnPRemoveNotification, EventId::PnPAddNotification,
                             EventId::PnPRemoveNotification, EventId::PnPAddNotification}));
    const QList<SimDevice *> devices = sim.bus.devices();
    QCOMPARE(devices.size(), 2);
    // b came back as the same device, now last in the order.
    QCOMPARE(devices.at(0)->serialNumber(), QByteArray("AAAAAAAAA"));
    QCOMPARE(devices.at(1)->serialNumber(), QByteArray("BBBBBBBBB"));
    QVERIFY(devices.at(0)->onBus());
}

void TestConfig::detachedAtStartComesLater()
{
    QTemporaryDir dir;
    const QString path = writeFile(dir, R"({
      "devices": [{"id": "late", "attached": false}],
      "timeline": [{"afterMs": 1, "action": "attach", "device": "late"}]
    })");
    SimFixture sim;
    QVERIFY(sim.bus.loadConfig(path));
    QVERIFY(sim.bus.devices().isEmpty());
    QTRY_COMPARE(sim.bus.devices().size(), 1);
    QVERIFY(sim.bus.devices().first()->onBus());
}

QTEST_GUILESS_MAIN(TestConfig)
#include "tst_usbio_config.moc"
