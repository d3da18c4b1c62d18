// The simulated bus: attach order, detach and restart, what it publishes
// into the key store, and the backend registry it installs itself in.

#include "tests/usbio/EventRecorder.h"
#include "tests/usbio/SimFixture.h"
#include "usbio/Backend.h"
#include "usbio/devicemodel/VemoFirmware.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace usbio;
using registry::RootKey;

Q_DECLARE_METATYPE(usbio::Generation)

namespace {

const QString kList = QStringLiteral("SYSTEM\\CurrentControlSet\\Services\\VemoUSB\\Enum");

SimDeviceSettings device(Generation generation, const QByteArray &serial,
                         const QString &instanceId = {})
{
    SimDeviceSettings s;
    s.generation = generation;
    s.serialNumber = serial;
    s.instanceId = instanceId;
    return s;
}

// The driver service's list as the registry probe reads it.
QStringList publishedList(registry::KeyStore &store)
{
    QStringList list;
    const int count = store.readInteger(RootKey::LocalMachine, kList, QStringLiteral("Count"));
    for (int i = 0; i < count; ++i)
        list << store.readString(RootKey::LocalMachine, kList, QString::number(i));
    return list;
}

} // namespace

class TestSimBus : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void productIds_data();
    void productIds();
    void publishesPresentDevicesInEnumerationOrder();
    void listIsVolatile();
    void instanceKeysPersistUnderTheGenerationKey();
    void detachRewritesTheList();
    void restartLeavesAndReturns();
    void addressesAsAHostGivesThem();
    void detachDuringRestartKeepsItAway();
    void reattachKeepsFirmwareAndGoesLast();
    void detachedDeviceKeepsItsRecords();
    void listAgreesWithEnumeration();
    void installRegistersAndSelects();
    void backendNotRegistered_data();
    void backendNotRegistered();
    void destroyedBusLeavesComponentsHarmless();
};

void TestSimBus::productIds_data()
{
    QTest::addColumn<Generation>("generation");
    QTest::addColumn<int>("pid");
    QTest::addColumn<QByteArray>("name");
    QTest::newRow("Vemo") << Generation::Vemo << 0x0889 << QByteArray("Vemo");
    QTest::newRow("Vemo2") << Generation::Vemo2 << 0x088A << QByteArray("Vemo2");
    QTest::newRow("Vemo3") << Generation::Vemo3 << 0x088B << QByteArray("Vemo3");
}

void TestSimBus::productIds()
{
    QFETCH(Generation, generation);
    QFETCH(int, pid);
    QFETCH(QByteArray, name);
    QCOMPARE(int(productId(generation)), pid);
    QCOMPARE(generationName(generation), name);
    SimFixture sim;
    SimDevice *d = sim.bus.attach(device(generation, "000000042"));
    const QString hex = QString::number(pid, 16).toUpper().rightJustified(4, QLatin1Char('0'));
    QCOMPARE(d->instancePath(), QStringLiteral("USB\\VID_5E1A&PID_%1\\000000042").arg(hex));
    QCOMPARE(d->devicePath(), QStringLiteral("\\\\?\\usb#vid_5e1a&pid_%1#000000042#"
                                             "{7a41c9e2-5b3d-4f60-9c18-2e6d4b90a7f3}")
                                  .arg(hex.toLower()));
}

void TestSimBus::publishesPresentDevicesInEnumerationOrder()
{
    SimFixture sim;
    QVERIFY(!sim.store.keyExists(RootKey::LocalMachine, kList));
    sim.bus.attach(device(Generation::Vemo3, "333333333"));
    sim.bus.attach(device(Generation::Vemo, "111111111", QStringLiteral("5&1a2b3c&0&1")));
    sim.bus.attach(device(Generation::Vemo2, "AB-12/x 9"));
    QCOMPARE(publishedList(sim.store),
             (QStringList{QStringLiteral("USB\\VID_5E1A&PID_088B\\333333333"),
                          QStringLiteral("USB\\VID_5E1A&PID_0889\\5&1a2b3c&0&1"),
                          // Characters a key name cannot take well become "_".
                          QStringLiteral("USB\\VID_5E1A&PID_088A\\AB_12_x_9")}));
}

