// The "libusb" backend against the Vemo device model behind a mocked kernel
// (umockdev): enumeration, the shared open, reads and writes, the loader
// cycle, an image, a disconnect and a stall, each as the component contract
// has them.

#include "tests/support/TestBytes.h"
#include "tests/usbio/ComponentCalls.h"
#include "tests/usbio/EventRecorder.h"
#include "tests/usbio/ReadSessionEnder.h"
#include "tests/usbio/umockdev/LibusbFixture.h"
#include "tests/usbio/umockdev/OrdinaryUserFiles.h"
#include "tests/usbio/umockdev/UmockdevMain.h"
#include "tests/usbio/umockdev/UmockdevTestCase.h"
#include "usbio/Backend.h"
#include "usbio/libusb/LibusbDevice.h"
#include "usbio/libusb/LibusbEventPump.h"

#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <cerrno>
#include <libusb.h>
#include <sys/utsname.h>

using namespace usbio;

namespace {

const QString kGuid = QString::fromLatin1(kDeviceInterfaceGuid);
const QString kServiceEnum = QStringLiteral("SYSTEM\\CurrentControlSet\\Services\\VemoUSB\\Enum");

// The three pipes of one device, opened the way the link opens them, with
// what they raise written down.
struct Pipes
{
    explicit Pipes(LibusbFixture &f, int index = 0)
        : reader(f.pipe(kInEndpoint, index)), commands(f.pipe(kCommandEndpoint, index)),
          image(f.pipe(kImageEndpoint, index))
    {
        if (!reader || !commands || !image)
            return;
        readerEvents = std::make_unique<EventRecorder>(reader.get());
        commandEvents = std::make_unique<EventRecorder>(commands.get());
        imageEvents = std::make_unique<EventRecorder>(image.get());
    }
    bool ok() const { return readerEvents != nullptr; }

    // Hands each piece over after the completion of the one before.
    bool write(LibusbComponent &writer, EventRecorder &events, const QByteArray &data, int size)
    {
        if (writer.ResetPipe() != 0 || writer.StartWriting(size, 5, 5, false) != 0)
            return false;
        for (int at = 0; at < data.size(); at += size) {
            QByteArray piece = data.mid(at, size);
            if (&writer == commands.get())
                piece = piece.leftJustified(size, '\0');
            const int before = events.count(EventId::WriteComplete);
            if (writer.WriteData(piece, 0) != 0 ||
                !events.waitFor(EventId::WriteComplete, before + 1, 5000))
                return false;
        }
        writer.StopWriting();
        return true;
    }
    bool command(const QByteArray &text) { return write(*commands, *commandEvents, text, 16); }
    bool sendImage(const QByteArray &data) { return write(*image, *imageEvents, data, 64); }

    // Takes every finished read, until text has come.
    bool waitForText(const QByteArray &text, int timeoutMs = 3000)
    {
        return LibusbFixture::waitFor(
            [&] {
                while (reader->finishedReads() > 0)
                    received += readOne(*reader);
                return received.contains(text);
            },
            timeoutMs);
    }

    std::unique_ptr<LibusbComponent> reader;
    std::unique_ptr<LibusbComponent> commands;
    std::unique_ptr<LibusbComponent> image;
    std::unique_ptr<EventRecorder> readerEvents;
    std::unique_ptr<EventRecorder> commandEvents;
    std::unique_ptr<EventRecorder> imageEvents;
    QByteArray received;
};

// The way to an image, as an update goes it: the device restarts into its
// loader, and pipes opened on the loader have its flash erased. An instance
// with plug-and-play on records the restarts, this one and the next.
struct ErasedLoader
{
    explicit ErasedLoader(LibusbFixture &f) : pnp(f.component()), notifications(pnp.get()) {}

    // True once the loader has said "Flash is BLANK".
    bool open(LibusbFixture &f)
    {
        if (pnp->EnablePnPNotification(kGuid) != status::Success)
            return false;
        {
            Pipes normal(f);
            if (!normal.ok() || !normal.command("USB-Vemo:BWF!!!"))
                return false;
        }
        if (!notifications.waitFor(EventId::PnPAddNotification, 1))
            return false;
        pipes = std::make_unique<Pipes>(f);
        return pipes->ok() && pipes->reader->StartReading(16, 5, 5) == status::Success &&
               pipes->command("USB-Vemo:BWF!!!") && pipes->waitForText("Flash is BLANK\r");
    }

    std::unique_ptr<LibusbComponent> pnp;
    EventRecorder notifications;
    std::unique_ptr<Pipes> pipes; // on the loader
};

} // namespace

class TestLibusb : public UmockdevTestCase
{
    Q_OBJECT

private Q_SLOTS:
    void enumerationOfTwoGenerationsInOrder();
    void devicesArePublishedInEnumerationOrder();
    void devicesBehindAHubDescribedWithoutOpeningThem();
    void describingIsRefusedOutsideTheListAndForADeviceGone();
    void openSharesOneHandleAndTheConfiguration();
    void operationsNeedAnOpenDevice_data();
    void operationsNeedAnOpenDevice();
    void commandInPiecesAndItsAnswer();
    void fivePendingReadsCompletedInOrder();
    void slotsFreedByADropTakeWhatWaits_data();
    void slotsFreedByADropTakeWhatWaits();
    void readCompletionsOfAStoppedSessionAreNotDelivered_data();
    void readCompletionsOfAStoppedSessionAreNotDelivered();
    void cancelledWritesRaiseNoCompletion_data();
    void cancelledWritesRaiseNoCompletion();
    void loaderCycleWithRemoveAndAddUevents();
    void deviceLeftInItsLoader();
    void imageByteExact_data();
    void imageByteExact();
    void disconnectWithTransfersInFlight();
    void answerSentJustBeforeLeavingIsRead();
    void stallOnTheImagePipe();
    void plugAndPlayOfTheVendorsDevicesOnly();
    void arrivalWaitsForTheDeviceNode();
    void backendGoesWithHotplugWorkQueued();
    void openRefusedByTheHost_data();
    void openRefusedByTheHost();
    void driverInformationOnLinux();
    void noUsbFileSystemLeavesANote();
};

