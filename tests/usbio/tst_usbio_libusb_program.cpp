// The whole program on the "libusb" backend, offscreen, against devices of
// a mocked kernel (umockdev): its start-up finds the devices and lists them,
// a production line's serial run opens one and commands it, and an
// unattended update loads an image into it through its loader. The program
// runs as a child process inside the same testbed; the ioctl handlers and
// the device model behind the devices stay in this process, whose event
// loop must run while the program works.

#include "tests/usbio/SimFixture.h"
#include "tests/usbio/umockdev/UmockdevMain.h"
#include "tests/usbio/umockdev/UmockdevTestCase.h"
#include "tests/usbio/umockdev/UsbMockBus.h"
#include "tests/usbio/umockdev/UsbMockDevice.h"

#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <vector>

#include <unistd.h>

using namespace usbio;

namespace {

const QString kNoVemoDetected =
    QStringLiteral("No Vemo detected, be shure Vemo is connected and latest driver is installed!!");

// The program with its message log on standard output, in a folder of its
// own (the last line of its start-up is that folder).
class Program
{
public:
    // heldDescriptors: descriptors the program finds open when it starts
    // (see fourInstancesRecordTheirUpdates).
    explicit Program(const QStringList &options, int heldDescriptors = 0)
    {
        m_process.setWorkingDirectory(m_dir.path());
        m_process.setProcessChannelMode(QProcess::SeparateChannels);
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        m_process.setProcessEnvironment(environment);
        // The options come before a production command line in options.
        const QStringList arguments =
            QStringList{QStringLiteral("--registry=") +
                            m_dir.filePath(QStringLiteral("registry.json")),
                        QStringLiteral("--log-file=-")} +
            options;
        if (heldDescriptors == 0) {
            m_process.start(QStringLiteral(VEMOTOOL_PATH), arguments);
            return;
        }
        QString held;
        for (int fd = 3; fd < 3 + heldDescriptors; ++fd)
            held += QStringLiteral(" %1</dev/null").arg(fd);
        m_process.start(QStringLiteral("/bin/bash"),
                        QStringList{QStringLiteral("-c"),
                                    QStringLiteral("exec%1 \"$0\" \"$@\"").arg(held),
                                    QStringLiteral(VEMOTOOL_PATH)} +
                            arguments);
    }
    ~Program()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.terminate();
            if (!m_process.waitForFinished(5000))
                m_process.kill();
            m_process.waitForFinished(5000);
        }
    }

    // The log of its start-up: read until the folder line (near its end)
    // has come and then nothing more for a second, at most 30 s in all.
    QStringList startupLog()
    {
        const QString folder = QDir(m_dir.path()).canonicalPath();
        QElapsedTimer clock;
        clock.start();
        QElapsedTimer quiet;
        quiet.start();
        while (clock.elapsed() < 30000 && m_process.state() != QProcess::NotRunning &&
               !(m_lines.contains(folder) && quiet.elapsed() > 1000)) {
            m_process.waitForReadyRead(100);
            const QByteArray more = m_process.readAllStandardOutput();
            if (!more.isEmpty())
                quiet.restart();
            m_output += more;
            m_lines = QString::fromLocal8Bit(m_output).split(QLatin1Char('\n'));
        }
        return m_lines;
    }
    QString errors() { return QString::fromLocal8Bit(m_process.readAllStandardError()); }

    // Runs this process's event loop (the devices live in it) until the
    // program has ended, at most timeoutMs; the program's exit status, or
    // -1 when it is still running.
    int waitForExit(int timeoutMs)
    {
        SimFixture::waitFor([this] { return m_process.state() == QProcess::NotRunning; },
                            timeoutMs);
        if (m_process.state() != QProcess::NotRunning)
            return -1;
        return m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
    }
    // The whole log, once the program has ended.
    QStringList log()
    {
        m_output += m_process.readAllStandardOutput();
        return QString::fromLocal8Bit(m_output).split(QLatin1Char('\n'));
    }
    QString filePath(const QString &name) const { return m_dir.filePath(name); }

private:
    QTemporaryDir m_dir;
    QProcess m_process;
    QByteArray m_output;
    QStringList m_lines;
};

} // namespace

