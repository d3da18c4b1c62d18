// The production station on the "libusb" backend against devices of a
// mocked kernel (umockdev): one emulated bus serves the station (in this
// process, beside the devices' handlers) and every run it starts (vemotool
// processes inside the same testbed). Auto is on and the operator only
// plugs and unplugs, one device after another behind a hub: one is updated,
// one is pulled in the middle of its image, one is of a generation without
// an image, one was left in its loader by an earlier update and is recovered.

#include "station/DeviceWatch.h"
#include "station/Station.h"
#include "tests/support/TestBytes.h"
#include "tests/usbio/umockdev/LibusbFixture.h"
#include "tests/usbio/umockdev/UmockdevMain.h"
#include "tests/usbio/umockdev/UmockdevTestCase.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

using namespace usbio;
using namespace station;

namespace {

constexpr int kRunMs = 180000;

// The mock hands uevents to a socket named after its descriptor number in
// the process that listens: each run (and this process, whose libusb opens
// its socket early) must listen on another number, or only one of them
// hears the bus. The runs are started through this, which opens a number of
// descriptors that grows with the socket (1-1.K) before the program starts.
const char *const kLauncher = R"(#!/bin/bash
k=0
for argument in "$@"; do
    case "$argument" in
    --device=1-1.*) k=${argument#--device=1-1.} ;;
    esac
done
for fd in $(seq 3 $((40 + 10 * k))); do
    eval "exec $fd</dev/null"
done
exec "$@"
)";

} // namespace

class TestLibusbStation : public UmockdevTestCase
{
    Q_OBJECT

private Q_SLOTS:
    void autoUpdatesEachDevicePluggedIn();
};

