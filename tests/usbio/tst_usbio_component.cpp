// The component contract of the "sim" backend: each operation's results and
// events, in order, per instance, and only through the event loop.

#include "tests/usbio/ComponentCalls.h"
#include "tests/usbio/EventRecorder.h"
#include "tests/usbio/ReadSessionEnder.h"
#include "tests/usbio/SimFixture.h"
#include "usbio/devicemodel/VemoFirmware.h"

#include <QSet>
#include <QTest>

#include <functional>
#include <optional>

using namespace usbio;

namespace {

const QString kGuid = QString::fromLatin1(kDeviceInterfaceGuid);
constexpr quint8 kIn = 0x81;
constexpr quint8 kCommands = 0x01;
constexpr quint8 kImage = 0x02;

} // namespace

class TestComponent : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void enumerationIsPerInstanceInAttachOrder();
    void enumerationOfAnotherInterfaceFindsNothing();
    void describeGivesWhatTheDescriptorsHold();
    void describeNeitherOpensNorMindsAnOpenFault();
    void describeRefusesOutsideTheListAndADeviceGone();
    void releaseTexts_data();
    void releaseTexts();
    void openRefusesIndexOutsideTheList_data();
    void openRefusesIndexOutsideTheList();
    void openOfDeviceThatLeftIsDeviceGone();
    void secondOpenReplacesTheHandle();
    void operationsNeedAnOpenDevice_data();
    void operationsNeedAnOpenDevice();
    void configurationOrder_data();
    void configurationOrder();
    void unconfigureTakesThePipesOfAllInstances();
    void unconfigureEndsTheReadsOfAllInstances();
    void pipeDirectionIsChecked_data();
    void pipeDirectionIsChecked();
    void readsFinishOnePerEventInOrder();
    void readDataKeepsBytesPastTheRead();
    void pendingReadsLimitWhatIsTaken();
    void readDataWithoutFinishedRead();
    void finishedReadsAreDropped_data();
    void finishedReadsAreDropped();
    void slotsFreedByADropTakeWhatWaits_data();
    void slotsFreedByADropTakeWhatWaits();
    void writeCompletesOncePerWriteAfterDelivery();
    void writeChecks();
    void writeCompletionNeverComesWhenDelayIsMinusOne();
    void lateWriteCompletion();
    void abortAndResetCancelPendingWrites_data();
    void abortAndResetCancelPendingWrites();
    void readCompletionsOfAnEndedSessionAreNotDelivered_data();
    void readCompletionsOfAnEndedSessionAreNotDelivered();
    void writeCompletionPostedBeforeACancelIsNotDelivered_data();
    void writeCompletionPostedBeforeACancelIsNotDelivered();
    void noEventIsRaisedInsideAnOperation();
    void eventsOfDestroyedComponentAreDropped();
    void pnpNotificationOnlyWhenEnabled();
    void pnpEnableRefused();
    void pnpEnableWithBadGuid();
    void deviceLeavingEndsPendingReads();
    void deviceBackNeedsNewOpen();
    void driverInfoComesFromTheDevice();
    void errorTextOfEveryStatus_data();
    void errorTextOfEveryStatus();
    void errorTextCanFail();
    void statusTableNamesEachNumberOnce();
    void statusNamedReadsTableNames_data();
    void statusNamedReadsTableNames();
    void faultStatuses_data();
    void faultStatuses();
    void startReadingRefusedNTimes();
    void readErrorsThenData();
    void readErrorLimitStopsReads();
};

void TestComponent::enumerationIsPerInstanceInAttachOrder()
{
    SimFixture sim;
    SimDeviceSettings first;
    first.serialNumber = "AAAAAAAAA";
    sim.bus.attach(first);
    auto early = sim.component();
    QCOMPARE(early->EnumerateDevices(kGuid), 1);

    SimDeviceSettings second;
    second.serialNumber = "BBBBBBBBB";
    second.generation = Generation::Vemo3;
    SimDevice *b = sim.bus.attach(second);
    auto late = sim.component();
    QCOMPARE(late->EnumerateDevices(kGuid), 2);

    // The early instance still has its own list of one.
    QCOMPARE(early->OpenDevice(1), status::NoSuchDevice);
    QCOMPARE(late->OpenDevice(1), status::Success);
    QCOMPARE(late->openDevice(), b);
    QCOMPARE(late->openDevice()->serialNumber(), QByteArray("BBBBBBBBB"));
}

void TestComponent::enumerationOfAnotherInterfaceFindsNothing()
{
    SimFixture sim;
    sim.bus.attach();
    auto c = sim.component();
    QCOMPARE(c->EnumerateDevices(QStringLiteral("{00000000-1111-2222-3333-444444444444}")), 0);
    QCOMPARE(c->EnumerateDevices(QStringLiteral("not a guid")), 0);
    QCOMPARE(c->EnumerateDevices(kGuid.toLower()), 1);
}

void TestComponent::describeGivesWhatTheDescriptorsHold()
{
    SimFixture sim;
    SimDeviceSettings vemo3;
    vemo3.generation = Generation::Vemo3;
    vemo3.serialNumber = "300000001";
    vemo3.firmwareVersion = "3.07";
    vemo3.id = QStringLiteral("bench-left");
    SimDevice *left = sim.bus.attach(vemo3);
    SimDeviceSettings vemo;
    vemo.generation = Generation::Vemo;
    vemo.serialNumber = "100000002";
    vemo.firmwareVersion = "1.9";
    SimDevice *right = sim.bus.attach(vemo);
    auto c = sim.component();
    QCOMPARE(c->EnumerateDevices(kGuid), 2);

    DeviceDescription first;
    QCOMPARE(c->DescribeDevice(0, first), status::Success);
    QCOMPARE(first.vendorId, kVendorId);
    QCOMPARE(first.productId, kVemo3ProductId);
    QCOMPARE(first.release, quint16(0x0307));
    QCOMPARE(first.serialNumber, QStringLiteral("300000001"));
    QCOMPARE(first.busPath, QStringLiteral("bench-left"));
    QCOMPARE(first.devicePath, left->devicePath());
    DeviceDescription second;
    QCOMPARE(c->DescribeDevice(1, second), status::Success);
    QCOMPARE(second.productId, kVemoProductId);
    QCOMPARE(releaseText(second.release), QStringLiteral("1.09"));
    // Without an id the device is named by the first free "device<N>".
    QCOMPARE(second.busPath, QStringLiteral("device1"));
    QCOMPARE(right->busPath(), QStringLiteral("device1"));

    // In its loader the device gives the loader's release and no serial
    // number; it keeps its place on the bus and in the order.
    left->firmware().receive(kCommandEndpoint, "USB-Vemo:BWF!!!");
    QVERIFY(SimFixture::waitFor([left] { return left->onBus() && left->inLoader(); }));
    QCOMPARE(c->EnumerateDevices(kGuid), 2);
    QCOMPARE(c->DescribeDevice(0, first), status::Success);
    QCOMPARE(first.busPath, QStringLiteral("bench-left"));
    QCOMPARE(first.release, kLoaderRelease);
    QCOMPARE(first.serialNumber, QString());
}