class TestLibusbProgram : public UmockdevTestCase
{
    Q_OBJECT

private Q_SLOTS:
    void startupFindsAndListsTheDevices_data();
    void startupFindsAndListsTheDevices();
    void startupWithoutDevice();
    void serialRunOpensAndCommandsTheDevice();
    void unattendedUpdateThroughTheLoader_data();
    void unattendedUpdateThroughTheLoader();
    void deviceLeftInItsLoaderIsRecovered_data();
    void deviceLeftInItsLoaderIsRecovered();
    void listsTheDevicesBehindAHub();
    void namedDeviceIsTheOnlyOneOpened_data();
    void namedDeviceIsTheOnlyOneOpened();
    void twoInstancesUpdateTwoDevicesAtOnce();
    void fourInstancesRecordTheirUpdates();
};

namespace {

// A hub on port 1 with four devices, the second one in its loader.
QList<UsbMockDevice *> hubOfFour(UsbMockBus &mock, int restartDelayMs = 0)
{
    mock.addHub(1);
    const QList<QPair<Generation, QByteArray>> plugged{{Generation::Vemo, "100000001"},
                                                       {Generation::Vemo2, "200000002"},
                                                       {Generation::Vemo3, "300000003"},
                                                       {Generation::Vemo2, "200000004"}};
    QList<UsbMockDevice *> devices;
    for (int port = 1; port <= plugged.size(); ++port) {
        VemoFirmware::Settings settings;
        settings.serialNumber = plugged.at(port - 1).second;
        settings.firmwareVersion = "2.10";
        settings.restartDelayMs = restartDelayMs;
        settings.eraseDelayMs = 50;
        settings.loaderAnnouncesBlank = true;
        devices << mock.addBehindHub(plugged.at(port - 1).first, 1, port, settings);
    }
    return devices;
}

} // namespace

void TestLibusbProgram::startupFindsAndListsTheDevices_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::newRow("--usb=libusb") << QStringList{QStringLiteral("--usb=libusb")};
    QTest::newRow("the default") << QStringList{};
}

void TestLibusbProgram::startupFindsAndListsTheDevices()
{
    QFETCH(QStringList, options);
    UsbMockBus mock;
    mock.add(Generation::Vemo3, 2);
    mock.add(Generation::Vemo2, 1);
    Program program(options);
    const QStringList log = program.startupLog();
    const QString diagnostics = log.join(QLatin1Char('\n')) + program.errors();

    // Found through libusb and published as the driver would: the registry
    // probe names both, in enumeration order.
    const int vemo2 = int(log.indexOf(QStringLiteral("Vemo2 found")));
    const int vemo3 = int(log.indexOf(QStringLiteral("Vemo3 found")));
    QVERIFY2(vemo2 >= 0 && vemo3 > vemo2, qPrintable(diagnostics));
    QVERIFY2(log.contains(QStringLiteral("Vemo2 USB driver installed")), qPrintable(diagnostics));
    QVERIFY2(log.contains(QStringLiteral("PnPNotification enabled")), qPrintable(diagnostics));
    // The device list holds them: the window did not find it empty, and
    // took no entry for an unknown device.
    QVERIFY2(!log.contains(kNoVemoDetected), qPrintable(diagnostics));
    for (const QString &line : log) {
        QVERIFY2(!line.startsWith(QLatin1String("Unknown device detected")), qPrintable(line));
        QVERIFY2(!line.startsWith(QLatin1String("USB:")), qPrintable(line));
    }
}

void TestLibusbProgram::startupWithoutDevice()
{
    UsbMockBus mock;
    // Another product of the vendor is not a Vemo.
    mock.addOtherProduct(kVendorId, 0x0999, 1);
    Program program({QStringLiteral("--usb=libusb")});
    const QStringList log = program.startupLog();
    const QString diagnostics = log.join(QLatin1Char('\n')) + program.errors();
    QVERIFY2(log.contains(QStringLiteral("No Vemo found")), qPrintable(diagnostics));
    QVERIFY2(log.contains(kNoVemoDetected), qPrintable(diagnostics));
    // A host without a USB file system (this testbed holds no device node)
    // says so in one line, before plug-and-play is enabled.
    const bool usbFileSystem = ::access("/dev/bus/usb", F_OK) == 0;
    const int note = int(log.indexOf(
        QStringLiteral("USB: this system has no USB file system (/dev/bus/usb is missing); no USB "
                       "device can be found")));
    QCOMPARE(note >= 0, !usbFileSystem);
    if (note >= 0)
        QVERIFY(note < log.indexOf(QStringLiteral("PnPNotification enabled")));
}

