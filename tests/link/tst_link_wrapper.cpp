// The wrapper TUSBIOInterface3: connecting to the selected backend, the
// errors of a missing component, and events reaching only the closures that
// are set, with the wrapper as Sender.

#include "link/USBIOCOMLib_TLB.h"
#include "tests/usbio/SimFixture.h"
#include "usbio/Backend.h"

#include <QPointer>
#include <QTest>

#include <functional>

using namespace usbio;

Q_DECLARE_METATYPE(std::function<void(TUSBIOInterface3 &)>)

namespace {

using Call = std::function<void(TUSBIOInterface3 &)>;
const QString kGuid = QString::fromLatin1(kDeviceInterfaceGuid);

// The closures of a wrapper, each writing down its calls.
struct Closures
{
    struct Hit
    {
        QString closure;
        TObject *sender;
        IDispatchRef object;
    };
    QList<Hit> hits;

    TUSBIOEvent make(const QString &name)
    {
        return [this, name](TObject *sender, const IDispatchRef &object) {
            hits.append({name, sender, object});
        };
    }
    QStringList names() const
    {
        QStringList list;
        for (const Hit &hit : hits)
            list << hit.closure;
        return list;
    }
};

} // namespace

class TestWrapper : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void connectRaisesWhenNotRegistered();
    void operationsRaiseWithoutInterface_data();
    void operationsRaiseWithoutInterface();
    void interfaceComesOnFirstUse();
    void connectTwiceKeepsTheInstance();
    void eventsReachTheirClosures();
    void unsetClosuresAreNotCalled();
    void pnpObjectCarriesThePath();
    void errorTextFailureIsRaised();
    void disconnectStopsEvents();
    void disconnectInsideAHandler();
    void destructorReleasesTheInstance();
    void statusesPassThrough();
};

void TestWrapper::connectRaisesWhenNotRegistered()
{
    SimFixture sim;
    selectBackend(QStringLiteral("libusb"));
    TUSBIOInterface3 wrapper;
    try {
        wrapper.Connect();
        QFAIL("Connect did not raise");
    } catch (const EOleSysError &error) {
        QCOMPARE(error.Code, REGDB_E_CLASSNOTREG);
        QCOMPARE(QString::fromStdString(error.what()), QStringLiteral("Class not registered"));
    }
    QVERIFY(!wrapper.IsConnected());
    selectBackend(QStringLiteral("sim"));
    wrapper.Connect();
    QVERIFY(wrapper.IsConnected());
}

void TestWrapper::operationsRaiseWithoutInterface_data()
{
    QTest::addColumn<Call>("call");
    QTest::newRow("EnumerateDevices")
        << Call([](TUSBIOInterface3 &w) { w.EnumerateDevices(kGuid); });
    QTest::newRow("OpenDevice") << Call([](TUSBIOInterface3 &w) { w.OpenDevice(0); });
    QTest::newRow("CloseDevice") << Call([](TUSBIOInterface3 &w) { w.CloseDevice(); });
    QTest::newRow("SetDeviceParameter")
        << Call([](TUSBIOInterface3 &w) { w.SetDeviceParameter(50000); });
    QTest::newRow("GetDriverInfo") << Call([](TUSBIOInterface3 &w) {
        DriverInfo info;
        w.GetDriverInfo(info);
    });
    QTest::newRow("ErrorText") << Call([](TUSBIOInterface3 &w) { w.ErrorText(1); });
    QTest::newRow("AddInterface") << Call([](TUSBIOInterface3 &w) { w.AddInterface(0, 0, 64000); });
    QTest::newRow("DeleteInterfaces") << Call([](TUSBIOInterface3 &w) { w.DeleteInterfaces(); });
    QTest::newRow("SetConfiguration") << Call([](TUSBIOInterface3 &w) { w.SetConfiguration(0); });
    QTest::newRow("UnconfigureDevice") << Call([](TUSBIOInterface3 &w) { w.UnconfigureDevice(); });
    QTest::newRow("Bind") << Call([](TUSBIOInterface3 &w) { w.Bind(0x81); });
    QTest::newRow("Unbind") << Call([](TUSBIOInterface3 &w) { w.Unbind(); });
    QTest::newRow("StartReading") << Call([](TUSBIOInterface3 &w) { w.StartReading(16, 5, 5); });
    QTest::newRow("ReadData") << Call([](TUSBIOInterface3 &w) {
        QByteArray buffer(16, '\0');
        int count = 0;
        w.ReadData(buffer, count);
    });
    QTest::newRow("StopReading") << Call([](TUSBIOInterface3 &w) { w.StopReading(); });
    QTest::newRow("StartWriting") << Call(
        [](TUSBIOInterface3 &w) { w.StartWriting(16, 5, 5, false); });
    QTest::newRow("WriteData") << Call([](TUSBIOInterface3 &w) { w.WriteData("x", 0); });
    QTest::newRow("StopWriting") << Call([](TUSBIOInterface3 &w) { w.StopWriting(); });
    QTest::newRow("ResetPipe") << Call([](TUSBIOInterface3 &w) { w.ResetPipe(); });
    QTest::newRow("AbortPipe") << Call([](TUSBIOInterface3 &w) { w.AbortPipe(); });
    QTest::newRow("EnablePnPNotification")
        << Call([](TUSBIOInterface3 &w) { w.EnablePnPNotification(kGuid); });
}

