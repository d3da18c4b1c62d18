// The device link on the "libusb" backend, against the Vemo device model
// behind a mocked kernel (umockdev): the program's own path to a device
// finds, opens, commands and updates it as on the simulated bus, and
// follows its removal and arrival.

#include "link/VemoUSBinterface.h"
#include "registry/RegTools.h"
#include "tests/support/ScopedHost.h"
#include "tests/support/TestBytes.h"
#include "tests/usbio/umockdev/LibusbFixture.h"
#include "tests/usbio/umockdev/UmockdevMain.h"
#include "tests/usbio/umockdev/UmockdevTestCase.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace usbio;

namespace {

// The link as the window holds it, with what its callbacks were told.
class LinkOnLibusb
{
public:
    LinkOnLibusb()
    {
        registry::KeyStore::setDefaultStore(&f.store);
        link = std::make_unique<TVemoUSBinterface>(nullptr);
        link->OnDataReceived = [this](TObject *, AnsiString &data) { received += data; };
        link->OnDeviceRemoved = [this](TObject *, const IDispatchRef &) { ++removals; };
        link->OnDeviceArrived = [this](TObject *, const IDispatchRef &) { ++arrivals; };
        link->OnFileProgress = [this](TObject *, int percent) { progress.append(percent); };
    }
    ~LinkOnLibusb()
    {
        link.reset();
        LibusbFixture::settle(1);
        registry::KeyStore::setDefaultStore(nullptr);
    }

    // What the window does at start-up and when it opens the device.
    bool connectAndOpen()
    {
        link->ConnectInterfaces();
        return link->EnablePnP() == 0 && link->ScanDevices() == 1 && link->OpenDevice(0) == 0 &&
               link->StartReceive(false) == 0;
    }
    bool waitForText(const QByteArray &text, int timeoutMs = 5000)
    {
        return LibusbFixture::waitFor([&] { return received.contains(text); }, timeoutMs);
    }
    bool waitForArrival(int n)
    {
        return LibusbFixture::waitFor([&] { return arrivals >= n; }, 5000);
    }

    ScopedHost host;
    LibusbFixture f;
    std::unique_ptr<TVemoUSBinterface> link;
    QByteArray received;
    int removals = 0;
    int arrivals = 0;
    QList<int> progress;
};

} // namespace

class TestLibusbLink : public UmockdevTestCase
{
    Q_OBJECT

private Q_SLOTS:
    void findOpenAndCommand();
    void wholeUpdateThroughTheLoader_data();
    void wholeUpdateThroughTheLoader();
    void removalWithReadsInFlight();
    void readErrorsRestartReadingOnce();
};

void TestLibusbLink::findOpenAndCommand()
{
    LinkOnLibusb t;
    UsbMockDevice *device = t.f.mock.add(Generation::Vemo2, 1);
    t.f.start();
    QVERIFY(t.connectAndOpen());
    QVERIFY(t.link->Opened);
    // The registry probe names the device the link opened.
    TRegTools probe;
    QCOMPARE(probe.GetDeviceCount(), 1);
    QCOMPARE(probe.GetDeviceName(0), QStringLiteral("Vemo2"));

    QCOMPARE(t.link->SendCommand("USB-Vemo:NSF?!!"), Status(0));
    QVERIFY(t.waitForText("Vemo2 firmware V2.10\r"));
    QCOMPARE(t.link->SendCommand("DEVNR123456789\rDEVNR?\r"), Status(0));
    QVERIFY(t.waitForText("OK\rDEVNR123456789\r"));
    QCOMPARE(device->commands(),
             (QList<QByteArray>{"USB-Vemo:NSF?!!", "DEVNR123456789", "DEVNR?"}));
    // Each piece went out in its own cycle: reset, write, stop.
    QCOMPARE(device->pieces().size(), 3);
    QCOMPARE(device->clearedHalts().count(kCommandEndpoint), 3);

    AnsiString api, driver, build, flags;
    QCOMPARE(t.link->QueryDriverInfo(api, driver, build, flags), Status(0));
    QVERIFY2(driver.toDouble() >= 2.5, driver.constData());
    QVERIFY2(api.startsWith("1."), api.constData());

    t.link->CloseDevice();
    QVERIFY(!t.link->Opened);
    QCOMPARE(t.link->OpenDevice(0), Status(0));
    QCOMPARE(device->claims(), 2);
}

void TestLibusbLink::wholeUpdateThroughTheLoader_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("imageSize");
    QTest::addColumn<QList<int>>("progress");
    QTest::newRow("1 byte") << 1 << 0 << QList<int>{100};
    QTest::newRow("64 bytes") << 64 << 64 << QList<int>{100};
    QTest::newRow("200 bytes") << 200 << 0 << QList<int>{64, 96, 100, 100};
    QTest::newRow("8 KiB + 3") << 8192 + 3 << 0 << QList<int>{}; // 129 chunks
}