// A production line writes a serial number: the program opens the one
// device listed, writes it, reads it back and ends.
void TestLibusbProgram::serialRunOpensAndCommandsTheDevice()
{
    UsbMockBus mock;
    UsbMockDevice *device = mock.add(Generation::Vemo2, 1);
    Program program({QStringLiteral("--usb=libusb"), QStringLiteral("--batch"),
                     QStringLiteral("--timeout=60"), QStringLiteral("/SERIAL123456789")});
    const int status = program.waitForExit(90000);
    const QStringList log = program.log();
    const QString diagnostics = log.join(QLatin1Char('\n')) + program.errors();
    QVERIFY2(status == 0, qPrintable(diagnostics));
    QVERIFY2(log.contains(QStringLiteral("Device opend: Vemo2 #1")), qPrintable(diagnostics));
    QVERIFY2(log.contains(QStringLiteral("serial number written: 123456789")),
             qPrintable(diagnostics));
    QCOMPARE(device->firmware().serialNumber(), QByteArray("123456789"));
    QVERIFY(device->commands().contains("DEVNR123456789"));
}

void TestLibusbProgram::unattendedUpdateThroughTheLoader_data()
{
    QTest::addColumn<int>("delayMs");
    QTest::addColumn<int>("size");
    for (int delay : {0, 1, 5, 20}) {
        for (int size : {1, 63, 64, 65, 4096, 100001})
            QTest::addRow("%d ms, %d bytes", delay, size) << delay << size;
    }
}

// An unattended update: the program opens the device, sends it to its
// loader, follows it off the bus and back (a remove and an add uevent),
// opens it again, and once the flash is blank (this loader says so by
// itself, sparing the repeated request) sends the image. It reports done
// (status 0) when the device took the last chunk, and only then: the device
// holds the image byte for byte, however long it takes each chunk.
void TestLibusbProgram::unattendedUpdateThroughTheLoader()
{
    QFETCH(int, delayMs);
    QFETCH(int, size);
    UsbMockBus mock;
    VemoFirmware::Settings settings;
    settings.firmwareVersion = "1.40";
    settings.restartDelayMs = 100;
    settings.eraseDelayMs = 20;
    settings.loaderAnnouncesBlank = true;
    settings.imageSize = size;
    UsbMockDevice *device = mock.add(Generation::Vemo, 1, settings);
    device->setWriteDelayMs(delayMs);
    QByteArray image(size, '\0');
    for (int i = 0; i < image.size(); ++i)
        image[i] = char((i * 7 + i / 64 + delayMs) & 0xFF);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("vemo.bin"));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(image);
    file.close();

    Program program({QStringLiteral("--usb=libusb"), QStringLiteral("--batch"),
                     QStringLiteral("--timeout=120"), path});
    const int status = program.waitForExit(150000);
    const QStringList log = program.log();
    const QString diagnostics = log.join(QLatin1Char('\n')) + program.errors();
    QVERIFY2(status == 0, qPrintable(diagnostics));
    QCOMPARE(device->image(), image);
    QCOMPARE(device->chunks().join(), image);
    QVERIFY2(log.filter(QStringLiteral("Device opend: Vemo #1")).size() >= 2,
             qPrintable(diagnostics));
    QCOMPARE(
        log.filter(QStringLiteral("Firmware update complete: %1, %2 bytes in ").arg(path).arg(size))
            .size(),
        1);
    // The device restarts with the new firmware.
    QVERIFY(SimFixture::waitFor([device] { return device->onBus(); }, 5000));
    QCOMPARE(device->firmware().firmwareVersion(), QByteArray("1.41"));
    QVERIFY(!device->firmware().inLoader());
}

void TestLibusbProgram::deviceLeftInItsLoaderIsRecovered_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::newRow("production run") << QStringList{};
    QTest::newRow("--verify") << QStringList{QStringLiteral("--verify")};
    QTest::newRow("--device=PATH") << QStringList{QStringLiteral("--device=1-1")};
}