void TestWrapper::operationsRaiseWithoutInterface()
{
    QFETCH(Call, call);
    SimFixture sim;
    sim.bus.setComponentRegistered(false);
    TUSBIOInterface3 wrapper;
    try {
        call(wrapper);
        QFAIL("the operation did not raise");
    } catch (const EOleSysError &error) {
        QCOMPARE(error.Code, E_FAIL);
        const QString message = QString::fromStdString(error.what());
        QVERIFY2(message.startsWith(QStringLiteral("intf != 0 failed - ")), qPrintable(message));
        QVERIFY2(message.contains(QStringLiteral("USBIOCOMLib_TLB.cpp/")), qPrintable(message));
    }
    QVERIFY(!wrapper.GetDefaultInterface());
    // No component was made, so none was called.
    QCOMPARE(sim.bus.componentsCreated(), 0);
}

void TestWrapper::interfaceComesOnFirstUse()
{
    SimFixture sim;
    sim.bus.attach();
    TUSBIOInterface3 wrapper;
    QVERIFY(!wrapper.IsConnected());
    QCOMPARE(wrapper.EnumerateDevices(kGuid), 1);
    QVERIFY(wrapper.IsConnected());
    QCOMPARE(sim.bus.componentsCreated(), 1);
    Component *first = wrapper.GetDefaultInterface();
    QCOMPARE(wrapper.OpenDevice(0), status::Success);
    QCOMPARE(wrapper.GetDefaultInterface(), first);
    QCOMPARE(sim.bus.componentsCreated(), 1);
}

void TestWrapper::connectTwiceKeepsTheInstance()
{
    SimFixture sim;
    TUSBIOInterface3 wrapper;
    wrapper.Connect();
    Component *first = wrapper.GetDefaultInterface();
    wrapper.Connect();
    QCOMPARE(wrapper.GetDefaultInterface(), first);
    QCOMPARE(sim.bus.componentsCreated(), 1);
}

void TestWrapper::eventsReachTheirClosures()
{
    SimFixture sim;
    SimDevice *device = sim.bus.attach();
    TUSBIOInterface3 reader;
    TUSBIOInterface3 writer;
    Closures closures;
    reader.OnReadComplete = closures.make(QStringLiteral("read"));
    reader.OnPnPAddNotification = closures.make(QStringLiteral("add"));
    reader.OnPnPRemoveNotification = closures.make(QStringLiteral("remove"));
    writer.OnWriteComplete = closures.make(QStringLiteral("write"));

    QCOMPARE(reader.EnablePnPNotification(kGuid), status::Success);
    QCOMPARE(SimFixture::openPipe(*reader.GetDefaultInterface(), 0x81), status::Success);
    QCOMPARE(SimFixture::openPipe(*writer.GetDefaultInterface(), 0x01), status::Success);
    QCOMPARE(reader.StartReading(16, 5, 5), status::Success);
    QCOMPARE(writer.StartWriting(16, 5, 5, false), status::Success);
    QCOMPARE(writer.WriteData(QByteArray("DEVNR?\r").leftJustified(16, '\0'), 0), status::Success);
    // Never from inside the call.
    QVERIFY(closures.hits.isEmpty());
    QTRY_COMPARE(closures.names(), (QStringList{QStringLiteral("write"), QStringLiteral("read")}));
    QCOMPARE(closures.hits.at(0).sender, &writer);
    QCOMPARE(closures.hits.at(1).sender, &reader);
    QVERIFY(!closures.hits.at(0).object);

    QByteArray buffer(16, '\0');
    int count = 0;
    QCOMPARE(reader.ReadData(buffer, count), status::Success);
    QCOMPARE(buffer.left(count), QByteArray("DEVNR000000001\r"));

    closures.hits.clear();
    device->powerCycle(0);
    QTRY_VERIFY(closures.names().contains(QStringLiteral("add")));
    QCOMPARE(closures.names().last(), QStringLiteral("add"));
    QVERIFY(closures.names().contains(QStringLiteral("remove")));
    for (const Closures::Hit &hit : std::as_const(closures.hits))
        QCOMPARE(hit.sender, &reader);
}