void TestComponent::describeNeitherOpensNorMindsAnOpenFault()
{
    SimFixture sim;
    SimDevice *device = sim.bus.attach();
    // A device that refuses every open, held by nobody, is described all the
    // same; one held by another instance too, and the holder goes on.
    device->faults().openStatus = status::AccessDenied;
    auto c = sim.component();
    QCOMPARE(c->EnumerateDevices(kGuid), 1);
    DeviceDescription description;
    QCOMPARE(c->DescribeDevice(0, description), status::Success);
    QCOMPARE(description.serialNumber, QStringLiteral("000000001"));
    QVERIFY(!c->openDevice());
    device->faults().openStatus = 0;
    auto holder = sim.pipe(kCommandEndpoint);
    QCOMPARE(c->DescribeDevice(0, description), status::Success);
    QVERIFY(!c->openDevice());
    QCOMPARE(holder->StartWriting(16, 1, 1, false), status::Success);
    QCOMPARE(holder->WriteData(QByteArray("NSF?\r").leftJustified(16, '\0'), 0), status::Success);
    QVERIFY(SimFixture::waitFor([device] { return !device->receivedCommands().isEmpty(); }));
}

void TestComponent::describeRefusesOutsideTheListAndADeviceGone()
{
    SimFixture sim;
    SimDevice *device = sim.bus.attach();
    auto c = sim.component();
    DeviceDescription description;
    QCOMPARE(c->DescribeDevice(0, description), status::NoSuchDevice); // nothing enumerated yet
    QCOMPARE(c->EnumerateDevices(kGuid), 1);
    QCOMPARE(c->DescribeDevice(-1, description), status::NoSuchDevice);
    QCOMPARE(c->DescribeDevice(1, description), status::NoSuchDevice);
    sim.bus.detach(device);
    QCOMPARE(c->DescribeDevice(0, description), status::DeviceGone);
}

void TestComponent::releaseTexts_data()
{
    QTest::addColumn<QByteArray>("version");
    QTest::addColumn<quint16>("release");
    QTest::addColumn<QString>("text");
    QTest::newRow("2.10") << QByteArray("2.10") << quint16(0x0210) << QStringLiteral("2.10");
    QTest::newRow("one digit minor")
        << QByteArray("1.9") << quint16(0x0109) << QStringLiteral("1.09");
    QTest::newRow("two digit major")
        << QByteArray("10.5") << quint16(0x1005) << QStringLiteral("10.05");
    QTest::newRow("0.01") << QByteArray("0.01") << quint16(0x0001) << QStringLiteral("0.01");
    QTest::newRow("99.99") << QByteArray("99.99") << quint16(0x9999) << QStringLiteral("99.99");
    // Versions that do not fit in BCD give 0.
    QTest::newRow("minor of three digits")
        << QByteArray("2.100") << quint16(0) << QStringLiteral("0.00");
    QTest::newRow("no minor") << QByteArray("2") << quint16(0) << QStringLiteral("0.00");
    QTest::newRow("three parts") << QByteArray("2.1.0") << quint16(0) << QStringLiteral("0.00");
    QTest::newRow("letters") << QByteArray("2.a") << quint16(0) << QStringLiteral("0.00");
}

void TestComponent::releaseTexts()
{
    QFETCH(QByteArray, version);
    QFETCH(quint16, release);
    QFETCH(QString, text);
    QCOMPARE(releaseOfVersion(version), release);
    QCOMPARE(releaseText(release), text);
}

void TestComponent::openRefusesIndexOutsideTheList_data()
{
    QTest::addColumn<int>("index");
    QTest::newRow("negative") << -1;
    QTest::newRow("one past the end") << 2;
    QTest::newRow("far") << 100;
}

void TestComponent::openRefusesIndexOutsideTheList()
{
    QFETCH(int, index);
    SimFixture sim;
    sim.bus.attach();
    sim.bus.attach();
    auto c = sim.component();
    QCOMPARE(c->OpenDevice(0), status::NoSuchDevice); // nothing enumerated yet
    QCOMPARE(c->EnumerateDevices(kGuid), 2);
    QCOMPARE(c->OpenDevice(index), status::NoSuchDevice);
    QVERIFY(!c->openDevice());
}

void TestComponent::openOfDeviceThatLeftIsDeviceGone()
{
    SimFixture sim;
    SimDevice *device = sim.bus.attach();
    auto c = sim.component();
    QCOMPARE(c->EnumerateDevices(kGuid), 1);
    sim.bus.detach(device);
    QCOMPARE(c->OpenDevice(0), status::DeviceGone);
    QCOMPARE(c->EnumerateDevices(kGuid), 0);
}

void TestComponent::secondOpenReplacesTheHandle()
{
    SimFixture sim;
    sim.bus.attach();
    auto c = sim.pipe(kIn);
    QVERIFY(c);
    QCOMPARE(c->boundEndpoint(), kIn);
    // The link opens again after a failed configuration: that must work.
    QCOMPARE(c->OpenDevice(0), status::Success);
    QCOMPARE(c->boundEndpoint(), quint8(0));
    QVERIFY(c->openDevice());
}

void TestComponent::operationsNeedAnOpenDevice_data()
{
    addOperationsOnTheOpenDevice();
}