// An update cut short after the erase left the device in its loader: on the
// bus in its loader from the start, without a serial number. The update run
// again loads the image into it, byte for byte, and ends with 0; the device
// comes back with its firmware.
void TestLibusbProgram::deviceLeftInItsLoaderIsRecovered()
{
    QFETCH(QStringList, options);
    UsbMockBus mock;
    VemoFirmware::Settings settings;
    settings.restartDelayMs = 100;
    settings.flashErased = true;
    UsbMockDevice *device = mock.add(Generation::Vemo2, 1, settings);
    QVERIFY(device->firmware().inLoader());
    QByteArray image(64 * 30 + 11, '\0');
    for (int i = 0; i < image.size(); ++i)
        image[i] = char((i * 13 + 5) & 0xFF);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("vemo2.bin"));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(image);
    file.close();

    Program program(QStringList{QStringLiteral("--usb=libusb"), QStringLiteral("--batch"),
                                QStringLiteral("--timeout=120")} +
                    options + QStringList{path});
    const int status = program.waitForExit(150000);
    const QStringList log = program.log();
    const QString diagnostics = log.join(QLatin1Char('\n')) + program.errors();
    QVERIFY2(status == 0, qPrintable(diagnostics));
    QCOMPARE(device->image(), image);
    QVERIFY2(log.contains(QStringLiteral("run ended: 0 done")), qPrintable(diagnostics));
    QVERIFY(SimFixture::waitFor([device] { return device->onBus(); }, 5000));
    QVERIFY(!device->firmware().inLoader());
}

// --list in the same testbed: the four devices behind the hub, by their
// port paths, without opening any of them.
void TestLibusbProgram::listsTheDevicesBehindAHub()
{
    UsbMockBus mock;
    const QList<UsbMockDevice *> devices = hubOfFour(mock);
    {
        UsbMockDevice *loader = devices.at(1);
        loader->firmware().receive(kCommandEndpoint, "USB-Vemo:BWF!!!");
        QVERIFY(SimFixture::waitFor([loader] { return loader->firmware().inLoader(); }));
    }
    Program text({QStringLiteral("--usb=libusb"), QStringLiteral("--list")});
    QCOMPARE(text.waitForExit(30000), 0);
    QStringList lines = text.log();
    lines.removeAll(QString());
    for (QString &line : lines)
        line = line.simplified();
    QCOMPARE(lines, (QStringList{"1 Vemo 100000001 2.10 1-1.1", "2 Vemo2 - 1.00 1-1.2",
                                 "3 Vemo3 300000003 2.10 1-1.3", "4 Vemo2 200000004 2.10 1-1.4"}));

    Program json(
        {QStringLiteral("--usb=libusb"), QStringLiteral("--list"), QStringLiteral("--json")});
    QCOMPARE(json.waitForExit(30000), 0);
    const QJsonArray array =
        QJsonDocument::fromJson(json.log().join(QLatin1Char('\n')).toUtf8()).array();
    QCOMPARE(array.size(), 4);
    QCOMPARE(array.at(2).toObject().value(QStringLiteral("path")).toString(),
             QStringLiteral("1-1.3"));
    QCOMPARE(array.at(2).toObject().value(QStringLiteral("productId")).toString(),
             QStringLiteral("088b"));
    QVERIFY(array.at(1).toObject().value(QStringLiteral("serial")).isNull());

    for (UsbMockDevice *device : devices) {
        QCOMPARE(device->opens(), 0);
        QCOMPARE(device->claims(), 0);
    }
}

void TestLibusbProgram::namedDeviceIsTheOnlyOneOpened_data()
{
    QTest::addColumn<QString>("named");
    QTest::addColumn<int>("device");
    QTest::newRow("by path") << "1-1.3" << 2;
    QTest::newRow("by serial") << "200000004" << 3;
}

// A serial run told its device among the four: only that device's node is
// opened and its interface claimed, and only it takes the number.
void TestLibusbProgram::namedDeviceIsTheOnlyOneOpened()
{
    QFETCH(QString, named);
    QFETCH(int, device);
    UsbMockBus mock;
    const QList<UsbMockDevice *> devices = hubOfFour(mock);
    Program program({QStringLiteral("--usb=libusb"), QStringLiteral("--batch"),
                     QStringLiteral("--timeout=60"), QStringLiteral("--device=") + named,
                     QStringLiteral("/SERIAL123456789")});
    const int status = program.waitForExit(90000);
    const QStringList log = program.log();
    const QString diagnostics = log.join(QLatin1Char('\n')) + program.errors();
    QVERIFY2(status == 0, qPrintable(diagnostics));
    QVERIFY2(log.contains(QStringLiteral("serial number read back: 123456789")),
             qPrintable(diagnostics));
    for (int i = 0; i < devices.size(); ++i) {
        const bool named_ = i == device;
        QVERIFY2(named_ ? devices.at(i)->opens() > 0 : devices.at(i)->opens() == 0,
                 qPrintable(devices.at(i)->instanceId()));
        QCOMPARE(devices.at(i)->claims() > 0, named_);
        QCOMPARE(devices.at(i)->firmware().serialNumber() == "123456789", named_);
        QCOMPARE(devices.at(i)->commands().isEmpty(), !named_);
    }
}