void TestWrapper::unsetClosuresAreNotCalled()
{
    SimFixture sim;
    SimDevice *device = sim.bus.attach();
    TUSBIOInterface3 wrapper;
    Closures closures;
    // Only the removal is bound; arrival, reads and writes are not.
    wrapper.OnPnPRemoveNotification = closures.make(QStringLiteral("remove"));
    QCOMPARE(wrapper.EnablePnPNotification(kGuid), status::Success);
    QCOMPARE(SimFixture::openPipe(*wrapper.GetDefaultInterface(), 0x81), status::Success);
    QCOMPARE(wrapper.StartReading(16, 5, 5), status::Success);
    device->sendToHost("unheard");
    sim.bus.attach();
    SimFixture::settle();
    QVERIFY(closures.hits.isEmpty());
    sim.bus.detach(device);
    QTRY_COMPARE(closures.names(), QStringList{QStringLiteral("remove")});
}

void TestWrapper::pnpObjectCarriesThePath()
{
    SimFixture sim;
    TUSBIOInterface3 wrapper;
    Closures closures;
    wrapper.OnPnPAddNotification = closures.make(QStringLiteral("add"));
    QCOMPARE(wrapper.EnablePnPNotification(kGuid), status::Success);
    SimDevice *device = sim.bus.attach();
    QTRY_COMPARE(closures.hits.size(), 1);
    QVERIFY(closures.hits.first().object);
    QCOMPARE(closures.hits.first().object->devicePath, device->devicePath());
}

void TestWrapper::errorTextFailureIsRaised()
{
    SimFixture sim;
    SimDevice *device = sim.bus.attach();
    TUSBIOInterface3 wrapper;
    QCOMPARE(wrapper.ErrorText(status::DeviceGone), statusDescription(status::DeviceGone));
    device->faults().errorTextFails = true;
    try {
        wrapper.ErrorText(status::DeviceGone);
        QFAIL("ErrorText did not raise");
    } catch (const EOleSysError &error) {
        QCOMPARE(error.Code, E_FAIL);
        QVERIFY(QString::fromStdString(error.what())
                    .startsWith(QStringLiteral("'intf->ErrorText(Status)': ErrorText: ")));
    }
}

void TestWrapper::disconnectStopsEvents()
{
    SimFixture sim;
    TUSBIOInterface3 wrapper;
    Closures closures;
    wrapper.OnPnPAddNotification = closures.make(QStringLiteral("add"));
    QCOMPARE(wrapper.EnablePnPNotification(kGuid), status::Success);
    sim.bus.attach();     // its arrival is queued ...
    wrapper.Disconnect(); // ... and dropped with the instance
    QVERIFY(!wrapper.IsConnected());
    SimFixture::settle();
    sim.bus.attach();
    SimFixture::settle();
    QVERIFY(closures.hits.isEmpty());
    // Using it again connects a new instance, without the old subscription.
    QCOMPARE(wrapper.EnumerateDevices(kGuid), 2);
    QCOMPARE(sim.bus.componentsCreated(), 2);
}

void TestWrapper::disconnectInsideAHandler()
{
    SimFixture sim;
    TUSBIOInterface3 wrapper;
    int calls = 0;
    wrapper.OnPnPAddNotification = [&](TObject *sender, const IDispatchRef &) {
        ++calls;
        static_cast<TUSBIOInterface3 *>(sender)->Disconnect();
    };
    QCOMPARE(wrapper.EnablePnPNotification(kGuid), status::Success);
    sim.bus.attach();
    sim.bus.attach();
    QTRY_COMPARE(calls, 1);
    SimFixture::settle();
    // The second arrival went with the instance.
    QCOMPARE(calls, 1);
    QVERIFY(!wrapper.IsConnected());
}

void TestWrapper::destructorReleasesTheInstance()
{
    SimFixture sim;
    QPointer<Component> instance;
    {
        TUSBIOInterface3 wrapper;
        wrapper.Connect();
        instance = wrapper.GetDefaultInterface();
        QVERIFY(instance);
    }
    QVERIFY(!instance);
}

void TestWrapper::statusesPassThrough()
{
    SimFixture sim;
    SimDevice *device = sim.bus.attach();
    device->faults().openStatus = status::VersionMismatch;
    device->faults().driverInfo = DriverInfo{0x0210, 0x0232, 55, 2};
    TUSBIOInterface3 wrapper;
    QCOMPARE(wrapper.EnumerateDevices(kGuid), 1);
    QCOMPARE(wrapper.OpenDevice(0), status::VersionMismatch);
    QCOMPARE(wrapper.OpenDevice(3), status::NoSuchDevice);
    DriverInfo info;
    QCOMPARE(wrapper.GetDriverInfo(info), status::Success);
    QCOMPARE(info.driverVersion, quint32(0x0232));
    QCOMPARE(wrapper.Bind(0x81), status::NotOpened);
    wrapper.SetDeviceParameter(50000);
    QCOMPARE(qobject_cast<SimComponent *>(wrapper.GetDefaultInterface())->deviceParameter(), 50000);
}

QTEST_GUILESS_MAIN(TestWrapper)
#include "tst_link_wrapper.moc"
