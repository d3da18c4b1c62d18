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
#include <QTimer>

#include <functional>

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
        link->OnFileProgress = [this](TObject *, int percent) {
            progress.append(percent);
            if (onProgress)
                onProgress(percent);
        };
        link->OnFileComplete = [this](TObject *, const AnsiString &, qint64 size, qint64) {
            completed.append(size);
        };
        link->OnFileFailed = [this](TObject *, const AnsiString &, qint64 sent, qint64 size,
                                    Status reason) {
            failures.append(QStringLiteral("%1 of %2: %3").arg(sent).arg(size).arg(reason, 0, 16));
        };
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
    std::function<void(int)> onProgress;
    QList<qint64> completed;
    QList<QString> failures;

    // The device's loader, open and erased, ready for an image of size
    // bytes (with the loader request, the restart and the reopen behind).
    UsbMockDevice *loaderReady(int imageSize)
    {
        VemoFirmware::Settings settings;
        settings.restartDelayMs = 50;
        settings.eraseDelayMs = 20;
        settings.imageSize = imageSize;
        UsbMockDevice *device = f.mock.add(Generation::Vemo2, 1, settings);
        f.start();
        if (!connectAndOpen() || link->SendCommand("USB-Vemo:BWF!!!") != 0 ||
            !LibusbFixture::waitFor([&] { return removals == 1; }))
            return nullptr;
        link->StopReceive();
        link->CloseDevice();
        if (!waitForArrival(1) || link->ScanDevices() != 1 || link->OpenDevice(0) != 0 ||
            link->StartReceive(false) != 0 || link->SendCommand("USB-Vemo:BWF!!!") != 0 ||
            !waitForText("Flash is BLANK\r"))
            return nullptr;
        return device;
    }
    QByteArray writeImage(const QByteArray &bytes)
    {
        const QString path = dir.filePath(QStringLiteral("vemo2.bin"));
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
            return QByteArray();
        return QFile::encodeName(path);
    }
    QTemporaryDir dir;
};
// The device's chunks so far, joined.
QByteArray taken(UsbMockDevice *device)
{
    return device->chunks().join();
}

} // namespace

class TestLibusbLink : public UmockdevTestCase
{
    Q_OBJECT

private Q_SLOTS:
    void findOpenAndCommand();
    void wholeUpdateThroughTheLoader_data();
    void wholeUpdateThroughTheLoader();
    void removalWithReadsInFlight();
    void transferCutShort_data();
    void transferCutShort();
    void closeLetsTheChunkInFlightFinish_data();
    void closeLetsTheChunkInFlightFinish();
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

void TestLibusbLink::transferCutShort_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<int>("reason");
    QTest::newRow("device removed mid-image") << "remove" << int(status::DeviceGone);
    // A stalled chunk gives no completion: the transfer fails once the
    // chunk's time is up.
    QTest::newRow("chunk refused by the device") << "stall" << int(status::Timeout);
}

// The fault strikes the 33rd chunk of 8000 bytes: the device has 2048, and
// the transfer ends failed saying so, never complete.
void TestLibusbLink::transferCutShort()
{
    QFETCH(QString, fault);
    QFETCH(int, reason);
    LinkOnLibusb t;
    UsbMockDevice *device = t.loaderReady(8000);
    QVERIFY(device);
    // Chunks are taken a little later, so the 33rd is still in flight when
    // the 32nd is in.
    device->setWriteDelayMs(5);
    t.link->FileChunkWaitMs = 300;
    // As the window does: a removal closes the device.
    t.link->OnDeviceRemoved = [&](TObject *, const IDispatchRef &) {
        ++t.removals;
        t.link->CloseDevice();
    };
    bool struck = false;
    t.onProgress = [&](int) {
        const qsizetype in = device->chunks().size();
        if (fault == QLatin1String("stall") && in == 31)
            device->stallNextWrite(kImageEndpoint);
        if (fault == QLatin1String("remove") && in == 32 && !struck) {
            struck = true;
            device->unplug();
        }
    };
    const QByteArray image = testBytes(8000, 3);

    QCOMPARE(t.link->SendFile(t.writeImage(image)), Status(0));
    QVERIFY(LibusbFixture::waitFor([&] { return !t.failures.isEmpty(); }, 20000));
    LibusbFixture::settle(100);

    QCOMPARE(t.failures,
             QList<QString>{QStringLiteral("2048 of 8000: %1").arg(Status(reason), 0, 16)});
    QVERIFY(t.completed.isEmpty());
    QCOMPARE(taken(device), image.left(2048));
    QVERIFY(!t.link->FileTransferRunning());
}

void TestLibusbLink::closeLetsTheChunkInFlightFinish_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<bool>("held"); // the chunk in flight is never taken
    QTest::addColumn<QString>("end");
    // 33 chunks of 64: the close comes with the 33rd in flight.
    QTest::newRow("last chunk in flight, taken") << 2112 << false << "complete";
    QTest::newRow("chunk in flight mid-image, taken")
        << 8000 << false << QStringLiteral("2112 of 8000: %1").arg(status::Cancelled, 0, 16);
    // Never taken: the close gives up on it and cancels it for real; the
    // device never gets it.
    QTest::newRow("last chunk in flight, never taken")
        << 2112 << true << QStringLiteral("2048 of 2112: %1").arg(status::Timeout, 0, 16);
}

// Closing the device with a chunk in flight: the close waits for its
// completion, so the last chunk completes the image instead of being
// cancelled under the device; one never taken is cancelled, and the
// transfer is failed, never complete.
void TestLibusbLink::closeLetsTheChunkInFlightFinish()
{
    QFETCH(int, size);
    QFETCH(bool, held);
    QFETCH(QString, end);
    LinkOnLibusb t;
    UsbMockDevice *device = t.loaderReady(size);
    QVERIFY(device);
    t.link->FileCloseWaitMs = 500;
    bool closing = false;
    t.onProgress = [&](int) {
        const qsizetype in = device->chunks().size();
        // The 33rd chunk goes out slowly, or not at all.
        if (in == 31) {
            device->setWriteDelayMs(100);
            device->holdWrites(held);
        }
        if (in == 32 && !closing) {
            closing = true;
            QTimer::singleShot(0, [&] { t.link->CloseDevice(); });
        }
    };
    const QByteArray image = testBytes(size, 7);

    QCOMPARE(t.link->SendFile(t.writeImage(image)), Status(0));
    QVERIFY(LibusbFixture::waitFor([&] { return !t.link->Opened; }, 20000));
    QVERIFY(closing);
    LibusbFixture::settle(300);

    if (end == QLatin1String("complete")) {
        QCOMPARE(t.completed, QList<qint64>{size});
        QVERIFY(t.failures.isEmpty());
        QCOMPARE(device->image(), image);
    } else {
        QVERIFY(t.completed.isEmpty());
        QCOMPARE(t.failures, QList<QString>{end});
    }
    const int takenBytes = end == QLatin1String("complete") ? size : end.section(' ', 0, 0).toInt();
    QCOMPARE(taken(device), image.left(takenBytes));
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