void TestSimBus::listIsVolatile()
{
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("registry.json"));
    {
        registry::KeyStore store(file);
        SimBus bus(&store);
        bus.attach(device(Generation::Vemo2, "123456789"));
        QCOMPARE(publishedList(store).size(), 1);
    }
    // What a later run finds: the instance key, but no list of present devices.
    registry::KeyStore later(file);
    QVERIFY(later.keyExists(
        RootKey::LocalMachine,
        QStringLiteral("SYSTEM\\CurrentControlSet\\Enum\\USB\\Vid_5e1a&Pid_088a\\123456789")));
    QVERIFY(!later.valueExists(RootKey::LocalMachine, kList, QStringLiteral("Count")));
}

void TestSimBus::instanceKeysPersistUnderTheGenerationKey()
{
    SimFixture sim;
    sim.bus.attach(device(Generation::Vemo, "111111111"));
    sim.bus.attach(device(Generation::Vemo3, "333333333"));
    SimDevice *d = sim.bus.attach(device(Generation::Vemo3, "444444444"));
    sim.bus.detach(d);
    const QString usb = QStringLiteral("SYSTEM\\CurrentControlSet\\Enum\\USB\\");
    QCOMPARE(
        sim.store.subKeyNames(RootKey::LocalMachine, usb + QStringLiteral("Vid_5e1a&Pid_0889")),
        QStringList{QStringLiteral("111111111")});
    // A device that was attached once stays installed after it left.
    QStringList vemo3 =
        sim.store.subKeyNames(RootKey::LocalMachine, usb + QStringLiteral("Vid_5e1a&Pid_088b"));
    vemo3.sort();
    QCOMPARE(vemo3, (QStringList{QStringLiteral("333333333"), QStringLiteral("444444444")}));
    QVERIFY(!sim.store.keyExists(RootKey::LocalMachine, usb + QStringLiteral("Vid_5e1a&Pid_088a")));
    QCOMPARE(sim.store.readString(RootKey::LocalMachine,
                                  usb + QStringLiteral("Vid_5e1a&Pid_0889\\111111111"),
                                  QStringLiteral("Service")),
             QStringLiteral("VemoUSB"));
}

void TestSimBus::detachRewritesTheList()
{
    SimFixture sim;
    SimDevice *a = sim.bus.attach(device(Generation::Vemo2, "AAAAAAAAA"));
    SimDevice *b = sim.bus.attach(device(Generation::Vemo2, "BBBBBBBBB"));
    sim.bus.attach(device(Generation::Vemo2, "CCCCCCCCC"));
    sim.bus.detach(b);
    QCOMPARE(publishedList(sim.store),
             (QStringList{QStringLiteral("USB\\VID_5E1A&PID_088A\\AAAAAAAAA"),
                          QStringLiteral("USB\\VID_5E1A&PID_088A\\CCCCCCCCC")}));
    // No stale "2" behind the new count.
    QVERIFY(!sim.store.valueExists(RootKey::LocalMachine, kList, QStringLiteral("2")));
    sim.bus.detach(a);
    sim.bus.detach(a); // twice is nothing
    QCOMPARE(publishedList(sim.store).size(), 1);
    QCOMPARE(sim.bus.devices().size(), 1);
}