void TestLibusb::enumerationOfTwoGenerationsInOrder()
{
    LibusbFixture f;
    // Plugged in the other order; another product of the vendor and another
    // vendor's device between them.
    UsbMockDevice *vemo3 = f.mock.add(Generation::Vemo3, 3);
    f.mock.addOtherProduct(kVendorId, 0x0999, 2);
    f.mock.addOtherProduct(0x1234, kVemo2ProductId, 4);
    UsbMockDevice *vemo = f.mock.add(Generation::Vemo, 1);
    f.start();
    const QList<std::shared_ptr<LibusbDevice>> devices = f.backend->devices();
    QCOMPARE(devices.size(), 2);
    QCOMPARE(devices.at(0)->instanceId(), vemo->instanceId());
    QCOMPARE(devices.at(0)->generation(), Generation::Vemo);
    QCOMPARE(devices.at(1)->instanceId(), vemo3->instanceId());
    QCOMPARE(devices.at(1)->generation(), Generation::Vemo3);

    // Every instance lists them in that order and opens by that position.
    auto first = f.component();
    auto second = f.component();
    QCOMPARE(first->EnumerateDevices(kGuid), 2);
    QCOMPARE(second->EnumerateDevices(kGuid.toLower()), 2);
    QCOMPARE(first->EnumerateDevices(QStringLiteral("{00000000-1111-2222-3333-444444444444}")), 0);
    QCOMPARE(first->EnumerateDevices(kGuid), 2);
    QCOMPARE(first->OpenDevice(1), status::Success);
    QCOMPARE(vemo3->claims(), 1);
    QCOMPARE(vemo->claims(), 0);
    QCOMPARE(second->OpenDevice(2), status::NoSuchDevice);
}

void TestLibusb::devicesArePublishedInEnumerationOrder()
{
    LibusbFixture f;
    f.mock.add(Generation::Vemo3, 2);
    f.mock.add(Generation::Vemo2, 1);
    f.start();
    using registry::RootKey;
    QCOMPARE(f.store.readInteger(RootKey::LocalMachine, kServiceEnum, QStringLiteral("Count")), 2);
    QCOMPARE(f.store.readString(RootKey::LocalMachine, kServiceEnum, QStringLiteral("0")),
             QStringLiteral("USB\\VID_5E1A&PID_088A\\1-1"));
    QCOMPARE(f.store.readString(RootKey::LocalMachine, kServiceEnum, QStringLiteral("1")),
             QStringLiteral("USB\\VID_5E1A&PID_088B\\1-2"));
    // The instance as the driver records it for good.
    QVERIFY(f.store.keyExists(RootKey::LocalMachine,
                              QStringLiteral("SYSTEM\\CurrentControlSet\\Enum\\USB\\Vid_5e1a&Pid_"
                                             "088b\\1-2")));
}

void TestLibusb::devicesBehindAHubDescribedWithoutOpeningThem()
{
    LibusbFixture f;
    // Four devices behind a hub on port 1, plugged in out of order; the
    // second one runs its loader.
    f.mock.addHub(1);
    struct Plugged
    {
        Generation generation;
        int port;
        QByteArray serial;
        QByteArray firmware;
    };
    const QList<Plugged> plugged{{Generation::Vemo3, 4, "300000004", "3.07"},
                                 {Generation::Vemo2, 2, "200000002", "2.10"},
                                 {Generation::Vemo, 1, "100000001", "1.9"},
                                 {Generation::Vemo2, 3, "200000003", "2.11"}};
    QList<UsbMockDevice *> devices;
    for (const Plugged &p : plugged) {
        VemoFirmware::Settings settings;
        settings.serialNumber = p.serial;
        settings.firmwareVersion = p.firmware;
        devices << f.mock.addBehindHub(p.generation, 1, p.port, settings);
    }
    // In its loader the device gives neither its version nor its serial.
    {
        UsbMockDevice *loader = devices.at(1);
        loader->firmware().receive(kCommandEndpoint, "USB-Vemo:BWF!!!");
        QVERIFY(LibusbFixture::waitFor([loader] { return loader->firmware().inLoader(); }));
    }
    f.start();

    // One device of the four is held by another instance all along.
    auto holder = f.component();
    QCOMPARE(holder->EnumerateDevices(kGuid), 4);
    QCOMPARE(holder->OpenDevice(2), status::Success);

    auto component = f.component();
    QCOMPARE(component->EnumerateDevices(kGuid), 4);
    struct Expected
    {
        QString path;
        quint16 product;
        quint16 release;
        QString serial;
    };
    const QList<Expected> expected{
        {QStringLiteral("1-1.1"), kVemoProductId, 0x0109, QStringLiteral("100000001")},
        {QStringLiteral("1-1.2"), kVemo2ProductId, kLoaderRelease, {}},
        {QStringLiteral("1-1.3"), kVemo2ProductId, 0x0211, QStringLiteral("200000003")},
        {QStringLiteral("1-1.4"), kVemo3ProductId, 0x0307, QStringLiteral("300000004")}};
    for (int i = 0; i < expected.size(); ++i) {
        DeviceDescription description;
        QCOMPARE(component->DescribeDevice(i, description), status::Success);
        QCOMPARE(description.busPath, expected.at(i).path);
        QCOMPARE(description.vendorId, kVendorId);
        QCOMPARE(description.productId, expected.at(i).product);
        QCOMPARE(description.release, expected.at(i).release);
        QCOMPARE(description.serialNumber, expected.at(i).serial);
        const auto device = std::find_if(devices.cbegin(), devices.cend(), [&](UsbMockDevice *d) {
            return d->instanceId() == expected.at(i).path;
        });
        QVERIFY(device != devices.cend());
        QCOMPARE(description.devicePath, (*device)->devNode());
    }
    QCOMPARE(releaseText(0x0109), QStringLiteral("1.09"));
    QCOMPARE(releaseText(0x0211), QStringLiteral("2.11"));

    // Nothing was opened for it: only the held device has a claim and an
    // open node, both from its holder.
    for (UsbMockDevice *device : std::as_const(devices)) {
        const bool held = device->instanceId() == QLatin1String("1-1.3");
        QCOMPARE(device->claims(), held ? 1 : 0);
        QCOMPARE(device->opens(), held ? 1 : 0);
    }
}

