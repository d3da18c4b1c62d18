// The Vemo firmware model on its own, behind a recording host: what a
// kernel-level mock would see of it, without any component in between.

#include "usbio/devicemodel/DeviceModelHost.h"
#include "usbio/devicemodel/ImageBuffer.h"
#include "usbio/devicemodel/VemoFirmware.h"

#include <QTest>

#include <functional>

using namespace usbio;

namespace {

// Records what the firmware does to the world; restarts are carried out at
// once (power off, power on) unless held.
class RecordingHost : public DeviceModelHost
{
public:
    void sendToHost(const QByteArray &packet) override
    {
        packets.append(packet);
        if (afterPacket)
            afterPacket();
    }
    void restart(int offBusMs) override
    {
        restarts.append(offBusMs);
        if (firmware && !holdRestarts) {
            firmware->powerOff();
            firmware->powerOn();
        }
    }
    void commandReceived(const QByteArray &command) override
    {
        commands.append(command);
        if (afterCommand)
            afterCommand();
    }
    void imageReceived(const QByteArray &image) override
    {
        images.append(image);
        if (afterImage)
            afterImage();
    }
    void stateChanged() override
    {
        states.append(firmware->serialNumber() + ' ' + firmware->calibrationDate() + ' ' +
                      firmware->firmwareVersion() + (firmware->inLoader() ? " loader" : ""));
    }

    QByteArray sent() const
    {
        QByteArray all;
        for (const QByteArray &packet : packets)
            all += packet;
        return all;
    }

    VemoFirmware *firmware = nullptr;
    bool holdRestarts = false;
    QList<QByteArray> packets;
    QList<int> restarts;
    QList<QByteArray> commands;
    QList<QByteArray> images;
    // The state after each reported change.
    QList<QByteArray> states;
    // Run after a packet, a command or an image was recorded: they stand for
    // an observer that takes the device off the bus at that moment.
    std::function<void()> afterPacket;
    std::function<void()> afterCommand;
    std::function<void()> afterImage;
};

// The firmware behind a recording host, powered on.
struct Device
{
    explicit Device(const VemoFirmware::Settings &settings = {}) : firmware(settings, &host)
    {
        host.firmware = &firmware;
        firmware.powerOn();
    }
    void command(const QByteArray &text) { command(firmware, text); }
    static void command(VemoFirmware &firmware, const QByteArray &text)
    {
        for (int at = 0; at < text.size(); at += 16)
            firmware.receive(0x01, text.mid(at, 16).leftJustified(16, '\0'));
    }
    void toLoaderAndErase()
    {
        command("USB-Vemo:BWF!!!");
        command("USB-Vemo:BWF!!!");
        QTRY_VERIFY(host.sent().contains("Flash is BLANK\r"));
        host.packets.clear();
    }

    RecordingHost host;
    VemoFirmware firmware;
};

} // namespace

class TestFirmware : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void imageBufferKeepsEveryByte_data();
    void imageBufferKeepsEveryByte();
    void nextVersion_data();
    void nextVersion();
    void usbCommands_data();
    void usbCommands();
    void packetsAreAtMost16();
    void zeroPaddingEndsThePieceText();
    void lineFeedIsIgnored();
    void usbCommandPieceDropsUnfinishedLine();
    void overlongLineIsDropped();
    void settingsRemembered_data();
    void settingsRemembered();
    void bwfRestartsIntoLoaderWithRestartDelay();
    void restartDropsTheRestOfThePiece();
    void eraseTakesItsDelay();
    void chunkDuringEraseIsIgnored();
    void powerOffDropsPartialImage();
    void imageEndsWithShortChunkOrSize_data();
    void imageEndsWithShortChunkOrSize();
    void otherEndpointsAreIgnored();
    void stateChangesAreReported();
    void loaderAnnouncesBlankByItself_data();
    void loaderAnnouncesBlankByItself();
    void erasedFlashStartsTheLoader_data();
    void erasedFlashStartsTheLoader();
    void leavingTheBusWhileDelivering_data();
    void leavingTheBusWhileDelivering();
};

void TestFirmware::nextVersion_data()
{
    QTest::addColumn<QByteArray>("version");
    QTest::addColumn<QByteArray>("next");
    QTest::newRow("minor") << QByteArray("2.10") << QByteArray("2.11");
    QTest::newRow("carry keeps width") << QByteArray("1.09") << QByteArray("1.10");
    QTest::newRow("grows") << QByteArray("1.99") << QByteArray("1.100");
    QTest::newRow("suffix kept") << QByteArray("3.05b") << QByteArray("3.06b");
    QTest::newRow("no number") << QByteArray("beta") << QByteArray("beta.1");
    QTest::newRow("plain") << QByteArray("7") << QByteArray("8");
}