void TestComponent::operationsNeedAnOpenDevice()
{
    QFETCH(ComponentOperation, operation);
    SimFixture sim;
    sim.bus.attach();
    auto c = sim.component();
    QCOMPARE(c->EnumerateDevices(kGuid), 1);
    QCOMPARE(operation(*c), status::NotOpened);

    // After a close, the same again.
    QCOMPARE(SimFixture::openPipe(*c, kIn), status::Success);
    c->CloseDevice();
    QCOMPARE(operation(*c), status::NotOpened);
}

void TestComponent::configurationOrder_data()
{
    QTest::addColumn<bool>("declare");
    QTest::addColumn<int>("configuration");
    QTest::addColumn<Status>("selectStatus");
    QTest::addColumn<quint8>("endpoint");
    QTest::addColumn<Status>("bindStatus");

    QTest::newRow("full sequence") << true << 0 << status::Success << kIn << status::Success;
    QTest::newRow("nothing declared")
        << false << 0 << status::NoInterface << kIn << status::NotConfigured;
    QTest::newRow("configuration 1")
        << true << 1 << status::InvalidParameter << kIn << status::NotConfigured;
    QTest::newRow("unknown endpoint")
        << true << 0 << status::Success << quint8(0x83) << status::InvalidParameter;
    QTest::newRow("command endpoint")
        << true << 0 << status::Success << kCommands << status::Success;
    QTest::newRow("image endpoint") << true << 0 << status::Success << kImage << status::Success;
}

void TestComponent::configurationOrder()
{
    QFETCH(bool, declare);
    QFETCH(int, configuration);
    QFETCH(Status, selectStatus);
    QFETCH(quint8, endpoint);
    QFETCH(Status, bindStatus);

    SimFixture sim;
    sim.bus.attach();
    auto c = sim.component();
    c->EnumerateDevices(kGuid);
    QCOMPARE(c->OpenDevice(0), status::Success);
    QCOMPARE(c->Bind(kIn), status::NotConfigured); // never before a configuration
    if (declare)
        QCOMPARE(c->AddInterface(0, 0, 64000), status::Success);
    QCOMPARE(c->SetConfiguration(configuration), selectStatus);
    QCOMPARE(c->Bind(endpoint), bindStatus);
    if (bindStatus == status::Success) {
        QCOMPARE(c->boundEndpoint(), endpoint);
        QCOMPARE(c->Bind(endpoint), status::AlreadyBound);
        QCOMPARE(c->Unbind(), status::Success);
        QCOMPARE(c->Unbind(), status::NotBound);
    }
}

void TestComponent::unconfigureTakesThePipesOfAllInstances()
{
    SimFixture sim;
    sim.bus.attach();
    auto reader = sim.pipe(kIn);
    auto writer = sim.component();
    QVERIFY(reader);
    writer->EnumerateDevices(kGuid);
    QCOMPARE(writer->OpenDevice(0), status::Success);
    QCOMPARE(writer->AddInterface(0, 0, 64000), status::Success);
    // The reader configured the device; the writer binds without selecting.
    QCOMPARE(writer->Bind(kCommands), status::Success);
    QCOMPARE(writer->UnconfigureDevice(), status::Success);
    QCOMPARE(reader->StartReading(16, 5, 5), status::NotConfigured);
    QCOMPARE(writer->StartWriting(16, 5, 5, false), status::NotConfigured);
}

// The configuration goes while three reads of another instance are
// finished: the completions still queued for them are not delivered.
void TestComponent::unconfigureEndsTheReadsOfAllInstances()
{
    SimFixture sim;
    SimDevice *device = sim.bus.attach();
    auto reader = sim.pipe(kIn);
    auto other = sim.pipe(kCommands);
    QVERIFY(reader && other);
    int completions = 0;
    connect(reader.get(), &Component::eventRaised, this, [&](EventId id) {
        if (id == EventId::ReadComplete && ++completions == 1)
            QCOMPARE(other->UnconfigureDevice(), status::Success);
    });
    QCOMPARE(reader->StartReading(16, 5, 5), status::Success);
    device->sendToHost("one");
    device->sendToHost("two");
    device->sendToHost("three");
    QVERIFY(SimFixture::waitFor([&] { return completions > 0; }));
    SimFixture::settle(10);
    QCOMPARE(completions, 1);
}

void TestComponent::pipeDirectionIsChecked_data()
{
    QTest::addColumn<quint8>("endpoint");
    QTest::addColumn<Status>("startReading");
    QTest::addColumn<Status>("startWriting");
    QTest::newRow("IN 0x81") << kIn << status::Success << status::InvalidParameter;
    QTest::newRow("OUT 0x01") << kCommands << status::InvalidParameter << status::Success;
    QTest::newRow("OUT 0x02") << kImage << status::InvalidParameter << status::Success;
}

void TestComponent::pipeDirectionIsChecked()
{
    QFETCH(quint8, endpoint);
    QFETCH(Status, startReading);
    QFETCH(Status, startWriting);
    SimFixture sim;
    sim.bus.attach();
    auto c = sim.pipe(endpoint);
    QVERIFY(c);
    QCOMPARE(c->StartReading(16, 5, 5), startReading);
    QCOMPARE(c->StartWriting(16, 5, 5, false), startWriting);
    if (startReading == status::Success)
        QCOMPARE(c->StartReading(16, 5, 5), status::AlreadyRunning);
    if (startWriting == status::Success)
        QCOMPARE(c->StartWriting(16, 5, 5, false), status::AlreadyRunning);
}

void TestComponent::readsFinishOnePerEventInOrder()
{
    SimFixture sim;
    SimDevice *device = sim.bus.attach();
    auto reader = sim.pipe(kIn);
    QVERIFY(reader);
    EventRecorder events(reader.get());
    QCOMPARE(reader->StartReading(16, 5, 5), status::Success);
    const QByteArray text = "0123456789abcdefGHIJKLMNOPQRSTUVwxyz!";
    device->sendToHost(text);
    QVERIFY(events.waitFor(EventId::ReadComplete, 3));
    SimFixture::settle();
    QCOMPARE(events.count(EventId::ReadComplete), 3);
    QCOMPARE(events.events.size(), 3);

    QList<QByteArray> reads;
    for (int i = 0; i < 3; ++i) {
        int n = 0;
        Status s = 0;
        reads << readOne(*reader, &n, &s);
        QCOMPARE(s, status::Success);
        QCOMPARE(n, reads.last().size());
    }
    QCOMPARE(reads, (QList<QByteArray>{"0123456789abcdef", "GHIJKLMNOPQRSTUV", "wxyz!"}));
}