void TestLibusb::describingIsRefusedOutsideTheListAndForADeviceGone()
{
    LibusbFixture f;
    UsbMockDevice *device = f.mock.add(Generation::Vemo2, 2);
    f.start();
    auto component = f.component();
    DeviceDescription description;
    QCOMPARE(component->DescribeDevice(0, description), status::NoSuchDevice);
    QCOMPARE(component->EnumerateDevices(kGuid), 1);
    QCOMPARE(component->DescribeDevice(-1, description), status::NoSuchDevice);
    QCOMPARE(component->DescribeDevice(1, description), status::NoSuchDevice);
    QCOMPARE(component->DescribeDevice(0, description), status::Success);
    QCOMPARE(description.busPath, QStringLiteral("1-2"));
    QCOMPARE(description.serialNumber, QStringLiteral("000000001"));
    QCOMPARE(description.release, quint16(0x0210));

    EventRecorder events(component.get());
    QCOMPARE(component->EnablePnPNotification(kGuid), status::Success);
    device->unplug();
    QVERIFY(events.waitFor(EventId::PnPRemoveNotification, 1));
    QCOMPARE(component->DescribeDevice(0, description), status::DeviceGone);
    // Back on the bus, it is a new device of a new enumeration.
    device->plug();
    QVERIFY(events.waitFor(EventId::PnPAddNotification, 1));
    QCOMPARE(component->DescribeDevice(0, description), status::DeviceGone);
    QCOMPARE(component->EnumerateDevices(kGuid), 1);
    QCOMPARE(component->DescribeDevice(0, description), status::Success);
    QCOMPARE(description.devicePath, device->devNode());
}

void TestLibusb::openSharesOneHandleAndTheConfiguration()
{
    LibusbFixture f;
    UsbMockDevice *device = f.mock.add(Generation::Vemo2, 1);
    f.start();
    auto reader = f.component();
    auto writer = f.component();
    for (const auto &c : {reader.get(), writer.get()}) {
        QCOMPARE(c->EnumerateDevices(kGuid), 1);
        QCOMPARE(c->OpenDevice(0), status::Success);
        QCOMPARE(c->AddInterface(0, 0, 64000), status::Success);
    }
    // One handle, one claim for both.
    QCOMPARE(device->claims(), 1);
    QCOMPARE(reader->Bind(kInEndpoint), status::NotConfigured);
    QCOMPARE(writer->SetConfiguration(1), status::InvalidParameter);
    QCOMPARE(writer->SetConfiguration(0), status::Success);
    // Selected by one, the configuration serves the other.
    QCOMPARE(reader->Bind(kInEndpoint), status::Success);
    QCOMPARE(writer->Bind(kCommandEndpoint), status::Success);
    QCOMPARE(writer->Bind(kImageEndpoint), status::AlreadyBound);
    QCOMPARE(reader->StartReading(16, 5, 5), status::Success);
    QVERIFY(LibusbFixture::waitFor([device] { return device->inUrbsInFlight() == 5; }));

    // Dropped by one, it is gone for both: the reads end without events.
    EventRecorder events(reader.get());
    QCOMPARE(writer->UnconfigureDevice(), status::Success);
    QCOMPARE(device->inUrbsInFlight(), 0);
    Status status = 0;
    readOne(*reader, nullptr, &status);
    QCOMPARE(status, status::NotConfigured);
    QCOMPARE(writer->Bind(kCommandEndpoint), status::NotConfigured);
    LibusbFixture::settle();
    QVERIFY(events.events.isEmpty());

    // The handle goes with the last instance, and a new open claims again.
    reader->CloseDevice();
    QCOMPARE(device->claims(), 1);
    writer->CloseDevice();
    QCOMPARE(writer->OpenDevice(0), status::Success);
    QCOMPARE(device->claims(), 2);
}

void TestLibusb::operationsNeedAnOpenDevice_data()
{
    addOperationsOnTheOpenDevice();
}

void TestLibusb::operationsNeedAnOpenDevice()
{
    QFETCH(ComponentOperation, operation);
    LibusbFixture f;
    f.mock.add(Generation::Vemo2, 1);
    f.start();
    auto c = f.component();
    c->EnumerateDevices(kGuid);
    QCOMPARE(operation(*c), status::NotOpened);
    QCOMPARE(c->OpenDevice(0), status::Success);
    c->CloseDevice();
    QCOMPARE(operation(*c), status::NotOpened);
}