void TestFirmware::nextVersion()
{
    QFETCH(QByteArray, version);
    QFETCH(QByteArray, next);
    QCOMPARE(VemoFirmware::nextVersion(version), next);
}

void TestFirmware::usbCommands_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<bool>("usb");
    QTest::newRow("BWF") << QByteArray("USB-Vemo:BWF!!!") << true;
    QTest::newRow("NSF") << QByteArray("USB-Vemo:NSF?!!") << true;
    QTest::newRow("Reset") << QByteArray("USB-Vemo:Reset!") << true;
    QTest::newRow("BLANK") << QByteArray("USB-Vemo:BLANK!") << true;
    QTest::newRow("INIT") << QByteArray("USB-Vemo:INIT!!") << true;
    QTest::newRow("lower case") << QByteArray("usb-vemo:BWF!!!") << false;
    QTest::newRow("short padding") << QByteArray("USB-Vemo:BWF!!") << false;
    QTest::newRow("with CR") << QByteArray("USB-Vemo:BWF!!!\r") << false;
}

void TestFirmware::usbCommands()
{
    QFETCH(QByteArray, text);
    QFETCH(bool, usb);
    QCOMPARE(VemoFirmware::isUsbCommand(text), usb);
}

void TestFirmware::packetsAreAtMost16()
{
    Device device;
    device.firmware.send(QByteArray(40, 'x'));
    QCOMPARE(device.host.packets,
             (QList<QByteArray>{QByteArray(16, 'x'), QByteArray(16, 'x'), QByteArray(8, 'x')}));
}

void TestFirmware::zeroPaddingEndsThePieceText()
{
    Device device;
    // Whatever follows the first zero byte of a piece is padding.
    device.firmware.receive(0x01, QByteArray("CL\0garbage\0\0\0\0\0\0", 16));
    device.firmware.receive(0x01, QByteArray("R\r").leftJustified(16, '\0'));
    QCOMPARE(device.host.commands, QList<QByteArray>{"CLR"});
}

void TestFirmware::lineFeedIsIgnored()
{
    Device device;
    device.command("DEVNR?\r\n");
    QCOMPARE(device.host.commands, QList<QByteArray>{"DEVNR?"});
    QCOMPARE(device.host.sent(), QByteArray("DEVNR000000001\r"));
}

void TestFirmware::usbCommandPieceDropsUnfinishedLine()
{
    Device device;
    device.host.holdRestarts = true;
    device.command("NSF"); // sent without CR
    device.command("USB-Vemo:BWF!!!");
    QCOMPARE(device.host.commands, QList<QByteArray>{"USB-Vemo:BWF!!!"});
    QCOMPARE(device.host.restarts.size(), 1);
    // Inside a piece the rule is the byte-wise one: no command here.
    device.host.commands.clear();
    device.firmware.powerOff();
    device.firmware.powerOn();
    device.command("XUSB-Vemo:NSF?!!");
    QVERIFY(device.host.commands.isEmpty());
}

void TestFirmware::overlongLineIsDropped()
{
    Device device;
    device.command(QByteArray(300, 'A'));
    QCOMPARE(device.host.sent(), QByteArray("?\r"));
    // The 43 characters after the dropped 257 make the next line.
    device.command("\r");
    QCOMPARE(device.host.commands, QList<QByteArray>{QByteArray(43, 'A')});
}

void TestFirmware::settingsRemembered_data()
{
    QTest::addColumn<QByteArray>("set");
    QTest::addColumn<QByteArray>("query");
    QTest::addColumn<QByteArray>("answer");
    QTest::newRow("BE") << QByteArray("BE0") << QByteArray("BE?") << QByteArray("BE0\r");
    QTest::newRow("DTC") << QByteArray("DTC401.78") << QByteArray("DTC?")
                         << QByteArray("DTC401.78\r");
    QTest::newRow("PRINTER not PRI")
        << QByteArray("PRINTER2") << QByteArray("PRI?") << QByteArray("PRI0\r");
    QTest::newRow("KAMU") << QByteArray("KAMU222222222") << QByteArray("KAMU?")
                          << QByteArray("KAMU222222222\r");
    QTest::newRow("AZN time") << QByteArray("AZN08:30:00") << QByteArray("AZN?")
                              << QByteArray("AZN08:30:00\r");
}