void TestSimBus::restartLeavesAndReturns()
{
    SimFixture sim;
    SimDeviceSettings settings = device(Generation::Vemo2, "AAAAAAAAA");
    settings.restartDelayMs = 2;
    SimDevice *a = sim.bus.attach(settings);
    sim.bus.attach(device(Generation::Vemo3, "BBBBBBBBB"));
    QSignalSpy states(a, &SimDevice::busStateChanged);
    a->powerCycle();
    // Away: not listed, but still a device of the bus.
    QVERIFY(!a->onBus());
    QCOMPARE(publishedList(sim.store),
             QStringList{QStringLiteral("USB\\VID_5E1A&PID_088B\\BBBBBBBBB")});
    QCOMPARE(sim.bus.devices().size(), 2);
    QTRY_VERIFY(a->onBus());
    // Back at its place in the order.
    QCOMPARE(publishedList(sim.store),
             (QStringList{QStringLiteral("USB\\VID_5E1A&PID_088A\\AAAAAAAAA"),
                          QStringLiteral("USB\\VID_5E1A&PID_088B\\BBBBBBBBB")}));
    QCOMPARE(states.size(), 2);
    QCOMPARE(states.at(0).at(0).toBool(), false);
    QCOMPARE(states.at(1).at(0).toBool(), true);
}

void TestSimBus::addressesAsAHostGivesThem()
{
    SimFixture sim;
    SimDeviceSettings settings = device(Generation::Vemo2, "AAAAAAAAA");
    settings.restartDelayMs = 2;
    SimDevice *a = sim.bus.attach(settings);
    SimDevice *b = sim.bus.attach(device(Generation::Vemo3, "BBBBBBBBB"));
    // After the root hub's 1, in the order they arrive.
    QCOMPARE(a->address(), 2);
    QCOMPARE(b->address(), 3);
    auto component = sim.component();
    DeviceAddress address;
    QCOMPARE(component->GetDeviceAddress(address), status::NotOpened);
    QCOMPARE(SimFixture::openPipe(*component, 0x81), status::Success);
    QCOMPARE(component->GetDeviceAddress(address), status::Success);
    QCOMPARE(address.bus, SimBus::BusNumber);
    QCOMPARE(address.address, 2);

    // Back from a restart it is a new device, at the next address; the old
    // handle has none.
    a->powerCycle();
    QCOMPARE(component->GetDeviceAddress(address), status::DeviceGone);
    QTRY_VERIFY(a->onBus());
    QCOMPARE(a->address(), 4);
    QCOMPARE(SimFixture::openPipe(*component, 0x81), status::Success);
    QCOMPARE(component->GetDeviceAddress(address), status::Success);
    QCOMPARE(address.address, 4);
}

void TestSimBus::detachDuringRestartKeepsItAway()
{
    SimFixture sim;
    SimDevice *a = sim.bus.attach(device(Generation::Vemo2, "AAAAAAAAA"));
    auto watcher = sim.component();
    EventRecorder events(watcher.get());
    QCOMPARE(watcher->EnablePnPNotification(QString::fromLatin1(kDeviceInterfaceGuid)),
             status::Success);
    a->powerCycle(1);
    sim.bus.detach(a);
    SimFixture::settle(10);
    QVERIFY(!a->onBus());
    // One removal only; no arrival.
    QCOMPARE(events.ids(), QList<EventId>{EventId::PnPRemoveNotification});
    QCOMPARE(publishedList(sim.store).size(), 0);
}

void TestSimBus::reattachKeepsFirmwareAndGoesLast()
{
    SimFixture sim;
    SimDevice *a = sim.bus.attach(device(Generation::Vemo2, "AAAAAAAAA"));
    SimDevice *b = sim.bus.attach(device(Generation::Vemo2, "BBBBBBBBB"));
    a->firmware().receive(0x01, QByteArray("DEVNRZZZZZZZZZ\r").leftJustified(16, '\0'));
    sim.bus.detach(a);
    sim.bus.attach(a);
    QCOMPARE(sim.bus.devices(), (QList<SimDevice *>{b, a}));
    QVERIFY(a->onBus());
    QCOMPARE(a->serialNumber(), QByteArray("ZZZZZZZZZ"));
    QCOMPARE(publishedList(sim.store).last(), QStringLiteral("USB\\VID_5E1A&PID_088A\\AAAAAAAAA"));
}