void TestLibusb::commandInPiecesAndItsAnswer()
{
    LibusbFixture f;
    UsbMockDevice *device = f.mock.add(Generation::Vemo2, 1);
    f.start();
    Pipes pipes(f);
    QVERIFY(pipes.ok());
    QCOMPARE(pipes.reader->StartReading(16, 5, 5), status::Success);
    // 20 characters: a full piece, then four characters and 12 zero bytes.
    QVERIFY(pipes.command("ABGL?\rDEVNR?\rDEVIN"));
    QVERIFY(pipes.command("FO?\r"));
    QCOMPARE(device->pieces(),
             (QList<QByteArray>{"ABGL?\rDEVNR?\rDEV", QByteArray("IN").leftJustified(16, '\0'),
                                QByteArray("FO?\r").leftJustified(16, '\0')}));
    QCOMPARE(device->commands(), (QList<QByteArray>{"ABGL?", "DEVNR?", "DEVINFO?"}));
    QVERIFY(pipes.waitForText("Vemo2 SN000000001 FW2.10\r"));
    QVERIFY(pipes.received.startsWith("ABGL00-00-00 +0.000\rDEVNR000000001\r"));
}

void TestLibusb::fivePendingReadsCompletedInOrder()
{
    LibusbFixture f;
    UsbMockDevice *device = f.mock.add(Generation::Vemo2, 1);
    f.start();
    auto reader = f.pipe(kInEndpoint);
    QVERIFY(reader);
    EventRecorder events(reader.get());
    QCOMPARE(reader->StartReading(16, 5, 5), status::Success);
    QVERIFY(LibusbFixture::waitFor([device] { return device->inUrbsInFlight() == 5; }));
    LibusbFixture::settle();
    QCOMPARE(device->inUrbsSubmitted(), 5);
    for (int i = 1; i <= 5; ++i)
        device->sendToHost("read " + QByteArray::number(i));
    QVERIFY(events.waitFor(EventId::ReadComplete, 5));
    // Finished reads keep their slots until they are taken.
    QCOMPARE(reader->pendingReads(), 0);
    QCOMPARE(device->inUrbsSubmitted(), 5);
    for (int i = 1; i <= 5; ++i)
        QCOMPARE(readOne(*reader), "read " + QByteArray::number(i));
    QCOMPARE(device->inUrbsSubmitted(), 10);
    QVERIFY(LibusbFixture::waitFor([device] { return device->inUrbsInFlight() == 5; }));
    Status status = 0;
    readOne(*reader, nullptr, &status);
    QCOMPARE(status, status::NoData);
}

void TestLibusb::slotsFreedByADropTakeWhatWaits_data()
{
    QTest::addColumn<bool>("abort");
    QTest::newRow("ResetPipe") << false;
    QTest::newRow("AbortPipe") << true;
}

// As on the simulated bus: reading goes on over a reset or an abort of the
// IN pipe, and the reads started in the freed slots take what the device
// queued meanwhile.
void TestLibusb::slotsFreedByADropTakeWhatWaits()
{
    QFETCH(bool, abort);
    LibusbFixture f;
    UsbMockDevice *device = f.mock.add(Generation::Vemo2, 1);
    f.start();
    auto reader = f.pipe(kInEndpoint);
    QVERIFY(reader);
    EventRecorder events(reader.get());
    QCOMPARE(reader->StartReading(16, 2, 5), status::Success);
    QVERIFY(LibusbFixture::waitFor([device] { return device->inUrbsInFlight() == 2; }));
    device->sendToHost("a");
    device->sendToHost("b");
    device->sendToHost("c");
    QVERIFY(events.waitFor(EventId::ReadComplete, 2));
    // Two buffers, both holding a finished read: "c" waits at the device.
    QCOMPARE(reader->finishedReads(), 2);
    QCOMPARE(reader->pendingReads(), 0);

    QCOMPARE(abort ? reader->AbortPipe() : reader->ResetPipe(), status::Success);
    QCOMPARE(reader->finishedReads(), 0);
    QVERIFY(reader->isReading());
    QVERIFY(events.waitFor(EventId::ReadComplete, 3));
    QCOMPARE(readOne(*reader), QByteArray("c"));
}

void TestLibusb::readCompletionsOfAStoppedSessionAreNotDelivered_data()
{
    ReadSessionEnder::addRows();
}

// As the link does after a read error: at the first of three completions
// the session ends; the two behind it are never delivered.
void TestLibusb::readCompletionsOfAStoppedSessionAreNotDelivered()
{
    QFETCH(QString, end);
    LibusbFixture f;
    UsbMockDevice *device = f.mock.add(Generation::Vemo2, 1);
    f.start();
    auto reader = f.pipe(kInEndpoint);
    QVERIFY(reader);
    ReadSessionEnder handler(reader.get(), end);
    QCOMPARE(reader->StartReading(16, 5, 5), status::Success);
    QVERIFY(LibusbFixture::waitFor([device] { return device->inUrbsInFlight() == 5; }));
    // All three finish before the event loop gets to the first completion.
    device->sendToHost("one");
    device->sendToHost("two");
    device->sendToHost("three");
    QVERIFY(LibusbFixture::waitFor([&] { return handler.ended; }));
    QCOMPARE(handler.endStatus, status::Success);
    LibusbFixture::settle(50);
    QCOMPARE(handler.statuses, QList<Status>{status::Success});
    QVERIFY(LibusbFixture::waitFor([device] { return device->inUrbsInFlight() == 5; }));
    device->sendToHost("four");
    QVERIFY(LibusbFixture::waitFor([&] { return handler.statuses.size() == 2; }));
    LibusbFixture::settle(50);
    QCOMPARE(handler.statuses, (QList<Status>{status::Success, status::Success}));
    QCOMPARE(handler.data.first(), QByteArray("one"));
    // Reads the device had finished when the session ended are dropped.
    const QByteArray last = handler.data.last();
    QVERIFY(last == "four" || last == "two" || last == "three");
}

void TestLibusb::cancelledWritesRaiseNoCompletion_data()
{
    QTest::addColumn<QString>("cancel");
    QTest::newRow("ResetPipe") << QStringLiteral("reset");
    QTest::newRow("AbortPipe") << QStringLiteral("abort");
    QTest::newRow("StopWriting") << QStringLiteral("stop");
    QTest::newRow("CloseDevice") << QStringLiteral("close");
}