void TestLibusbStation::autoUpdatesEachDevicePluggedIn()
{
    QTemporaryDir dir;
    LibusbFixture fixture;
    fixture.mock.addHub(1);
    const QList<QPair<Generation, QByteArray>> plugged{{Generation::Vemo2, "200000001"},
                                                       {Generation::Vemo2, "200000002"},
                                                       {Generation::Vemo3, "300000003"},
                                                       {Generation::Vemo2, "200000004"}};
    QList<UsbMockDevice *> devices;
    for (int port = 1; port <= plugged.size(); ++port) {
        VemoFirmware::Settings settings;
        settings.serialNumber = plugged.at(port - 1).second;
        settings.firmwareVersion = "2.10";
        settings.restartDelayMs = 300;
        settings.eraseDelayMs = 50;
        settings.loaderAnnouncesBlank = true;
        // The fourth comes from a failed update: erased, in its loader,
        // which announces its blank flash as it starts; the run's own
        // loader request erases it again while the image may be streaming.
        settings.flashErased = port == 4;
        UsbMockDevice *device =
            fixture.mock.addBehindHub(plugged.at(port - 1).first, 1, port, settings);
        // Not in its socket yet: the operator plugs it in later.
        device->unplug();
        devices << device;
    }
    // The second one takes its chunks slowly: it is pulled in the middle.
    devices.at(1)->setWriteDelayMs(25);
    fixture.start();

    const QByteArray image = testBytes(64 * 60 + 17, 3);
    QFile imageFile(dir.filePath(QStringLiteral("vemo2.bin")));
    QVERIFY(imageFile.open(QIODevice::WriteOnly));
    imageFile.write(image);
    imageFile.close();
    QFile launcher(dir.filePath(QStringLiteral("launch")));
    QVERIFY(launcher.open(QIODevice::WriteOnly));
    launcher.write(kLauncher);
    launcher.close();
    launcher.setPermissions(QFile::ReadOwner | QFile::ExeOwner);

    Settings settings;
    settings.program = QStringLiteral(VEMOTOOL_PATH);
    settings.launcher = {launcher.fileName()};
    settings.images.insert(QStringLiteral("Vemo2"), imageFile.fileName());
    settings.recordFile = dir.filePath(QStringLiteral("station.jsonl"));
    settings.logFolder = dir.filePath(QStringLiteral("logs"));
    settings.timeoutSeconds = 150;
    settings.tempRoot = dir.path();
    settings.passOn = {QStringLiteral("--usb=libusb"),
                       QStringLiteral("--registry=") +
                           dir.filePath(QStringLiteral("registry.json"))};
    Station station(settings);
    DeviceWatch watch;
    connect(&watch, &DeviceWatch::devicesChanged, &station, &Station::devicesSeen);
    QString error;
    QVERIFY2(watch.start(&error), qPrintable(error));
    station.setAuto(true);
    QVERIFY(station.paths().isEmpty());

    // One after another: the first, then the slow one while the first runs.
    devices.at(0)->plug();
    QTRY_VERIFY_WITH_TIMEOUT(station.socket(QStringLiteral("1-1.1")), 10000);
    const Socket &first = *station.socket(QStringLiteral("1-1.1"));
    QTRY_COMPARE_WITH_TIMEOUT(first.state, SocketState::Running, 10000);
    devices.at(1)->plug();
    QTRY_VERIFY_WITH_TIMEOUT(station.socket(QStringLiteral("1-1.2")), 10000);
    const Socket &pulled = *station.socket(QStringLiteral("1-1.2"));
    QTRY_COMPARE_WITH_TIMEOUT(pulled.state, SocketState::Running, 10000);
    // The Vemo3 has no image: left alone, and its row says why.
    devices.at(2)->plug();
    QTRY_VERIFY_WITH_TIMEOUT(station.socket(QStringLiteral("1-1.3")), 10000);
    const Socket &alone = *station.socket(QStringLiteral("1-1.3"));
    QCOMPARE(alone.state, SocketState::LeftAlone);
    QCOMPARE(Station::stateText(alone), QStringLiteral("left alone: no image for Vemo3"));
    // The one left in its loader gets its run like any other.
    QVERIFY(devices.at(3)->firmware().inLoader());
    devices.at(3)->plug();
    QTRY_VERIFY_WITH_TIMEOUT(station.socket(QStringLiteral("1-1.4")), 10000);
    const Socket &recovered = *station.socket(QStringLiteral("1-1.4"));
    QTRY_VERIFY_WITH_TIMEOUT(recovered.state != SocketState::Waiting, 10000);
    QVERIFY(recovered.state != SocketState::LeftAlone);

    // Pulled while its image streams in.
    QTRY_VERIFY_WITH_TIMEOUT(pulled.bytes > 0 && pulled.stage == QLatin1String("transferring"),
                             kRunMs);
    devices.at(1)->unplug();
    QTRY_COMPARE_WITH_TIMEOUT(station.runsGoing(), 0, kRunMs);

    const auto logOf = [](const Socket &socket) {
        QFile log(socket.logFile);
        return log.open(QIODevice::ReadOnly) ? QString::fromUtf8(log.readAll()) : QString();
    };
    QVERIFY2(first.state == SocketState::Done, qPrintable(logOf(first)));
    QCOMPARE(Station::resultText(first), QStringLiteral("0 done"));
    QCOMPARE(Station::firmwareText(first), QStringLiteral("2.10 -> 2.11"));
    QCOMPARE(devices.at(0)->image(), image);
    QVERIFY2(recovered.state == SocketState::Done, qPrintable(logOf(recovered)));
    QCOMPARE(Station::resultText(recovered), QStringLiteral("0 done"));
    QCOMPARE(devices.at(3)->image(), image);
    QVERIFY(!devices.at(3)->firmware().inLoader());

    QCOMPARE(pulled.state, SocketState::Failed);
    QCOMPARE(Station::stateText(pulled), QStringLiteral("failed (the device is gone)"));
    QCOMPARE(pulled.status, 5);
    QVERIFY2(pulled.reason.startsWith(QLatin1String("transfer failed: device removed at ")),
             qPrintable(pulled.reason));
    QVERIFY(devices.at(1)->image().isEmpty());
    // The Vemo3 was never opened.
    QCOMPARE(devices.at(2)->opens(), 0);
    QCOMPARE(alone.state, SocketState::LeftAlone);

    // Every run has its record, as its row says.
    QFile records(settings.recordFile);
    QVERIFY(records.open(QIODevice::ReadOnly));
    QMap<QString, QJsonObject> byPath;
    for (const QByteArray &line : records.readAll().split('\n')) {
        const QJsonObject record = QJsonDocument::fromJson(line).object();
        if (!record.isEmpty())
            byPath.insert(record.value(QStringLiteral("path")).toString(), record);
    }
    QCOMPARE(byPath.keys(), QStringList({"1-1.1", "1-1.2", "1-1.4"}));
    QCOMPARE(byPath.value(QStringLiteral("1-1.4")).value(QStringLiteral("status")).toInt(), 0);
    const QJsonObject done = byPath.value(QStringLiteral("1-1.1"));
    QCOMPARE(done.value(QStringLiteral("status")).toInt(), 0);
    QCOMPARE(done.value(QStringLiteral("serial")).toString(), QStringLiteral("200000001"));
    QCOMPARE(done.value(QStringLiteral("bytesTaken")).toInt(), image.size());
    QCOMPARE(
        done.value(QStringLiteral("imageSha256")).toString(),
        QString::fromLatin1(QCryptographicHash::hash(image, QCryptographicHash::Sha256).toHex()));
    const QJsonObject failed = byPath.value(QStringLiteral("1-1.2"));
    QCOMPARE(failed.value(QStringLiteral("status")).toInt(), 5);
    QCOMPARE(failed.value(QStringLiteral("reason")).toString(), pulled.reason);
    const int taken = failed.value(QStringLiteral("bytesTaken")).toInt(-1);
    QVERIFY2(taken >= 0 && taken < image.size(), qPrintable(QString::number(taken)));
    QVERIFY2(
        pulled.reason.endsWith(QStringLiteral(" at %1 of %2 bytes").arg(taken).arg(image.size())),
        qPrintable(pulled.reason));
    QCOMPARE(station.doneCount(), 2);
    QCOMPARE(station.failedCount(), 1);

    // The done device leaves: its row waits for the next device.
    devices.at(0)->unplug();
    QTRY_COMPARE_WITH_TIMEOUT(first.state, SocketState::Waiting, 10000);
    QCOMPARE(station.runsGoing(), 0);
}

VEMO_UMOCKDEV_TEST_MAIN(TestLibusbStation)
#include "tst_usbio_libusb_station.moc"