void TestComponent::readDataKeepsBytesPastTheRead()
{
    SimFixture sim;
    SimDevice *device = sim.bus.attach();
    auto reader = sim.pipe(kIn);
    QVERIFY(reader);
    EventRecorder events(reader.get());
    QCOMPARE(reader->StartReading(16, 5, 5), status::Success);
    device->sendToHost("ABC");
    QVERIFY(events.waitFor(EventId::ReadComplete, 1));
    QByteArray buffer(16, 'x');
    int n = 0;
    QCOMPARE(reader->ReadData(buffer, n), status::Success);
    QCOMPARE(n, 3);
    // Only the byte count tells where the read ends.
    QCOMPARE(buffer, QByteArray("ABCxxxxxxxxxxxxx"));
}

void TestComponent::pendingReadsLimitWhatIsTaken()
{
    SimFixture sim;
    SimDevice *device = sim.bus.attach();
    auto reader = sim.pipe(kIn);
    QVERIFY(reader);
    EventRecorder events(reader.get());
    QCOMPARE(reader->StartReading(16, 2, 5), status::Success);
    for (char c = 'a'; c < 'f'; ++c)
        device->sendToHost(QByteArray(1, c));
    SimFixture::settle();
    // Two buffers: two reads finish, the rest waits at the device.
    QCOMPARE(events.count(EventId::ReadComplete), 2);
    QCOMPARE(readOne(*reader), QByteArray("a"));
    SimFixture::settle();
    QCOMPARE(events.count(EventId::ReadComplete), 3);
    QString all;
    for (int i = 0; i < 4; ++i) {
        all += QString::fromLatin1(readOne(*reader));
        SimFixture::settle(1);
    }
    QCOMPARE(all, QStringLiteral("bcde"));
    QCOMPARE(events.count(EventId::ReadComplete), 5);
}

void TestComponent::readDataWithoutFinishedRead()
{
    SimFixture sim;
    sim.bus.attach();
    auto reader = sim.pipe(kIn);
    QVERIFY(reader);
    Status s = 0;
    int n = -1;
    readOne(*reader, &n, &s);
    QCOMPARE(s, status::NotRunning);
    QCOMPARE(reader->StartReading(16, 5, 5), status::Success);
    readOne(*reader, &n, &s);
    QCOMPARE(s, status::NoData);
    QCOMPARE(n, 0);
}

void TestComponent::finishedReadsAreDropped_data()
{
    QTest::addColumn<bool>("stop");
    QTest::addColumn<Status>("afterDrop");
    // Stopping ends reading: it must be started again. A pipe reset keeps
    // reading on with nothing finished.
    QTest::newRow("StopReading") << true << status::NotRunning;
    QTest::newRow("ResetPipe") << false << status::NoData;
}

void TestComponent::finishedReadsAreDropped()
{
    QFETCH(bool, stop);
    QFETCH(Status, afterDrop);
    SimFixture sim;
    SimDevice *device = sim.bus.attach();
    auto reader = sim.pipe(kIn);
    QVERIFY(reader);
    EventRecorder events(reader.get());
    QCOMPARE(reader->StartReading(16, 5, 5), status::Success);
    device->sendToHost("old");
    QVERIFY(events.waitFor(EventId::ReadComplete, 1));
    if (stop)
        reader->StopReading();
    else
        QCOMPARE(reader->ResetPipe(), status::Success);
    QCOMPARE(reader->finishedReads(), 0);
    QCOMPARE(reader->isReading(), !stop);
    Status s = 0;
    readOne(*reader, nullptr, &s);
    QCOMPARE(s, afterDrop);
    if (stop)
        QCOMPARE(reader->StartReading(16, 5, 5), status::Success);
    device->sendToHost("new");
    QVERIFY(events.waitFor(EventId::ReadComplete, 2));
    QCOMPARE(readOne(*reader), QByteArray("new"));
}

void TestComponent::slotsFreedByADropTakeWhatWaits_data()
{
    QTest::addColumn<bool>("abort");
    QTest::newRow("ResetPipe") << false;
    QTest::newRow("AbortPipe") << true;
}

// Reading goes on over a reset or an abort of the IN pipe: the slots the
// dropped reads held are pending again at once and take what the device
// has queued meanwhile, as they would on libusb, without waiting for the
// device to send more.
void TestComponent::slotsFreedByADropTakeWhatWaits()
{
    QFETCH(bool, abort);
    SimFixture sim;
    SimDevice *device = sim.bus.attach();
    auto reader = sim.pipe(kIn);
    QVERIFY(reader);
    EventRecorder events(reader.get());
    QCOMPARE(reader->StartReading(16, 2, 5), status::Success);
    device->sendToHost("a");
    device->sendToHost("b");
    device->sendToHost("c");
    QVERIFY(events.waitFor(EventId::ReadComplete, 2));
    // Two buffers, both holding a finished read: "c" waits at the device.
    QCOMPARE(reader->finishedReads(), 2);

    QCOMPARE(abort ? reader->AbortPipe() : reader->ResetPipe(), status::Success);
    QCOMPARE(reader->finishedReads(), 0);
    QVERIFY(reader->isReading());
    QVERIFY(events.waitFor(EventId::ReadComplete, 3));
    QCOMPARE(readOne(*reader), QByteArray("c"));
}

void TestComponent::writeCompletesOncePerWriteAfterDelivery()
{
    SimFixture sim;
    SimDevice *device = sim.bus.attach();
    auto writer = sim.pipe(kImage);
    QVERIFY(writer);
    EventRecorder events(writer.get());
    QCOMPARE(writer->StartWriting(64, 5, 5, false), status::Success);
    QCOMPARE(writer->WriteData(QByteArray(64, 'a'), 0), status::Success);
    QCOMPARE(writer->WriteData(QByteArray(64, 'b'), 0), status::Success);
    QCOMPARE(writer->pendingWrites(), 2);
    QVERIFY(events.waitFor(EventId::WriteComplete, 2));
    SimFixture::settle();
    QCOMPARE(events.ids(), (QList<EventId>{EventId::WriteComplete, EventId::WriteComplete}));
    QCOMPARE(device->receivedChunks(),
             (QList<QByteArray>{QByteArray(64, 'a'), QByteArray(64, 'b')}));
    QCOMPARE(writer->pendingWrites(), 0);
}