// A write the device has not taken is cancelled, synchronously: when the
// call returns nothing is in flight, no completion follows, and the data
// never reaches the device.
void TestLibusb::cancelledWritesRaiseNoCompletion()
{
    QFETCH(QString, cancel);
    LibusbFixture f;
    UsbMockDevice *device = f.mock.add(Generation::Vemo2, 1);
    f.start();
    auto writer = f.pipe(kCommandEndpoint);
    QVERIFY(writer);
    EventRecorder events(writer.get());
    QCOMPARE(writer->StartWriting(16, 5, 5, false), status::Success);
    device->holdWrites(true);
    QCOMPARE(writer->WriteData(QByteArray("NSF?\r").leftJustified(16, '\0'), 0), status::Success);
    QCOMPARE(writer->WriteData(QByteArray("BE?\r").leftJustified(16, '\0'), 0), status::Success);
    LibusbFixture::settle();
    QCOMPARE(writer->pendingWrites(), 2);
    events.insideCall = true;
    if (cancel == QLatin1String("reset"))
        QCOMPARE(writer->ResetPipe(), status::Success);
    else if (cancel == QLatin1String("abort"))
        QCOMPARE(writer->AbortPipe(), status::Success);
    else if (cancel == QLatin1String("stop"))
        writer->StopWriting();
    else
        writer->CloseDevice();
    events.insideCall = false;
    QCOMPARE(writer->pendingWrites(), 0);
    device->holdWrites(false);
    LibusbFixture::settle(50);
    QCOMPARE(events.raisedInsideCall, 0);
    QVERIFY(events.events.isEmpty());
    QVERIFY(device->pieces().isEmpty());
    QCOMPARE(device->clearedHalts().contains(kCommandEndpoint), cancel == QLatin1String("reset"));
    if (cancel == QLatin1String("close"))
        return;
    // The pipe goes on working.
    if (cancel == QLatin1String("stop"))
        QCOMPARE(writer->StartWriting(16, 5, 5, false), status::Success);
    QCOMPARE(writer->WriteData(QByteArray("NSF?\r").leftJustified(16, '\0'), 0), status::Success);
    QVERIFY(events.waitFor(EventId::WriteComplete, 1));
    QVERIFY(LibusbFixture::waitFor([device] { return device->pieces().size() == 1; }));
}

void TestLibusb::loaderCycleWithRemoveAndAddUevents()
{
    LibusbFixture f;
    VemoFirmware::Settings settings;
    settings.restartDelayMs = 100;
    UsbMockDevice *device = f.mock.add(Generation::Vemo2, 1, settings);
    f.start();
    auto pnp = f.component();
    EventRecorder notifications(pnp.get());
    QCOMPARE(pnp->EnablePnPNotification(kGuid), status::Success);
    const QString firstNode = device->devNode();
    {
        Pipes pipes(f);
        QVERIFY(pipes.ok());
        QCOMPARE(pipes.reader->StartReading(16, 5, 5), status::Success);
        QVERIFY(pipes.command("USB-Vemo:BWF!!!"));
        QVERIFY(notifications.waitFor(EventId::PnPRemoveNotification, 1));
        QCOMPARE(notifications.events.first().devicePath, firstNode);
        // The handles of the device that left are dead.
        QCOMPARE(pipes.commands->ResetPipe(), status::DeviceGone);
        QCOMPARE(f.component()->EnumerateDevices(kGuid), 0);
        QVERIFY(notifications.waitFor(EventId::PnPAddNotification, 1));
        QCOMPARE(pipes.commands->ResetPipe(), status::DeviceGone);
    }
    // Back at a new address, in its loader.
    QVERIFY(device->devNode() != firstNode);
    QCOMPARE(notifications.events.last().devicePath, device->devNode());
    QVERIFY(device->firmware().inLoader());
    Pipes pipes(f);
    QVERIFY(pipes.ok());
    QCOMPARE(pipes.reader->StartReading(16, 5, 5), status::Success);
    QVERIFY(pipes.command("USB-Vemo:NSF?!!"));
    QVERIFY(pipes.waitForText("Vemo2 loader V1.00\r"));
    QVERIFY(pipes.command("USB-Vemo:BWF!!!"));
    QVERIFY(pipes.waitForText("Flash is BLANK\r"));
    QCOMPARE(notifications.ids(),
             (QList<EventId>{EventId::PnPRemoveNotification, EventId::PnPAddNotification}));
}

// A device an update left with an erased flash: its loader is on the bus
// from the start, without a serial number, and erases in place; a whole
// image brings its firmware back.
void TestLibusb::deviceLeftInItsLoader()
{
    LibusbFixture f;
    VemoFirmware::Settings settings;
    settings.flashErased = true;
    settings.serialNumber = "200000042";
    settings.restartDelayMs = 50;
    UsbMockDevice *device = f.mock.add(Generation::Vemo2, 1, settings);
    f.start();
    auto component = f.component();
    QCOMPARE(component->EnumerateDevices(kGuid), 1);
    DeviceDescription description;
    QCOMPARE(component->DescribeDevice(0, description), status::Success);
    QCOMPARE(description.release, kLoaderRelease);
    QVERIFY(description.serialNumber.isEmpty());
    QVERIFY(device->firmware().inLoader());

    auto pnp = f.component();
    EventRecorder notifications(pnp.get());
    QCOMPARE(pnp->EnablePnPNotification(kGuid), status::Success);
    const QString node = device->devNode();
    {
        Pipes pipes(f);
        QVERIFY(pipes.ok());
        QCOMPARE(pipes.reader->StartReading(16, 5, 5), status::Success);
        QVERIFY(pipes.command("USB-Vemo:NSF?!!"));
        QVERIFY(pipes.waitForText("Vemo2 loader V1.00\r"));
        QVERIFY(pipes.command("USB-Vemo:BWF!!!"));
        QVERIFY(pipes.waitForText("Flash is BLANK\r"));
        // Erased in place: the loader stayed on the bus, at its address.
        QVERIFY(notifications.events.isEmpty());
        QCOMPARE(device->devNode(), node);
        QCOMPARE(pipes.received, QByteArray("Vemo2 loader V1.00\rFlash is BLANK\r"));

        const QByteArray image = testBytes(1000, 42);
        QVERIFY(pipes.sendImage(image));
        QVERIFY(LibusbFixture::waitFor([device] { return !device->image().isEmpty(); }));
        QCOMPARE(device->image(), image);
    }
    QVERIFY(notifications.waitFor(EventId::PnPAddNotification, 1));
    QCOMPARE(notifications.ids(),
             (QList<EventId>{EventId::PnPRemoveNotification, EventId::PnPAddNotification}));
    QVERIFY(!device->firmware().inLoader());
    QCOMPARE(component->EnumerateDevices(kGuid), 1);
    QCOMPARE(component->DescribeDevice(0, description), status::Success);
    QCOMPARE(description.serialNumber, QStringLiteral("200000042"));
    QCOMPARE(description.release, quint16(0x0211));
}