void TestSimBus::detachedDeviceKeepsItsRecords()
{
    SimFixture sim;
    SimDevice *a = sim.bus.attach();
    a->firmware().receive(0x01, QByteArray("CLR\r").leftJustified(16, '\0'));
    sim.bus.detach(a);
    SimFixture::settle();
    QCOMPARE(a->receivedCommands(), QList<QByteArray>{"CLR"});
    QVERIFY(!a->onBus());
}

void TestSimBus::listAgreesWithEnumeration()
{
    SimFixture sim;
    sim.bus.attach(device(Generation::Vemo3, "333333333"));
    SimDevice *middle = sim.bus.attach(device(Generation::Vemo, "111111111"));
    sim.bus.attach(device(Generation::Vemo2, "222222222"));
    middle->powerCycle(50);
    auto c = sim.component();
    QCOMPARE(c->EnumerateDevices(QString::fromLatin1(kDeviceInterfaceGuid)), 2);
    const QStringList list = publishedList(sim.store);
    QCOMPARE(list.size(), 2);
    for (int i = 0; i < list.size(); ++i) {
        QCOMPARE(c->OpenDevice(i), status::Success);
        QCOMPARE(c->openDevice()->instancePath(), list.at(i));
    }
}

void TestSimBus::installRegistersAndSelects()
{
    registry::KeyStore store{QString()};
    {
        SimBus bus(&store);
        selectBackend(QStringLiteral("libusb"));
        bus.install();
        QVERIFY(isBackendRegistered(QStringLiteral("sim")));
        QVERIFY(registeredBackends().contains(QStringLiteral("sim")));
        QVERIFY(!registeredBackends().contains(QStringLiteral("libusb")));
        QCOMPARE(selectedBackend(), QStringLiteral("sim"));
        const int before = bus.componentsCreated();
        std::unique_ptr<Component> c = createComponent();
        QVERIFY(c);
        QVERIFY(qobject_cast<SimComponent *>(c.get()));
        QCOMPARE(bus.componentsCreated(), before + 1);
    }
    // The bus took its backend with it.
    QVERIFY(!isBackendRegistered(QStringLiteral("sim")));
    QVERIFY(!createComponent());
}

void TestSimBus::backendNotRegistered_data()
{
    QTest::addColumn<QString>("how");
    QTest::newRow("libusb selected") << QStringLiteral("libusb");
    QTest::newRow("sim unregistered") << QStringLiteral("unregister");
    QTest::newRow("sim switched off") << QStringLiteral("off");
}

void TestSimBus::backendNotRegistered()
{
    QFETCH(QString, how);
    SimFixture sim;
    if (how == QLatin1String("libusb"))
        selectBackend(QStringLiteral("libusb"));
    else if (how == QLatin1String("unregister"))
        unregisterBackend(QStringLiteral("sim"));
    else
        sim.bus.setComponentRegistered(false);
    QVERIFY(!createComponent());
    if (how == QLatin1String("off")) {
        // install() does nothing while switched off.
        sim.bus.install();
        QVERIFY(!isBackendRegistered(QStringLiteral("sim")));
        sim.bus.setComponentRegistered(true);
    }
    sim.bus.install();
    QVERIFY(createComponent());
}

void TestSimBus::destroyedBusLeavesComponentsHarmless()
{
    std::unique_ptr<SimComponent> c;
    {
        SimFixture sim;
        sim.bus.attach();
        c = sim.component();
        QCOMPARE(SimFixture::openPipe(*c, 0x81), status::Success);
        QCOMPARE(c->StartReading(16, 5, 5), status::Success);
    }
    QCOMPARE(c->StartReading(16, 5, 5), status::DeviceGone);
    QCOMPARE(c->EnumerateDevices(QString::fromLatin1(kDeviceInterfaceGuid)), 0);
    DriverInfo info;
    QCOMPARE(c->GetDriverInfo(info), status::Success);
    c->CloseDevice();
    SimFixture::settle();
}

QTEST_GUILESS_MAIN(TestSimBus)
#include "tst_usbio_simbus.moc"