void TestComponent::writeChecks()
{
    SimFixture sim;
    SimDevice *device = sim.bus.attach();
    device->faults().writeCompletionDelayMs = -1;
    auto writer = sim.pipe(kCommands);
    QVERIFY(writer);
    QCOMPARE(writer->WriteData("x", 0), status::NotRunning);
    QCOMPARE(writer->StartWriting(16, 2, 5, false), status::Success);
    QCOMPARE(writer->WriteData(QByteArray(17, 'x'), 0), status::InvalidParameter);
    QCOMPARE(writer->WriteData(QByteArray(16, 'x'), 0), status::Success);
    QCOMPARE(writer->WriteData(QByteArray(16, 'y'), 0), status::Success);
    // Both buffers are in flight.
    QCOMPARE(writer->WriteData(QByteArray(16, 'z'), 0), status::Busy);
    writer->StopWriting();
    QCOMPARE(writer->pendingWrites(), 0);
    QCOMPARE(writer->WriteData("x", 0), status::NotRunning);
}

void TestComponent::writeCompletionNeverComesWhenDelayIsMinusOne()
{
    SimFixture sim;
    SimDevice *device = sim.bus.attach();
    device->faults().writeCompletionDelayMs = -1;
    auto writer = sim.pipe(kCommands);
    QVERIFY(writer);
    EventRecorder events(writer.get());
    QCOMPARE(writer->StartWriting(16, 5, 5, false), status::Success);
    QCOMPARE(writer->WriteData(QByteArray("DEVNR?\r").leftJustified(16, '\0'), 0), status::Success);
    SimFixture::settle(10);
    QVERIFY(events.events.isEmpty());
    // The device never took the piece.
    QVERIFY(device->receivedPieces().isEmpty());
    QCOMPARE(writer->pendingWrites(), 1);
}

void TestComponent::lateWriteCompletion()
{
    SimFixture sim;
    SimDevice *device = sim.bus.attach();
    device->faults().writeCompletionDelayMs = 3;
    auto writer = sim.pipe(kCommands);
    QVERIFY(writer);
    EventRecorder events(writer.get());
    QCOMPARE(writer->StartWriting(16, 5, 5, false), status::Success);
    QCOMPARE(writer->WriteData(QByteArray(16, 'q'), 0), status::Success);
    QVERIFY(events.waitFor(EventId::WriteComplete, 1));
    QCOMPARE(device->receivedPieces().size(), 1);
}

void TestComponent::abortAndResetCancelPendingWrites_data()
{
    QTest::addColumn<bool>("abort");
    QTest::newRow("AbortPipe") << true;
    QTest::newRow("ResetPipe") << false;
}

void TestComponent::abortAndResetCancelPendingWrites()
{
    QFETCH(bool, abort);
    SimFixture sim;
    SimDevice *device = sim.bus.attach();
    device->faults().writeCompletionDelayMs = 2;
    auto writer = sim.pipe(kCommands);
    QVERIFY(writer);
    EventRecorder events(writer.get());
    QCOMPARE(writer->StartWriting(16, 5, 5, false), status::Success);
    QCOMPARE(writer->WriteData(QByteArray(16, 'q'), 0), status::Success);
    QCOMPARE(abort ? writer->AbortPipe() : writer->ResetPipe(), status::Success);
    QCOMPARE(writer->pendingWrites(), 0);
    SimFixture::settle(10);
    QVERIFY(events.events.isEmpty());
    QVERIFY(device->receivedPieces().isEmpty());
    // The pipe goes on working.
    QCOMPARE(writer->WriteData(QByteArray(16, 'r'), 0), status::Success);
    QVERIFY(events.waitFor(EventId::WriteComplete, 1));
    QCOMPARE(device->receivedPieces(), QList<QByteArray>{QByteArray(16, 'r')});
}

void TestComponent::readCompletionsOfAnEndedSessionAreNotDelivered_data()
{
    ReadSessionEnder::addRows();
}

// The reader's handler ends the session at the first of three completions,
// as the link does after a read error. The two completions behind it belong
// to reads that were dropped: delivered, each would find no read (NoData)
// and make the link reset and restart once more.
void TestComponent::readCompletionsOfAnEndedSessionAreNotDelivered()
{
    QFETCH(QString, end);
    SimFixture sim;
    SimDevice *device = sim.bus.attach();
    auto reader = sim.pipe(kIn);
    QVERIFY(reader);
    ReadSessionEnder handler(reader.get(), end);
    QCOMPARE(reader->StartReading(16, 5, 5), status::Success);
    device->sendToHost("one");
    device->sendToHost("two");
    device->sendToHost("three");
    QVERIFY(SimFixture::waitFor([&] { return handler.ended; }));
    QCOMPARE(handler.endStatus, status::Success);
    SimFixture::settle(10);
    QCOMPARE(handler.statuses, QList<Status>{status::Success});
    // The new session reads on.
    device->sendToHost("four");
    QVERIFY(SimFixture::waitFor([&] { return handler.statuses.size() == 2; }));
    SimFixture::settle(10);
    QCOMPARE(handler.statuses, (QList<Status>{status::Success, status::Success}));
    QCOMPARE(handler.data, (QList<QByteArray>{"one", "four"}));
}

void TestComponent::writeCompletionPostedBeforeACancelIsNotDelivered_data()
{
    QTest::addColumn<QString>("cancel");
    QTest::newRow("AbortPipe") << QStringLiteral("abort");
    QTest::newRow("ResetPipe") << QStringLiteral("reset");
    QTest::newRow("StopWriting") << QStringLiteral("stop");
}

// The device has taken the piece and its completion is queued, but not
// delivered, when the writer is cancelled: for the caller the write was
// still pending, so no completion may follow.
void TestComponent::writeCompletionPostedBeforeACancelIsNotDelivered()
{
    QFETCH(QString, cancel);
    SimFixture sim;
    SimDevice *device = sim.bus.attach();
    auto writer = sim.pipe(kCommands);
    QVERIFY(writer);
    EventRecorder events(writer.get());
    // The device acts on the piece right after its completion is queued.
    connect(device, &SimDevice::commandReceived, this, [&] {
        if (cancel == QLatin1String("abort"))
            QCOMPARE(writer->AbortPipe(), status::Success);
        else if (cancel == QLatin1String("reset"))
            QCOMPARE(writer->ResetPipe(), status::Success);
        else
            writer->StopWriting();
    });
    QCOMPARE(writer->StartWriting(16, 5, 5, false), status::Success);
    QCOMPARE(writer->WriteData(QByteArray("NSF?\r").leftJustified(16, '\0'), 0), status::Success);
    QVERIFY(SimFixture::waitFor([&] { return !device->receivedCommands().isEmpty(); }));
    SimFixture::settle(10);
    QVERIFY(events.events.isEmpty());
}