// Two instances at once, each told its own device behind the hub, each
// loading an image through its device's loader: each device restarts twice,
// and each instance hears the other's device leave and come back, and goes
// on with its own.
void TestLibusbProgram::twoInstancesUpdateTwoDevicesAtOnce()
{
    UsbMockBus mock;
    const QList<UsbMockDevice *> devices = hubOfFour(mock, 300);
    QTemporaryDir dir;
    QList<QByteArray> images;
    QStringList paths;
    for (int i = 0; i < 2; ++i) {
        QByteArray image(64 * (30 + 7 * i) + 11, '\0');
        for (int b = 0; b < image.size(); ++b)
            image[b] = char((b * (3 + i) + b / 64) & 0xFF);
        images << image;
        paths << dir.filePath(QStringLiteral("image%1.bin").arg(i));
        QFile file(paths.last());
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(image);
    }
    Program first({QStringLiteral("--usb=libusb"), QStringLiteral("--batch"),
                   QStringLiteral("--timeout=120"), QStringLiteral("--device=1-1.3"), paths.at(0)});
    // The mock hands uevents to a socket named after its descriptor number
    // in the process: the second instance opens its capture file first, so
    // that the two instances' sockets differ and both hear every event.
    Program second({QStringLiteral("--usb=libusb"), QStringLiteral("--batch"),
                    QStringLiteral("--timeout=120"), QStringLiteral("--device=200000004"),
                    QStringLiteral("--capture=") + dir.filePath(QStringLiteral("second.pcap")),
                    paths.at(1)});
    const int firstStatus = first.waitForExit(150000);
    const int secondStatus = second.waitForExit(150000);
    const QString diagnostics = first.log().join(QLatin1Char('\n')) + first.errors() +
                                QStringLiteral("\n----\n") + second.log().join(QLatin1Char('\n')) +
                                second.errors();
    QVERIFY2(firstStatus == 0 && secondStatus == 0, qPrintable(diagnostics));
    QCOMPARE(devices.at(2)->image(), images.at(0));
    QCOMPARE(devices.at(3)->image(), images.at(1));
    QVERIFY(devices.at(0)->commands().isEmpty());
    QVERIFY(devices.at(1)->commands().isEmpty());
    QCOMPARE(devices.at(0)->opens() + devices.at(1)->opens(), 0);
}