void TestLibusb::imageByteExact_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("imageSize"); // what the loader takes as whole
    QTest::newRow("1") << 1 << 0;
    QTest::newRow("63") << 63 << 0;
    QTest::newRow("64") << 64 << 64;
    QTest::newRow("65") << 65 << 0;
    QTest::newRow("4096 + 7") << 4096 + 7 << 0;
}

void TestLibusb::imageByteExact()
{
    QFETCH(int, size);
    QFETCH(int, imageSize);
    LibusbFixture f;
    VemoFirmware::Settings settings;
    settings.imageSize = imageSize;
    UsbMockDevice *device = f.mock.add(Generation::Vemo3, 1, settings);
    f.start();
    ErasedLoader loader(f);
    QVERIFY(loader.open(f));
    Pipes &pipes = *loader.pipes;

    const QByteArray image = testBytes(size, quint32(size));
    QVERIFY(pipes.sendImage(image));
    QVERIFY(LibusbFixture::waitFor([device] { return !device->image().isEmpty(); }));
    QCOMPARE(device->image(), image);
    QCOMPARE(device->chunks().size(), (size + 63) / 64);
    // The device restarts with the new firmware.
    QVERIFY(loader.notifications.waitFor(EventId::PnPAddNotification, 2));
    QVERIFY(!device->firmware().inLoader());
    QCOMPARE(device->firmware().firmwareVersion(), QByteArray("2.11"));
}

// The device goes while reads and a write are in flight: each read ends
// with one completion whose read data gives DeviceGone, no read is started
// again, the write raises nothing, and then the removal is announced.
void TestLibusb::disconnectWithTransfersInFlight()
{
    LibusbFixture f;
    UsbMockDevice *device = f.mock.add(Generation::Vemo2, 1);
    f.start();
    Pipes pipes(f);
    QVERIFY(pipes.ok());
    QCOMPARE(pipes.reader->EnablePnPNotification(kGuid), status::Success);
    QList<Status> reads;
    connect(pipes.reader.get(), &Component::eventRaised, this, [&](EventId id) {
        if (id == EventId::ReadComplete) {
            Status status = 0;
            readOne(*pipes.reader, nullptr, &status);
            reads.append(status);
        }
    });
    QCOMPARE(pipes.reader->StartReading(16, 5, 5), status::Success);
    QCOMPARE(pipes.commands->StartWriting(16, 5, 5, false), status::Success);
    device->holdWrites(true);
    QCOMPARE(pipes.commands->WriteData(QByteArray(16, 'w'), 0), status::Success);
    QVERIFY(LibusbFixture::waitFor([device] { return device->inUrbsInFlight() == 5; }));
    const int submitted = device->inUrbsSubmitted();

    device->unplug();
    QVERIFY(pipes.readerEvents->waitFor(EventId::PnPRemoveNotification, 1));
    LibusbFixture::settle(100);
    QCOMPARE(reads, QList<Status>(5, status::DeviceGone));
    QCOMPARE(pipes.readerEvents->ids().last(), EventId::PnPRemoveNotification);
    QCOMPARE(pipes.readerEvents->count(EventId::PnPRemoveNotification), 1);
    QCOMPARE(device->inUrbsSubmitted(), submitted);
    QVERIFY(pipes.commandEvents->events.isEmpty());
    QCOMPARE(pipes.reader->StartReading(16, 5, 5), status::DeviceGone);
    QCOMPARE(pipes.commands->WriteData(QByteArray(16, 'x'), 0), status::DeviceGone);
    QVERIFY(device->pieces().isEmpty());
    pipes.reader->CloseDevice();
    QCOMPARE(pipes.reader->ResetPipe(), status::NotOpened);
    QCOMPARE(f.component()->EnumerateDevices(kGuid), 0);
}