void TestFirmware::settingsRemembered()
{
    QFETCH(QByteArray, set);
    QFETCH(QByteArray, query);
    QFETCH(QByteArray, answer);
    Device device;
    device.command(set + '\r');
    QCOMPARE(device.host.sent(), QByteArray("OK\r"));
    device.host.packets.clear();
    device.command(query + '\r');
    QCOMPARE(device.host.sent(), answer);
}

void TestFirmware::bwfRestartsIntoLoaderWithRestartDelay()
{
    VemoFirmware::Settings settings;
    settings.restartDelayMs = 1234;
    Device device(settings);
    device.host.holdRestarts = true;
    device.command("USB-Vemo:BWF!!!");
    QCOMPARE(device.host.restarts, QList<int>{1234});
    // The loader runs from the next power-on.
    QVERIFY(!device.firmware.inLoader());
    device.firmware.powerOff();
    device.firmware.powerOn();
    QVERIFY(device.firmware.inLoader());
    QVERIFY(device.host.packets.isEmpty());
}

void TestFirmware::restartDropsTheRestOfThePiece()
{
    Device device;
    // The CR after the request arrives while the device restarts.
    device.firmware.receive(0x01, QByteArray("USB-Vemo:Reset!\r"));
    device.firmware.receive(0x01, QByteArray("USB-Vemo:Reset!D"));
    QCOMPARE(device.host.commands, (QList<QByteArray>{"USB-Vemo:Reset!", "USB-Vemo:Reset!"}));
    device.command("EVNR?\r");
    QCOMPARE(device.host.commands.last(), QByteArray("EVNR?"));
}

void TestFirmware::eraseTakesItsDelay()
{
    VemoFirmware::Settings settings;
    settings.eraseDelayMs = 2;
    Device device(settings);
    device.command("USB-Vemo:BWF!!!");
    QVERIFY(device.firmware.inLoader());
    device.command("USB-Vemo:BWF!!!");
    // Nothing before the erase has run.
    QVERIFY(device.host.packets.isEmpty());
    QTRY_COMPARE(device.host.sent(), QByteArray("Flash is BLANK\r"));
}

void TestFirmware::chunkDuringEraseIsIgnored()
{
    Device device;
    device.command("USB-Vemo:BWF!!!");
    device.command("USB-Vemo:BWF!!!");
    // The erase answers on the next event loop turn; a chunk before is lost.
    device.firmware.receive(0x02, QByteArray(8, 'x'));
    QVERIFY(device.host.images.isEmpty());
    QTRY_VERIFY(device.host.sent().contains("Flash is BLANK\r"));
    device.firmware.receive(0x02, QByteArray(8, 'y'));
    QCOMPARE(device.host.images, QList<QByteArray>{QByteArray(8, 'y')});
}

void TestFirmware::powerOffDropsPartialImage()
{
    Device device;
    device.toLoaderAndErase();
    device.firmware.receive(0x02, QByteArray(64, 'a'));
    QCOMPARE(device.firmware.imageInProgress().size(), 64);
    device.firmware.powerOff();
    device.firmware.powerOn();
    QVERIFY(device.firmware.imageInProgress().isEmpty());
    // The flash was erased: still the loader, and it wants a new erase.
    QVERIFY(device.firmware.inLoader());
    device.firmware.receive(0x02, QByteArray(3, 'b'));
    QVERIFY(device.host.images.isEmpty());
}

void TestFirmware::imageEndsWithShortChunkOrSize_data()
{
    QTest::addColumn<int>("imageSize");
    QTest::addColumn<QList<int>>("chunks");
    QTest::addColumn<int>("endsAfter"); // chunks taken when the image is complete; 0: never
    QTest::newRow("short chunk") << 0 << QList<int>{64, 64, 10} << 3;
    QTest::newRow("full chunks only") << 0 << QList<int>{64, 64} << 0;
    QTest::newRow("size reached") << 128 << QList<int>{64, 64} << 2;
    QTest::newRow("short before size") << 1000 << QList<int>{64, 20} << 2;
}

void TestFirmware::imageEndsWithShortChunkOrSize()
{
    QFETCH(int, imageSize);
    QFETCH(QList<int>, chunks);
    QFETCH(int, endsAfter);
    VemoFirmware::Settings settings;
    settings.imageSize = imageSize;
    Device device(settings);
    device.toLoaderAndErase();
    device.host.restarts.clear();
    device.host.holdRestarts = true;
    QByteArray sent;
    for (int i = 0; i < chunks.size(); ++i) {
        const QByteArray chunk(chunks.at(i), char('A' + i));
        sent += chunk;
        device.firmware.receive(0x02, chunk);
        QCOMPARE(device.host.images.size(), i + 1 >= endsAfter && endsAfter > 0 ? 1 : 0);
    }
    if (endsAfter > 0) {
        QCOMPARE(device.host.images.first(), sent);
        QCOMPARE(device.host.restarts.size(), 1);
        QCOMPARE(device.firmware.firmwareVersion(), QByteArray("2.11"));
    } else {
        QVERIFY(device.host.restarts.isEmpty());
        QCOMPARE(device.firmware.imageInProgress(), sent);
    }
}