void TestComponent::noEventIsRaisedInsideAnOperation()
{
    SimFixture sim;
    SimDevice *device = sim.bus.attach();
    auto reader = sim.component();
    auto writer = sim.component();
    EventRecorder readEvents(reader.get());
    EventRecorder writeEvents(writer.get());
    auto call = [&](const std::function<void()> &operation) {
        readEvents.insideCall = writeEvents.insideCall = true;
        operation();
        readEvents.insideCall = writeEvents.insideCall = false;
    };

    call([&] { QCOMPARE(reader->EnablePnPNotification(kGuid), status::Success); });
    call([&] { sim.bus.attach(); });
    call([&] { QCOMPARE(SimFixture::openPipe(*reader, kIn), status::Success); });
    call([&] { QCOMPARE(SimFixture::openPipe(*writer, kCommands), status::Success); });
    call([&] { QCOMPARE(reader->StartReading(16, 5, 5), status::Success); });
    call([&] { QCOMPARE(writer->StartWriting(16, 5, 5, false), status::Success); });
    // The device answers at once, and every step of it is on the wire.
    call([&] {
        QCOMPARE(writer->WriteData(QByteArray("DEVNR?\r").leftJustified(16, '\0'), 0),
                 status::Success);
    });
    call([&] { device->sendToHost("direct"); });
    QVERIFY(readEvents.events.isEmpty());
    QVERIFY(writeEvents.events.isEmpty());

    QVERIFY(writeEvents.waitFor(EventId::WriteComplete, 1));
    QVERIFY(readEvents.waitFor(EventId::ReadComplete, 2));
    call([&] { readOne(*reader); });
    call([&] { sim.bus.detach(device); });
    SimFixture::settle();
    QCOMPARE(readEvents.raisedInsideCall, 0);
    QCOMPARE(writeEvents.raisedInsideCall, 0);
    QVERIFY(readEvents.count(EventId::PnPRemoveNotification) == 1);
}

void TestComponent::eventsOfDestroyedComponentAreDropped()
{
    SimFixture sim;
    SimDevice *device = sim.bus.attach();
    auto writer = sim.pipe(kCommands);
    QVERIFY(writer);
    int raised = 0;
    QObject::connect(writer.get(), &Component::eventRaised, [&raised] { ++raised; });
    QCOMPARE(writer->StartWriting(16, 5, 5, false), status::Success);
    QCOMPARE(writer->WriteData(QByteArray(16, 'a'), 0), status::Success);
    writer.reset();
    SimFixture::settle();
    QCOMPARE(raised, 0);
    QVERIFY(device->receivedPieces().isEmpty());
}

void TestComponent::pnpNotificationOnlyWhenEnabled()
{
    SimFixture sim;
    auto enabled = sim.component();
    auto silent = sim.component();
    EventRecorder enabledEvents(enabled.get());
    EventRecorder silentEvents(silent.get());
    QCOMPARE(enabled->EnablePnPNotification(kGuid), status::Success);

    SimDevice *device = sim.bus.attach();
    SimFixture::settle();
    sim.bus.detach(device);
    SimFixture::settle();
    QCOMPARE(enabledEvents.ids(),
             (QList<EventId>{EventId::PnPAddNotification, EventId::PnPRemoveNotification}));
    QCOMPARE(enabledEvents.events.at(0).devicePath, device->devicePath());
    QCOMPARE(enabledEvents.events.at(1).devicePath, device->devicePath());
    QVERIFY(device->devicePath().startsWith(QStringLiteral("\\\\?\\usb#vid_5e1a&pid_088a#")));
    QVERIFY(silentEvents.events.isEmpty());
}

void TestComponent::pnpEnableRefused()
{
    SimFixture sim;
    sim.bus.pnpEnableStatus = status::AccessDenied;
    auto c = sim.component();
    EventRecorder events(c.get());
    QCOMPARE(c->EnablePnPNotification(kGuid), status::AccessDenied);
    sim.bus.attach();
    SimFixture::settle();
    QVERIFY(events.events.isEmpty());
    // Everything else still works.
    QCOMPARE(SimFixture::openPipe(*c, kIn), status::Success);
}

void TestComponent::pnpEnableWithBadGuid()
{
    SimFixture sim;
    auto c = sim.component();
    QCOMPARE(c->EnablePnPNotification(QStringLiteral("no guid")), status::InvalidParameter);
}

void TestComponent::deviceLeavingEndsPendingReads()
{
    SimFixture sim;
    SimDevice *device = sim.bus.attach();
    auto reader = sim.pipe(kIn);
    auto writer = sim.pipe(kCommands);
    QVERIFY(reader && writer);
    EventRecorder events(reader.get());
    QCOMPARE(reader->EnablePnPNotification(kGuid), status::Success);
    QCOMPARE(reader->StartReading(16, 5, 5), status::Success);
    QCOMPARE(writer->StartWriting(16, 5, 5, false), status::Success);
    sim.bus.detach(device);
    SimFixture::settle();
    // The five pending reads end, then the removal is announced.
    QCOMPARE(events.ids(), (QList<EventId>{EventId::ReadComplete, EventId::ReadComplete,
                                           EventId::ReadComplete, EventId::ReadComplete,
                                           EventId::ReadComplete, EventId::PnPRemoveNotification}));
    Status s = 0;
    readOne(*reader, nullptr, &s);
    QCOMPARE(s, status::DeviceGone);
    QCOMPARE(reader->ResetPipe(), status::DeviceGone);
    QCOMPARE(reader->StartReading(16, 5, 5), status::DeviceGone);
    QCOMPARE(writer->WriteData("x", 0), status::DeviceGone);
    QCOMPARE(writer->Unbind(), status::DeviceGone);
    reader->CloseDevice();
    QCOMPARE(reader->ResetPipe(), status::NotOpened);
}