// The device answers and leaves the bus at once (it restarts right after
// its reply), and libusb hears of both before the event loop gets to
// either: the answer had reached the host before the device left, so its
// reads complete with it, and only the reads still pending end with
// DeviceGone, before the removal is announced.
void TestLibusb::answerSentJustBeforeLeavingIsRead()
{
    LibusbFixture f;
    UsbMockDevice *device = f.mock.add(Generation::Vemo2, 1);
    f.start();
    Pipes pipes(f);
    QVERIFY(pipes.ok());
    QCOMPARE(pipes.reader->EnablePnPNotification(kGuid), status::Success);
    QList<Status> reads;
    QByteArray received;
    connect(pipes.reader.get(), &Component::eventRaised, this, [&](EventId id) {
        if (id == EventId::ReadComplete) {
            Status status = 0;
            received += readOne(*pipes.reader, nullptr, &status);
            reads.append(status);
        }
    });
    QCOMPARE(pipes.reader->StartReading(16, 5, 5), status::Success);
    QVERIFY(LibusbFixture::waitFor([device] { return device->inUrbsInFlight() == 5; }));
    LibusbFixture::settle();

    device->sendToHost("ABGL26-12-11 +0.");
    device->sendToHost("000\r");
    device->unplug();
    // libusb takes the removal in now, on this thread, as its hotplug
    // thread would have by the time the event loop looks.
    libusb_context *other = nullptr;
    QCOMPARE(libusb_init(&other), 0);
    libusb_device **list = nullptr;
    const ssize_t listed = libusb_get_device_list(other, &list);
    libusb_free_device_list(list, 1);
    libusb_exit(other);
    QCOMPARE(listed, ssize_t(0));

    QVERIFY(pipes.readerEvents->waitFor(EventId::PnPRemoveNotification, 1));
    LibusbFixture::settle(100);
    QCOMPARE(received, QByteArray("ABGL26-12-11 +0.000\r"));
    QCOMPARE(reads, (QList<Status>{status::Success, status::Success, status::DeviceGone,
                                   status::DeviceGone, status::DeviceGone}));
    QCOMPARE(pipes.readerEvents->ids().last(), EventId::PnPRemoveNotification);
}

// The loader refuses a chunk: the write raises no completion, the pipe
// stays halted until it is reset, and after the reset the image goes
// through byte for byte.
void TestLibusb::stallOnTheImagePipe()
{
    LibusbFixture f;
    VemoFirmware::Settings settings;
    settings.restartDelayMs = 50;
    UsbMockDevice *device = f.mock.add(Generation::Vemo2, 1, settings);
    f.start();
    ErasedLoader loader(f);
    QVERIFY(loader.open(f));
    Pipes &pipes = *loader.pipes;

    device->stallNextWrite(kImageEndpoint);
    QCOMPARE(pipes.image->StartWriting(64, 5, 5, false), status::Success);
    QCOMPARE(pipes.image->WriteData(QByteArray(64, 's'), 0), status::Success);
    QVERIFY(LibusbFixture::waitFor([&] { return pipes.image->pendingWrites() == 0; }));
    LibusbFixture::settle(50);
    QVERIFY(pipes.imageEvents->events.isEmpty());
    QCOMPARE(pipes.image->WriteData(QByteArray(64, 't'), 0), status::TransferFailed);
    QVERIFY(device->chunks().isEmpty());
    pipes.image->StopWriting();

    const QByteArray image = testBytes(150, 7);
    QCOMPARE(device->clearedHalts().count(kImageEndpoint), 0);
    QVERIFY(pipes.sendImage(image)); // resets the pipe first
    QCOMPARE(device->clearedHalts().count(kImageEndpoint), 1);
    QVERIFY(LibusbFixture::waitFor([device] { return !device->image().isEmpty(); }));
    QCOMPARE(device->image(), image);
}

void TestLibusb::plugAndPlayOfTheVendorsDevicesOnly()
{
    LibusbFixture f;
    f.start();
    auto enabled = f.component();
    auto quiet = f.component();
    EventRecorder events(enabled.get());
    EventRecorder none(quiet.get());
    QCOMPARE(enabled->EnablePnPNotification(QStringLiteral("not a guid")),
             status::InvalidParameter);
    QCOMPARE(enabled->EnablePnPNotification(kGuid), status::Success);
    f.mock.addOtherProduct(kVendorId, 0x0999, 2);
    f.mock.addOtherProduct(0x1234, 0x5678, 3);
    UsbMockDevice *device = f.mock.add(Generation::Vemo2, 1);
    QVERIFY(events.waitFor(EventId::PnPAddNotification, 1));
    QCOMPARE(events.events.first().devicePath, device->devNode());
    QCOMPARE(enabled->EnumerateDevices(kGuid), 1);
    device->unplug();
    QVERIFY(events.waitFor(EventId::PnPRemoveNotification, 1));
    LibusbFixture::settle(50);
    QCOMPARE(events.ids(),
             (QList<EventId>{EventId::PnPAddNotification, EventId::PnPRemoveNotification}));
    QVERIFY(none.events.isEmpty());
    QCOMPARE(enabled->EnumerateDevices(kGuid), 0);
}

// udev gives the node its rights a moment after the kernel announces the
// device: the arrival waits for it, so that the window can open the device
// at once, and it is not taken for a device that is gone.
// A device leaves and comes back (a loader restarting after its image) just
// as the program ends: libusb has reported it, the work is queued for the
// event loop, and the backend goes before the loop gets to it. The device
// libusb handed over is let go all the same (the ASan build's leak check
// fails the run otherwise), and the dropped work touches nothing later.
void TestLibusb::backendGoesWithHotplugWorkQueued()
{
    LibusbFixture f;
    UsbMockDevice *device = f.mock.add(Generation::Vemo2, 1);
    f.start();
    QCOMPARE(f.backend->devices().size(), 1);

    device->unplug();
    device->plug();
    // libusb's own event handling only, as a close's drain runs it: its
    // hotplug callbacks run, the work they queue does not.
    QVERIFY(f.backend->pump());
    f.backend->pump()->handleUntil([] { return false; }, 300);
    QCOMPARE(f.backend->devices().size(), 1); // the removal is still queued
    f.backend.reset();
    LibusbFixture::settle(50);
}