void TestFirmware::otherEndpointsAreIgnored()
{
    Device device;
    device.firmware.receive(0x03, QByteArray("DEVNR?\r"));
    device.firmware.receive(0x81, QByteArray("DEVNR?\r"));
    QVERIFY(device.host.commands.isEmpty());
    QVERIFY(device.host.packets.isEmpty());
}

void TestFirmware::stateChangesAreReported()
{
    VemoFirmware::Settings settings;
    settings.imageSize = 64;
    Device device(settings);
    device.command("DEVNR?\r");
    device.command("ABGL?\r");
    QVERIFY(device.host.states.isEmpty()); // questions change nothing
    device.command("DEVNR123456789\r");
    device.command("ABGL24-05-31\r");
    device.toLoaderAndErase();
    device.firmware.receive(0x02, QByteArray(64, 'i'));
    QCOMPARE(device.host.states, (QList<QByteArray>{
                                     "123456789 00-00-00 2.10",
                                     "123456789 24-05-31 2.10",
                                     "123456789 24-05-31 2.10 loader",
                                     "123456789 24-05-31 2.11 loader",
                                     "123456789 24-05-31 2.11",
                                 }));
}

void TestFirmware::loaderAnnouncesBlankByItself_data()
{
    QTest::addColumn<bool>("announces");
    QTest::newRow("waits for the request") << false;
    QTest::newRow("announces by itself") << true;
}

void TestFirmware::loaderAnnouncesBlankByItself()
{
    QFETCH(bool, announces);
    VemoFirmware::Settings settings;
    settings.loaderAnnouncesBlank = announces;
    settings.eraseDelayMs = 20;
    Device device(settings);
    // Normal mode never erases, so it never announces.
    QVERIFY(!device.firmware.erasing());
    QVERIFY(device.host.packets.isEmpty());
    device.command("USB-Vemo:BWF!!!"); // restarts into the loader at once
    QVERIFY(device.firmware.inLoader());
    // The announcing loader erases as it starts; the other waits for the
    // request (without an erase under way nothing is announced).
    QCOMPARE(device.firmware.erasing(), announces);
    QVERIFY(device.host.packets.isEmpty()); // not before the erase delay
    if (!announces) {
        device.command("USB-Vemo:BWF!!!");
        QVERIFY(device.firmware.erasing());
    }
    QTRY_COMPARE(device.host.sent(), QByteArray("Flash is BLANK\r"));
    QVERIFY(!device.firmware.erasing());
    // The flash is blank: the image goes in.
    device.firmware.receive(0x02, QByteArray(10, 'i'));
    QCOMPARE(device.host.images, QList<QByteArray>{QByteArray(10, 'i')});
}

void TestFirmware::erasedFlashStartsTheLoader_data()
{
    QTest::addColumn<bool>("announces");
    QTest::newRow("waits for the request") << false;
    QTest::newRow("announces by itself") << true;
}

// A device an update left without firmware: the loader from the first
// power-on, at every restart, until a whole image is in.
void TestFirmware::erasedFlashStartsTheLoader()
{
    QFETCH(bool, announces);
    VemoFirmware::Settings settings;
    settings.flashErased = true;
    settings.loaderAnnouncesBlank = announces;
    settings.serialNumber = "123456789";
    RecordingHost host;
    VemoFirmware firmware(settings, &host);
    host.firmware = &firmware;
    // Before it is on the bus its descriptors are the loader's already.
    QCOMPARE(firmware.release(), quint16(0x0100));
    QVERIFY(firmware.serialString().isEmpty());
    firmware.powerOn();
    QVERIFY(firmware.inLoader());
    QCOMPARE(host.states, QList<QByteArray>{"123456789 00-00-00 2.10 loader"});
    QCOMPARE(firmware.release(), quint16(0x0100));
    QVERIFY(firmware.serialString().isEmpty());
    Device::command(firmware, "USB-Vemo:NSF?!!");
    Device::command(firmware, "DEVNR?\r"); // the loader ignores it
    QCOMPARE(host.sent(), QByteArray("Vemo2 loader V1.00\r"));
    host.packets.clear();

    // A restart changes nothing: there is no firmware to start.
    Device::command(firmware, "USB-Vemo:Reset!");
    QCOMPARE(host.restarts.size(), 1);
    QVERIFY(firmware.inLoader());

    // The loader request erases in place, without a restart.
    if (!announces)
        Device::command(firmware, "USB-Vemo:BWF!!!");
    QTRY_COMPARE(host.sent(), QByteArray("Flash is BLANK\r"));
    QCOMPARE(host.restarts.size(), 1);
    QVERIFY(firmware.inLoader());
    firmware.receive(0x02, QByteArray(64, 'i'));
    firmware.receive(0x02, QByteArray(3, 'j'));
    QCOMPARE(host.images, QList<QByteArray>{QByteArray(64, 'i') + QByteArray(3, 'j')});
    // The image restarts it into its firmware, serial number and all.
    QCOMPARE(host.restarts.size(), 2);
    QVERIFY(!firmware.inLoader());
    QCOMPARE(firmware.firmwareVersion(), QByteArray("2.11"));
    QCOMPARE(firmware.release(), quint16(0x0211));
    QCOMPARE(firmware.serialString(), QByteArray("123456789"));
}