// A production station: four instances at once, one per device behind the
// hub, each a calibrated, verified and recorded update named by serial
// number, all on one key store and one record file. Each instance asks its
// device for its calibration and sends it into its loader at once, while
// the other devices leave for their loaders and come back: each still gets
// its device's answers and makes its certificate. Each device holds its own
// image; the record file has one whole line per run with its device, image
// and certificate; a fifth run naming a serial number that is not attached
// ends with 4 and touches no device.
void TestLibusbProgram::fourInstancesRecordTheirUpdates()
{
    UsbMockBus mock;
    const QList<UsbMockDevice *> devices = hubOfFour(mock, 300);
    const QStringList serials{"100000001", "200000002", "300000003", "200000004"};
    QTemporaryDir dir;
    const QString registry = dir.filePath(QStringLiteral("registry.json"));
    const QString record = dir.filePath(QStringLiteral("record.jsonl"));
    QVERIFY(QDir(dir.path()).mkpath(QStringLiteral("certificates")));
    const QStringList shared{QStringLiteral("--usb=libusb"),
                             QStringLiteral("--batch"),
                             QStringLiteral("--timeout=150"),
                             QStringLiteral("--verify"),
                             QStringLiteral("--registry=") + registry,
                             QStringLiteral("--record=") + record,
                             QStringLiteral("--print-to=") +
                                 dir.filePath(QStringLiteral("certificates"))};
    QList<QByteArray> images;
    QStringList paths;
    for (int i = 0; i < devices.size(); ++i) {
        QByteArray image(64 * (20 + 5 * i) + 3 * i + 1, '\0');
        for (int b = 0; b < image.size(); ++b)
            image[b] = char((b * (5 + i) + b / 64 + i) & 0xFF);
        images << image;
        paths << dir.filePath(QStringLiteral("image%1.bin").arg(i));
        QFile file(paths.last());
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(image);
    }
    // The mock hands uevents to a socket named after its descriptor number
    // in the process: each instance finds a different number of descriptors
    // open (eight apart, as the descriptors an instance opens before its
    // socket vary a little with timing), so that the four instances'
    // sockets differ and all hear every event.
    std::vector<std::unique_ptr<Program>> programs;
    for (int i = 0; i < devices.size(); ++i)
        programs.push_back(std::make_unique<Program>(
            shared + QStringList{QStringLiteral("--device=") + serials.at(i), paths.at(i),
                                 QStringLiteral("/CALIBRATE")},
            8 * i));
    QList<int> statuses;
    for (auto &program : programs)
        statuses << program->waitForExit(180000);
    if (statuses != QList<int>({0, 0, 0, 0})) {
        for (auto &program : programs)
            qWarning("%s", qPrintable(program->log().join(QLatin1Char('\n')) + program->errors()));
    }
    QCOMPARE(statuses, QList<int>({0, 0, 0, 0}));
    for (int i = 0; i < devices.size(); ++i)
        QCOMPARE(devices.at(i)->image(), images.at(i));

    QFile recordFile(record);
    QVERIFY(recordFile.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = recordFile.readAll().split('\n');
    QCOMPARE(lines.size(), 5); // four lines and the empty rest after the last break
    QSet<QString> seen;
    for (int l = 0; l < 4; ++l) {
        QJsonParseError error;
        const QJsonObject one = QJsonDocument::fromJson(lines.at(l), &error).object();
        QVERIFY2(error.error == QJsonParseError::NoError, lines.at(l).constData());
        const int i = int(serials.indexOf(one.value(QStringLiteral("serial")).toString()));
        QVERIFY2(i >= 0, lines.at(l).constData());
        seen.insert(serials.at(i));
        QCOMPARE(one.value(QStringLiteral("status")).toInt(-1), 0);
        QCOMPARE(one.value(QStringLiteral("device")).toString(), serials.at(i));
        QCOMPARE(one.value(QStringLiteral("path")).toString(), QStringLiteral("1-1.%1").arg(i + 1));
        QCOMPARE(one.value(QStringLiteral("imageSha256")).toString(),
                 QString::fromLatin1(
                     QCryptographicHash::hash(images.at(i), QCryptographicHash::Sha256).toHex()));
        QCOMPARE(one.value(QStringLiteral("bytesTaken")).toInt(), images.at(i).size());
        QCOMPARE(one.value(QStringLiteral("firmwareBefore")).toString(), QStringLiteral("2.10"));
        QCOMPARE(one.value(QStringLiteral("firmwareAfter")).toString(), QStringLiteral("2.11"));
        QCOMPARE(one.value(QStringLiteral("run")).toString(), QStringLiteral("calibrated-update"));
        QCOMPARE(one.value(QStringLiteral("deviation")).toString(), QStringLiteral("+0.000"));
        const QString certificate = one.value(QStringLiteral("certificate")).toString();
        QVERIFY2(certificate.contains(QStringLiteral("Certificate-") + serials.at(i)) &&
                     QFile::exists(certificate),
                 lines.at(l).constData());
    }
    QCOMPARE(seen.size(), 4);
    QFile registryFile(registry);
    QVERIFY(registryFile.open(QIODevice::ReadOnly));
    QJsonParseError registryError;
    QVERIFY(QJsonDocument::fromJson(registryFile.readAll(), &registryError).isObject());
    QCOMPARE(registryError.error, QJsonParseError::NoError);

    // A serial number that is not attached: nothing opened, nothing sent.
    QList<int> opens;
    QList<int> commands;
    for (UsbMockDevice *device : devices) {
        opens << device->opens();
        commands << int(device->commands().size());
    }
    Program absent(shared + QStringList{QStringLiteral("--device=999999999"), paths.at(0)});
    QCOMPARE(absent.waitForExit(90000), 4);
    for (int i = 0; i < devices.size(); ++i) {
        QCOMPARE(devices.at(i)->opens(), opens.at(i));
        QCOMPARE(int(devices.at(i)->commands().size()), commands.at(i));
    }
    recordFile.seek(0);
    const QList<QByteArray> after = recordFile.readAll().split('\n');
    QCOMPARE(after.size(), 6);
    const QJsonObject last = QJsonDocument::fromJson(after.at(4)).object();
    QCOMPARE(last.value(QStringLiteral("status")).toInt(), 4);
    QVERIFY(last.value(QStringLiteral("serial")).isNull());
    QCOMPARE(last.value(QStringLiteral("device")).toString(), QStringLiteral("999999999"));
}

VEMO_UMOCKDEV_TEST_MAIN(TestLibusbProgram)
#include "tst_usbio_libusb_program.moc"