void TestLibusb::arrivalWaitsForTheDeviceNode()
{
    LibusbFixture f;
    f.start();
    auto pnp = f.component();
    EventRecorder events(pnp.get());
    QCOMPARE(pnp->EnablePnPNotification(kGuid), status::Success);
    UsbMockDevice *device = f.mock.add(Generation::Vemo2, 1);
    QVERIFY(events.waitFor(EventId::PnPAddNotification, 1));
    device->unplug();
    QVERIFY(events.waitFor(EventId::PnPRemoveNotification, 1));
    events.clear();

    // Far longer than the test waits: an arrival that comes is reported
    // once the node was there, not at the end of the backend's wait.
    f.backend->arrivalWaitMs = 10 * 60 * 1000;
    device->plug(true);
    // However long the node stays away, the arrival is not reported.
    LibusbFixture::settle(150);
    QVERIFY(events.events.isEmpty());
    device->releaseNode();
    QVERIFY(events.waitFor(EventId::PnPAddNotification, 1, 30000));
    QCOMPARE(events.ids(), QList<EventId>{EventId::PnPAddNotification});
    auto c = f.component();
    QCOMPARE(c->EnumerateDevices(kGuid), 1);
    QCOMPARE(c->OpenDevice(0), status::Success);
}

// What stands for the driver on Linux: the kernel (its usbfs) with its
// version, and libusb as the interface. A current system is never an "old
// driver" (the window warns below 2.5).
void TestLibusb::openRefusedByTheHost_data()
{
    // How the host refuses: rights (no udev rule) or the claim's errno.
    QTest::addColumn<bool>("noRights");
    QTest::addColumn<int>("claimError");
    QTest::addColumn<Status>("expected");
    // What the operator reads (the component's text), in part.
    QTest::addColumn<QString>("text");

    // The advice of docs/install.md's "Real devices" depends on this row.
    QTest::newRow("no rights to the node: the udev rule is missing")
        << true << 0 << status::PermissionDenied << QStringLiteral("install the Vemo udev rule");
    QTest::newRow("interface held by another program")
        << false << EBUSY << status::AccessDenied << QStringLiteral("in use by another program");
    QTest::newRow("device gone at the claim")
        << false << ENODEV << status::DeviceGone << QStringLiteral("has been removed");
    QTest::newRow("interface not found")
        << false << ENOENT << status::DeviceGone << QStringLiteral("has been removed");
    QTest::newRow("any other failure of the host")
        << false << EIO << status::UsbError << QStringLiteral("USB system of the host");
}

void TestLibusb::openRefusedByTheHost()
{
    QFETCH(bool, noRights);
    QFETCH(int, claimError);
    QFETCH(Status, expected);
    QFETCH(QString, text);

    LibusbFixture f;
    UsbMockDevice *device = f.mock.add(Generation::Vemo2, 1);
    f.start();
    auto c = f.component();
    QCOMPARE(c->EnumerateDevices(kGuid), 1);
    device->setNodeWritableByUsers(!noRights);
    device->failNextClaim(claimError);
    {
        OrdinaryUserFiles user;
        QVERIFY(user.active());
        QCOMPARE(c->OpenDevice(0), expected);
    }
    QVERIFY2(c->ErrorText(expected).contains(text), qPrintable(c->ErrorText(expected)));
    // Nothing was left open: the pipe operations still need an open device.
    QCOMPARE(c->AddInterface(0, 0, 64000), status::NotOpened);
    QCOMPARE(device->claims(), 0);

    // Once the host allows it, the same instance opens the device.
    device->setNodeWritableByUsers(true);
    {
        OrdinaryUserFiles user;
        QCOMPARE(c->OpenDevice(0), status::Success);
    }
    QCOMPARE(device->claims(), 1);
    QCOMPARE(c->AddInterface(0, 0, 64000), status::Success);
}

void TestLibusb::driverInformationOnLinux()
{
    LibusbFixture f;
    f.mock.add(Generation::Vemo2, 1);
    f.start();
    auto c = f.component();
    DriverInfo info;
    QCOMPARE(c->GetDriverInfo(info), status::Success);
    const libusb_version *library = libusb_get_version();
    QCOMPARE(info.apiVersion, quint32(library->major << 8 | library->minor));
    utsname system{};
    QCOMPARE(uname(&system), 0);
    const QList<QByteArray> release = QByteArray(system.release).split('.');
    QCOMPARE(info.driverVersion >> 8, release.value(0).toUInt());
    QCOMPARE(info.driverVersion & 0xFF, release.value(1).toUInt());
    // Read as the window reads it: high byte "." low byte, as a number.
    const double driver = (QByteArray::number(info.driverVersion / 256) + '.' +
                           QByteArray::number(info.driverVersion % 256))
                              .toDouble();
    QVERIFY2(driver >= 2.5, qPrintable(QString::number(driver)));
    QCOMPARE(info.flags, 1u);
}

void TestLibusb::noUsbFileSystemLeavesANote()
{
    QTemporaryDir dir;
    LibusbFixture f;
    f.backend = std::make_unique<LibusbBackend>(&f.store);
    f.backend->usbFileSystem = dir.filePath(QStringLiteral("bus/usb"));
    f.backend->install();
    QCOMPARE(selectedBackend(), QStringLiteral("libusb"));
    QVERIFY(f.backend->running());
    QVERIFY2(selectedBackendNote().contains(f.backend->usbFileSystem),
             qPrintable(selectedBackendNote()));
    f.backend.reset();
    QVERIFY(selectedBackendNote().isEmpty());

    f.backend = std::make_unique<LibusbBackend>(&f.store);
    f.backend->usbFileSystem = dir.path();
    f.backend->install();
    QVERIFY(selectedBackendNote().isEmpty());
    // Found nothing: the list is published empty.
    QCOMPARE(
        f.store.readInteger(registry::RootKey::LocalMachine, kServiceEnum, QStringLiteral("Count")),
        0);
}

VEMO_UMOCKDEV_TEST_MAIN(TestLibusb)
#include "tst_usbio_libusb.moc"