void TestComponent::deviceBackNeedsNewOpen()
{
    SimFixture sim;
    SimDevice *device = sim.bus.attach();
    auto reader = sim.pipe(kIn);
    QVERIFY(reader);
    EventRecorder events(reader.get());
    QCOMPARE(reader->EnablePnPNotification(kGuid), status::Success);
    device->powerCycle(1);
    QVERIFY(events.waitFor(EventId::PnPAddNotification, 1));
    QCOMPARE(events.ids(),
             (QList<EventId>{EventId::PnPRemoveNotification, EventId::PnPAddNotification}));
    // The old handle stays stale; a new open (same list position) works.
    QCOMPARE(reader->StartReading(16, 5, 5), status::DeviceGone);
    QCOMPARE(SimFixture::openPipe(*reader, kIn), status::Success);
    QCOMPARE(reader->StartReading(16, 5, 5), status::Success);
}

void TestComponent::driverInfoComesFromTheDevice()
{
    SimFixture sim;
    SimDevice *device = sim.bus.attach();
    device->faults().driverInfo = DriverInfo{0x021A, 2 * 256 + 5, 777, 3};
    auto c = sim.component();
    DriverInfo info;
    QCOMPARE(c->GetDriverInfo(info), status::Success);
    QCOMPARE(info.apiVersion, quint32(0x021A));
    QCOMPARE(info.driverVersion, quint32(0x0205));
    QCOMPARE(info.driverBuild, quint32(777));
    QCOMPARE(info.flags, quint32(3));
}

void TestComponent::errorTextOfEveryStatus_data()
{
    QTest::addColumn<Status>("code");
    QTest::addColumn<QString>("text");
    QTest::newRow("Timeout") << status::Timeout << QStringLiteral("time-out");
    QTest::newRow("AlreadyOpened") << status::AlreadyOpened << QStringLiteral("already open");
    QTest::newRow("InvalidParameter")
        << status::InvalidParameter << QStringLiteral("invalid parameter");
    QTest::newRow("NoSuchDevice") << status::NoSuchDevice << QStringLiteral("no device");
    QTest::newRow("NotOpened") << status::NotOpened << QStringLiteral("No device is open");
    QTest::newRow("NotConfigured") << status::NotConfigured << QStringLiteral("not configured");
    QTest::newRow("NotBound") << status::NotBound << QStringLiteral("No pipe is bound");
    QTest::newRow("AlreadyBound") << status::AlreadyBound << QStringLiteral("already bound");
    QTest::newRow("AlreadyRunning") << status::AlreadyRunning << QStringLiteral("already started");
    QTest::newRow("NotRunning") << status::NotRunning << QStringLiteral("not started");
    QTest::newRow("NoData") << status::NoData << QStringLiteral("No data");
    QTest::newRow("NoInterface") << status::NoInterface << QStringLiteral("No interface");
    QTest::newRow("VersionMismatch") << status::VersionMismatch << QStringLiteral("latest driver");
    QTest::newRow("DeviceGone") << status::DeviceGone << QStringLiteral("removed");
    QTest::newRow("TransferFailed") << status::TransferFailed << QStringLiteral("transfer failed");
    QTest::newRow("Cancelled") << status::Cancelled << QStringLiteral("cancelled");
    QTest::newRow("Busy") << status::Busy << QStringLiteral("buffers");
    QTest::newRow("AccessDenied") << status::AccessDenied << QStringLiteral("another program");
    QTest::newRow("PermissionDenied") << status::PermissionDenied << QStringLiteral("udev rule");
    QTest::newRow("UsbError") << status::UsbError << QStringLiteral("USB system of the host");
    QTest::newRow("transfer running")
        << status::TransferRunning << QStringLiteral("A file transfer is already running");
    QTest::newRow("file cannot open")
        << status::FileOpenFailed << QStringLiteral("The file cannot be opened");
    QTest::newRow("file empty") << status::FileEmpty << QStringLiteral("The file is empty");
    QTest::newRow("file read short")
        << status::FileReadFailed << QStringLiteral("The file could not be read to its end");
    QTest::newRow("file not regular")
        << status::FileNotRegular << QStringLiteral("The file is not a regular file");
    QTest::newRow("file too large") << status::FileTooLarge << QStringLiteral("larger than");
    QTest::newRow("no link") << status::NoLink << QStringLiteral("The device link is closed");
    QTest::newRow("unknown") << Status(0xE0FFFF01) << QStringLiteral("Unknown error 0xE0FFFF01");
    QTest::newRow("unknown small") << Status(0x1F) << QStringLiteral("Unknown error 0x0000001F");
}

void TestComponent::errorTextOfEveryStatus()
{
    QFETCH(Status, code);
    QFETCH(QString, text);
    SimFixture sim;
    auto c = sim.component();
    const QString got = c->ErrorText(code);
    QVERIFY2(got.contains(text, Qt::CaseInsensitive), qPrintable(got));
    QCOMPARE(got, statusDescription(code));
}

void TestComponent::errorTextCanFail()
{
    SimFixture sim;
    SimDevice *device = sim.bus.attach();
    auto c = sim.pipe(kIn);
    QVERIFY(c);
    QVERIFY(!c->ErrorText(status::DeviceGone).isEmpty());
    device->faults().errorTextFails = true;
    QVERIFY_THROWS_EXCEPTION(ComponentError, c->ErrorText(status::DeviceGone));
}

void TestComponent::statusTableNamesEachNumberOnce()
{
    // A number given twice would show one status's text for another; a name
    // given twice would make a simulator file's status ambiguous.
    QSet<Status> numbers;
    QSet<QString> names;
    const QList<StatusEntry> table = statusTable();
    QVERIFY(!table.isEmpty());
    for (const StatusEntry &entry : table) {
        const QString name = QString::fromLatin1(entry.name);
        QVERIFY2(!numbers.contains(entry.status), entry.name);
        QVERIFY2(!names.contains(name.toLower()), entry.name);
        numbers.insert(entry.status);
        names.insert(name.toLower());
        QCOMPARE(usbio::statusNamed(name), std::optional<Status>(entry.status));
        QCOMPARE(statusDescription(entry.status), QString::fromLatin1(entry.text));
        QVERIFY2(!QByteArray(entry.text).startsWith("Unknown"), entry.name);
    }
}