void TestFirmware::leavingTheBusWhileDelivering_data()
{
    QTest::addColumn<QByteArray>("what");
    QTest::newRow("unplugged when a command is in") << QByteArray("command");
    QTest::newRow("unplugged after the first packet of an answer") << QByteArray("packet");
    QTest::newRow("unplugged when the image is in") << QByteArray("image");
}

// An observer that unplugs the device while the firmware is still handling
// what it got: nothing more comes of it, and the device is not restarted.
void TestFirmware::leavingTheBusWhileDelivering()
{
    QFETCH(QByteArray, what);
    VemoFirmware::Settings settings;
    settings.imageSize = 64;
    Device device(settings);
    if (what == "image") {
        device.toLoaderAndErase();
        device.host.restarts.clear();
    }
    bool unplugged = false;
    const auto unplug = [&device, &unplugged] {
        if (unplugged)
            return;
        unplugged = true;
        device.firmware.powerOff();
    };
    if (what == "command") {
        device.host.afterCommand = unplug;
        // The second command of the piece is never looked at.
        device.command("DEVINFO?\rNSF?\r");
        QVERIFY(device.host.packets.isEmpty());
        QCOMPARE(device.host.commands, QList<QByteArray>{"DEVINFO?"});
    } else if (what == "packet") {
        device.host.afterPacket = unplug;
        device.command("DEVINFO?\r"); // "Vemo2 SN000000001 FW2.10\r", two packets
        QCOMPARE(device.host.packets, QList<QByteArray>{"Vemo2 SN00000000"});
    } else {
        device.host.afterImage = unplug;
        device.firmware.receive(0x02, QByteArray(64, 'i'));
        QCOMPARE(device.host.images.size(), 1);
        QVERIFY(device.host.restarts.isEmpty());
    }
}

void TestFirmware::imageBufferKeepsEveryByte_data()
{
    QTest::addColumn<qint64>("size");
    QTest::addColumn<int>("chunk");
    const qint64 first = usbio::ImageBuffer::FirstBlock;
    const qint64 largest = usbio::ImageBuffer::LargestBlock;
    QTest::newRow("nothing") << qint64(0) << 64;
    QTest::newRow("within the first block") << qint64(1000) << 64;
    QTest::newRow("exactly the first block") << first << 64;
    QTest::newRow("chunks across blocks") << 7 * first + 5 << 1000;
    QTest::newRow("one chunk of several blocks") << 5 * first + 3 << int(5 * first + 3);
    // Past the doubling: blocks of the largest size follow each other.
    QTest::newRow("beyond the largest block") << 2 * largest + 77 << 4 * 1024 * 1024;
}

void TestFirmware::imageBufferKeepsEveryByte()
{
    QFETCH(qint64, size);
    QFETCH(int, chunk);
    QByteArray image(size, Qt::Uninitialized);
    for (qint64 i = 0; i < size; ++i)
        image[i] = char((i * 131) >> 3);

    usbio::ImageBuffer buffer;
    for (qint64 at = 0; at < size; at += chunk)
        buffer.append(image.mid(at, chunk));
    QCOMPARE(buffer.size(), size);
    QCOMPARE(buffer.isEmpty(), size == 0);
    QVERIFY(buffer.bytes() == image);
    QVERIFY(buffer.take() == image);
    QVERIFY(buffer.isEmpty());
    QVERIFY(buffer.bytes().isEmpty());
    buffer.append("again");
    QCOMPARE(buffer.take(), QByteArray("again"));
}

QTEST_GUILESS_MAIN(TestFirmware)
#include "tst_usbio_firmware.moc"