// The firmware update as the window drives it: the loader request, the
// device leaving and coming back in its loader, the erase, the image in
// 64-byte chunks, and the device back with its new firmware.
void TestLibusbLink::wholeUpdateThroughTheLoader()
{
    QFETCH(int, size);
    QFETCH(int, imageSize);
    QFETCH(QList<int>, progress);
    LinkOnLibusb t;
    VemoFirmware::Settings settings;
    settings.restartDelayMs = 100;
    settings.eraseDelayMs = 50;
    settings.imageSize = imageSize;
    UsbMockDevice *device = t.f.mock.add(Generation::Vemo3, 1, settings);
    t.f.start();
    QVERIFY(t.connectAndOpen());

    QCOMPARE(t.link->SendCommand("USB-Vemo:BWF!!!"), Status(0));
    QVERIFY(LibusbFixture::waitFor([&] { return t.removals == 1; }));
    t.link->StopReceive();
    t.link->CloseDevice();
    QVERIFY(t.waitForArrival(1));
    QCOMPARE(t.link->ScanDevices(), 1);
    QCOMPARE(t.link->OpenDevice(0), Status(0));
    QCOMPARE(t.link->StartReceive(false), Status(0));
    QCOMPARE(t.link->SendCommand("USB-Vemo:BWF!!!"), Status(0));
    QVERIFY(t.waitForText("Flash is BLANK\r"));

    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("vemo3.bin"));
    const QByteArray image = testBytes(size, quint32(size));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(image);
    file.close();
    QCOMPARE(t.link->SendFile(QFile::encodeName(path)), Status(0));
    // A file of one chunk reports 100 once, at its completion; a longer one
    // at the hand-over of the last chunk and again at its completion.
    const int hundreds = size <= 64 ? 1 : 2;
    QVERIFY(LibusbFixture::waitFor([&] { return t.progress.count(100) == hundreds; }, 20000));
    if (!progress.isEmpty())
        QCOMPARE(t.progress, progress);
    QCOMPARE(device->image(), image);

    // The device restarts with the new firmware.
    QVERIFY(LibusbFixture::waitFor([&] { return t.removals == 2; }));
    t.link->StopReceive();
    t.link->CloseDevice();
    QVERIFY(t.waitForArrival(2));
    t.received.clear();
    QCOMPARE(t.link->ScanDevices(), 1);
    QCOMPARE(t.link->OpenDevice(0), Status(0));
    QCOMPARE(t.link->StartReceive(false), Status(0));
    QCOMPARE(t.link->SendCommand("USB-Vemo:NSF?!!"), Status(0));
    QVERIFY(t.waitForText("Vemo3 firmware V2.11\r"));
}

// The device goes while the link reads: the reads end, the link does not
// start them again and again, and it reports the removal once.
void TestLibusbLink::removalWithReadsInFlight()
{
    LinkOnLibusb t;
    UsbMockDevice *device = t.f.mock.add(Generation::Vemo2, 1);
    t.f.start();
    QVERIFY(t.connectAndOpen());
    QVERIFY(LibusbFixture::waitFor([device] { return device->inUrbsInFlight() == 5; }));
    const int submitted = device->inUrbsSubmitted();
    const QList<quint8> halts = device->clearedHalts();

    device->unplug();
    QVERIFY(LibusbFixture::waitFor([&] { return t.removals == 1; }));
    LibusbFixture::settle(200);
    QCOMPARE(t.removals, 1);
    QCOMPARE(device->inUrbsSubmitted(), submitted);
    QCOMPARE(device->clearedHalts(), halts);
    // As the window goes on: reading is already stopped, the close goes
    // through, and the device is no longer listed.
    QCOMPARE(t.link->StopReceive(), Status(0));
    t.link->CloseDevice();
    QVERIFY(!t.link->Opened);
    QCOMPARE(t.link->ScanDevices(), 0);
    QCOMPARE(t.link->SendCommand("USB-Vemo:NSF?!!"), status::NotOpened);
}

// Three reads fail together. The link resets the pipe and restarts reading
// at the first; the two failures behind it belonged to the reading session
// it ended and must not make it reset and restart twice more.
void TestLibusbLink::readErrorsRestartReadingOnce()
{
    LinkOnLibusb t;
    UsbMockDevice *device = t.f.mock.add(Generation::Vemo2, 1);
    t.f.start();
    QVERIFY(t.connectAndOpen());
    QVERIFY(LibusbFixture::waitFor([device] { return device->inUrbsInFlight() == 5; }));
    QCOMPARE(device->clearedHalts().count(kInEndpoint), 0);

    device->failNextReads(3);
    QVERIFY(LibusbFixture::waitFor(
        [device] { return device->clearedHalts().count(kInEndpoint) >= 1; }));
    LibusbFixture::settle(200);
    QCOMPARE(device->clearedHalts().count(kInEndpoint), 1);
    // Reading goes on.
    QCOMPARE(t.link->SendCommand("USB-Vemo:NSF?!!"), Status(0));
    QVERIFY(t.waitForText("Vemo2 firmware V2.10\r"));
}

VEMO_UMOCKDEV_TEST_MAIN(TestLibusbLink)
#include "tst_usbio_libusb_link.moc"