void TestComponent::statusNamedReadsTableNames_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<std::optional<Status>>("expected");
    QTest::newRow("as written") << QStringLiteral("DeviceGone")
                                << std::optional<Status>(status::DeviceGone);
    QTest::newRow("any case") << QStringLiteral("permissiondenied")
                              << std::optional<Status>(status::PermissionDenied);
    QTest::newRow("link's") << QStringLiteral("FileEmpty")
                            << std::optional<Status>(status::FileEmpty);
    QTest::newRow("not a name") << QStringLiteral("Gone") << std::optional<Status>();
    QTest::newRow("a number") << QStringLiteral("E000A010") << std::optional<Status>();
    QTest::newRow("empty") << QString() << std::optional<Status>();
}

void TestComponent::statusNamedReadsTableNames()
{
    QFETCH(QString, name);
    QFETCH(std::optional<Status>, expected);
    QCOMPARE(usbio::statusNamed(name), expected);
}

void TestComponent::faultStatuses_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<Status>("code");
    QTest::newRow("open: wrong driver") << QStringLiteral("open") << status::VersionMismatch;
    QTest::newRow("open: gone") << QStringLiteral("open") << status::DeviceGone;
    QTest::newRow("open: in use") << QStringLiteral("open") << status::AccessDenied;
    QTest::newRow("declare") << QStringLiteral("declare") << status::InvalidParameter;
    QTest::newRow("select") << QStringLiteral("select") << Status(0xE0001234);
    QTest::newRow("bind") << QStringLiteral("bind") << status::TransferFailed;
    QTest::newRow("reset pipe") << QStringLiteral("reset") << status::TransferFailed;
    QTest::newRow("start writing") << QStringLiteral("startWriting") << status::Busy;
    QTest::newRow("write data") << QStringLiteral("write") << status::TransferFailed;
}

void TestComponent::faultStatuses()
{
    QFETCH(QString, fault);
    QFETCH(Status, code);
    SimFixture sim;
    SimDevice *device = sim.bus.attach();
    SimFaults &faults = device->faults();
    auto c = sim.component();
    c->EnumerateDevices(kGuid);
    if (fault == QLatin1String("open"))
        faults.openStatus = code;
    else if (fault == QLatin1String("declare"))
        faults.declareStatus = code;
    else if (fault == QLatin1String("select"))
        faults.selectStatus = code;
    else if (fault == QLatin1String("bind"))
        faults.bindStatus = code;
    else if (fault == QLatin1String("reset"))
        faults.resetPipeStatus = code;
    else if (fault == QLatin1String("startWriting"))
        faults.startWritingStatus = code;
    else
        faults.writeDataStatus = code;

    // The link's order of calls; the first refusal must be the injected one.
    QString failedAt;
    Status got = 0;
    const auto step = [&](const char *name, Status s) {
        if (s != 0) {
            failedAt = QLatin1String(name);
            got = s;
        }
        return s == 0;
    };
    const bool all =
        step("open", c->OpenDevice(0)) && step("declare", c->AddInterface(0, 0, 64000)) &&
        step("select", c->SetConfiguration(0)) && step("bind", c->Bind(kCommands)) &&
        step("reset", c->ResetPipe()) && step("startWriting", c->StartWriting(16, 5, 5, false)) &&
        step("write", c->WriteData(QByteArray(16, 'a'), 0));
    QVERIFY(!all);
    QCOMPARE(failedAt, fault);
    QCOMPARE(got, code);
    if (fault == QLatin1String("open"))
        QVERIFY(!c->openDevice());
    if (fault == QLatin1String("bind"))
        QCOMPARE(c->boundEndpoint(), quint8(0));
    SimFixture::settle();
    QVERIFY(device->receivedPieces().isEmpty());
}

void TestComponent::startReadingRefusedNTimes()
{
    SimFixture sim;
    SimDevice *device = sim.bus.attach();
    device->faults().startReadingFailures = 2;
    device->faults().startReadingStatus = status::Busy;
    auto reader = sim.pipe(kIn);
    QVERIFY(reader);
    QCOMPARE(reader->StartReading(16, 5, 5), status::Busy);
    QVERIFY(!reader->isReading());
    QCOMPARE(reader->StartReading(16, 5, 5), status::Busy);
    QCOMPARE(reader->StartReading(16, 5, 5), status::Success);
    QCOMPARE(device->faults().startReadingFailures, 0);
}

void TestComponent::readErrorsThenData()
{
    SimFixture sim;
    SimDevice *device = sim.bus.attach();
    device->faults().readErrors = 2;
    auto reader = sim.pipe(kIn);
    QVERIFY(reader);
    EventRecorder events(reader.get());
    QCOMPARE(reader->StartReading(16, 5, 5), status::Success);
    QVERIFY(events.waitFor(EventId::ReadComplete, 2));
    Status s = 0;
    readOne(*reader, nullptr, &s);
    QCOMPARE(s, status::TransferFailed);
    readOne(*reader, nullptr, &s);
    QCOMPARE(s, status::TransferFailed);
    // The data the device sends is not lost to the errors.
    device->sendToHost("after");
    QVERIFY(events.waitFor(EventId::ReadComplete, 3));
    QCOMPARE(readOne(*reader, nullptr, &s), QByteArray("after"));
    QCOMPARE(s, status::Success);
}

void TestComponent::readErrorLimitStopsReads()
{
    SimFixture sim;
    SimDevice *device = sim.bus.attach();
    device->faults().readErrors = 10;
    auto reader = sim.pipe(kIn);
    QVERIFY(reader);
    EventRecorder events(reader.get());
    QCOMPARE(reader->StartReading(16, 5, 3), status::Success);
    QVERIFY(events.waitFor(EventId::ReadComplete, 3));
    for (int i = 0; i < 3; ++i)
        readOne(*reader);
    SimFixture::settle();
    // After three errors in a row the reads give up until reading restarts.
    QCOMPARE(events.count(EventId::ReadComplete), 3);
    reader->StopReading();
    QCOMPARE(reader->StartReading(16, 5, 3), status::Success);
    QVERIFY(events.waitFor(EventId::ReadComplete, 6));
}

QTEST_GUILESS_MAIN(TestComponent)
#include "tst_usbio_component.moc"
